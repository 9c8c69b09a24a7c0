#include "host/kernel/registry.h"

#include "host/framework/creation.h"
#include "host/framework/memory.h"
#include "host/kernel/strings.h"
#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

#include <algorithm>
#include <cctype>
#include <mutex>

namespace host {

namespace {

std::string Folded(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

struct RegistryValue {
    std::string Name;  // as written
    bool IsString = true;
    std::u16string Text;
    ULONG Dword = 0;
};

struct Namespace {
    std::mutex Lock;
    std::map<std::string, std::map<std::string, RegistryValue>> Keys;  // folded path -> folded name -> value
    std::map<std::string, std::pair<std::string, FrameworkDevice*>> Links;      // folded name -> (name, device)
    std::vector<DeviceInterfaceRecord> Interfaces;
};

Namespace& Names()
{
    static Namespace names;
    return names;
}

// "\DosDevices\X", "\??\X", "\GLOBAL??\X" and "\DosDevices\Global\X" all name
// the same global link; "\\.\X" and a bare "X" are how applications write it.
std::string CanonicalLinkName(std::string name)
{
    const std::string folded = Folded(name);
    const char* const prefixes[] = {"\\dosdevices\\global\\", "\\dosdevices\\", "\\??\\global\\", "\\??\\",
                                    "\\global??\\", "\\\\.\\"};
    for (const char* prefix : prefixes) {
        const std::string p(prefix);
        if (folded.compare(0, p.size(), p) == 0) {
            return folded.substr(p.size());
        }
    }
    return folded;
}

class Key final : public Object {
public:
    Key(Object* parent, std::string path, ACCESS_MASK access)
        : Object(ObjectType::Key, parent), Path(Folded(std::move(path))), Access(access)
    {
    }
    std::string Path;
    ACCESS_MASK Access;
};

Key* KeyFromHandle(WDFKEY key, const char* operation)
{
    return FromHandleAs<Key>(key, ObjectType::Key, operation);
}

NTSTATUS OpenKey(FrameworkDevice* device, std::string path, ACCESS_MASK access, PWDF_OBJECT_ATTRIBUTES attributes,
                 WDFKEY* key, const char* operation)
{
    Key* opened;
    NTSTATUS status = FinishCreation(operation, attributes, device->Parent(), &opened, [&path, access](Object* parent) {
        return new Key(parent, std::move(path), access);
    });
    *key = reinterpret_cast<WDFKEY>(opened);
    return status;
}

} // namespace

const char* const SerialCommKeyPath = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string HardwareKeyPath(const PhysicalDevice& node)
{
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + node.InstancePath + "\\Device Parameters";
}

void RegistrySetString(const std::string& keyPath, const std::string& valueName, const std::string& data)
{
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    names.Keys[Folded(keyPath)][Folded(valueName)] = {valueName, true, Widen(data), 0};
}

std::optional<std::string> RegistryGetString(const std::string& keyPath, const std::string& valueName)
{
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    auto key = names.Keys.find(Folded(keyPath));
    if (key == names.Keys.end()) {
        return std::nullopt;
    }
    auto value = key->second.find(Folded(valueName));
    if (value == key->second.end() || !value->second.IsString) {
        return std::nullopt;
    }
    return Narrow(value->second.Text);
}

std::map<std::string, std::string> RegistryStrings(const std::string& keyPath)
{
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    std::map<std::string, std::string> strings;
    auto key = names.Keys.find(Folded(keyPath));
    if (key != names.Keys.end()) {
        for (const auto& [folded, value] : key->second) {
            if (value.IsString) {
                strings[value.Name] = Narrow(value.Text);
            }
        }
    }
    return strings;
}

void RegistryDeleteKey(const std::string& keyPath)
{
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    names.Keys.erase(Folded(keyPath));
}

FrameworkDevice* LookupSymbolicLink(const std::string& name)
{
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    auto link = names.Links.find(CanonicalLinkName(name));
    return link == names.Links.end() ? nullptr : link->second.second;
}

std::vector<std::string> SymbolicLinksOf(FrameworkDevice* device)
{
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    std::vector<std::string> links;
    for (const auto& [folded, link] : names.Links) {
        if (link.second == device) {
            links.push_back(link.first);
        }
    }
    return links;
}

void RemoveNamesOf(FrameworkDevice* device)
{
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    for (auto it = names.Links.begin(); it != names.Links.end();) {
        it = it->second.second == device ? names.Links.erase(it) : std::next(it);
    }
    names.Interfaces.erase(std::remove_if(names.Interfaces.begin(), names.Interfaces.end(),
                                          [device](const DeviceInterfaceRecord& r) { return r.Owner == device; }),
                           names.Interfaces.end());
}

std::vector<DeviceInterfaceRecord> DeviceInterfaces(const GUID& interfaceClass)
{
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    std::vector<DeviceInterfaceRecord> found;
    for (const auto& record : names.Interfaces) {
        if (IsEqualGUID(record.InterfaceClass, interfaceClass)) {
            found.push_back(record);
        }
    }
    return found;
}

} // namespace host

using host::Names;

extern "C" NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName)
{
    host::RequirePassive("WdfDeviceCreateSymbolicLink");
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfDeviceCreateSymbolicLink");
    if (auto failure = host::InjectedFailure("WdfDeviceCreateSymbolicLink")) {
        return *failure;
    }
    const std::string name = host::Narrow(SymbolicLinkName);
    if (name.empty() || name[0] != '\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    const std::string canonical = host::CanonicalLinkName(name);
    if (names.Links.count(canonical) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    names.Links[canonical] = {name, device};
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                                   PCUNICODE_STRING ReferenceString)
{
    host::RequirePassive("WdfDeviceCreateDeviceInterface");
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfDeviceCreateDeviceInterface");
    if (auto failure = host::InjectedFailure("WdfDeviceCreateDeviceInterface")) {
        return *failure;
    }
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    names.Interfaces.push_back({*InterfaceClassGUID, host::Narrow(ReferenceString), device});
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                             PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    *Key = nullptr;
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfDeviceOpenRegistryKey");
    if (DeviceInstanceKeyType != PLUGPLAY_REGKEY_DEVICE) {
        host::Bugcheck("WdfDeviceOpenRegistryKey: only the device's hardware key is modelled");
    }
    if (NTSTATUS failed = host::BeginCreation("WdfDeviceOpenRegistryKey", PASSIVE_LEVEL); !NT_SUCCESS(failed)) {
        return failed;
    }
    if (!device->Init.Physical) {
        host::EndCreation("WdfDeviceOpenRegistryKey");
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return host::OpenKey(device, host::HardwareKeyPath(*device->Init.Physical), DesiredAccess, KeyAttributes, Key,
                         "WdfDeviceOpenRegistryKey");
}

extern "C" NTSTATUS WdfDeviceOpenDevicemapKey(WDFDEVICE Device, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                                              PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    *Key = nullptr;
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfDeviceOpenDevicemapKey");
    if (NTSTATUS failed = host::BeginCreation("WdfDeviceOpenDevicemapKey", PASSIVE_LEVEL); !NT_SUCCESS(failed)) {
        return failed;
    }
    const std::string path = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\" + host::Narrow(KeyName);
    return host::OpenKey(device, path, DesiredAccess, KeyAttributes, Key, "WdfDeviceOpenDevicemapKey");
}

extern "C" NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                                  PUNICODE_STRING Value)
{
    host::RequirePassive("WdfRegistryQueryUnicodeString");
    host::Key* key = host::KeyFromHandle(Key, "WdfRegistryQueryUnicodeString");
    if ((key->Access & KEY_QUERY_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (auto failure = host::InjectedFailure("WdfRegistryQueryUnicodeString")) {
        return *failure;
    }
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    auto found = names.Keys.find(key->Path);
    if (found == names.Keys.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto value = found->second.find(host::Folded(host::Narrow(ValueName)));
    if (value == found->second.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (!value->second.IsString) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    const auto& text = value->second.Text;
    const size_t bytes = text.size() * sizeof(WCHAR);
    if (ValueByteLength != nullptr) {
        *ValueByteLength = static_cast<USHORT>(bytes);
    }
    if (Value == nullptr) {
        return STATUS_SUCCESS;
    }
    if (bytes > Value->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::copy(text.begin(), text.end(), reinterpret_cast<char16_t*>(Value->Buffer));
    Value->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value)
{
    host::RequirePassive("WdfRegistryAssignUnicodeString");
    host::Key* key = host::KeyFromHandle(Key, "WdfRegistryAssignUnicodeString");
    if ((key->Access & KEY_SET_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (auto failure = host::InjectedFailure("WdfRegistryAssignUnicodeString")) {
        return *failure;
    }
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    const std::string name = host::Narrow(ValueName);
    names.Keys[key->Path][host::Folded(name)] = {name, true, host::WideFrom(Value), 0};
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName)
{
    host::RequirePassive("WdfRegistryRemoveValue");
    host::Key* key = host::KeyFromHandle(Key, "WdfRegistryRemoveValue");
    if ((key->Access & KEY_SET_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (auto failure = host::InjectedFailure("WdfRegistryRemoveValue")) {
        return *failure;
    }
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    auto found = names.Keys.find(key->Path);
    if (found == names.Keys.end() || found->second.erase(host::Folded(host::Narrow(ValueName))) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

extern "C" VOID WdfRegistryClose(WDFKEY Key)
{
    host::RequirePassive("WdfRegistryClose");
    host::DeleteObject(host::KeyFromHandle(Key, "WdfRegistryClose"));
}

extern "C" NTSTATUS WdfDeviceAllocAndQueryProperty(WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                                   POOL_TYPE PoolType, PWDF_OBJECT_ATTRIBUTES PropertyMemoryAttributes,
                                                   WDFMEMORY* PropertyMemory)
{
    UNREFERENCED_PARAMETER(PoolType);
    *PropertyMemory = nullptr;
    host::FrameworkDevice* device = host::DeviceFromHandle(Device, "WdfDeviceAllocAndQueryProperty");
    if (DeviceProperty != DevicePropertyPhysicalDeviceObjectName) {
        host::Bugcheck("WdfDeviceAllocAndQueryProperty: only the physical device object's name is modelled");
    }
    if (NTSTATUS failed = host::BeginCreation("WdfDeviceAllocAndQueryProperty", PASSIVE_LEVEL); !NT_SUCCESS(failed)) {
        return failed;
    }
    if (!device->Init.Physical || device->Init.Physical->Name.empty()) {
        host::EndCreation("WdfDeviceAllocAndQueryProperty");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const std::u16string name = host::Widen(device->Init.Physical->Name);
    host::Memory* memory;
    NTSTATUS status = host::FinishCreation("WdfDeviceAllocAndQueryProperty", PropertyMemoryAttributes, device->Parent(),
                                           &memory, [&name](host::Object* parent) {
                                               return new host::Memory(parent, (name.size() + 1) * sizeof(WCHAR));
                                           });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::copy(name.begin(), name.end(), reinterpret_cast<char16_t*>(memory->Bytes.data()));
    *PropertyMemory = memory->Handle();
    return STATUS_SUCCESS;
}
