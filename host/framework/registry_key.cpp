// The framework's registry keys (WDFKEY): a device's hardware key and the
// device map, opened with an access mask that every value operation checks,
// over the kernel's registry.
#include "host/framework/creation.h"
#include "host/framework/device.h"
#include "host/kernel/registry.h"
#include "host/kernel/strings.h"
#include "host/verifier/fault_injection.h"
#include "host/verifier/verifier.h"

#include <algorithm>

namespace host {

namespace {

class Key final : public Object {
public:
    Key(Object* parent, std::string path, ACCESS_MASK access)
        : Object(ObjectType::Key, parent), Path(std::move(path)), Access(access)
    {
    }

    // What the key was opened for: a value operation it does not grant is
    // refused before it is tried.
    bool Grants(ACCESS_MASK access) const { return (Access & access) == access; }

    // The value's length in bytes goes to `byteLength` whenever the value
    // exists, also when `value` is too small for it or not given.
    NTSTATUS QueryString(const std::string& name, PUSHORT byteLength, PUNICODE_STRING value) const
    {
        std::u16string text;
        if (NTSTATUS status = RegistryQuery(Path, name, &text); !NT_SUCCESS(status)) {
            return status;
        }
        const size_t bytes = text.size() * sizeof(WCHAR);
        if (byteLength != nullptr) {
            *byteLength = static_cast<USHORT>(bytes);
        }
        if (value == nullptr) {
            return STATUS_SUCCESS;
        }
        if (bytes > value->MaximumLength) {
            return STATUS_BUFFER_OVERFLOW;
        }
        std::copy(text.begin(), text.end(), reinterpret_cast<char16_t*>(value->Buffer));
        value->Length = static_cast<USHORT>(bytes);
        return STATUS_SUCCESS;
    }

    NTSTATUS AssignString(const std::string& name, std::u16string text) const
    {
        RegistryAssign(Path, name, std::move(text));
        return STATUS_SUCCESS;
    }

    NTSTATUS RemoveValue(const std::string& name) const
    {
        return RegistryRemove(Path, name);
    }

private:
    const std::string Path;
    const ACCESS_MASK Access;
};

Key* KeyFromHandle(WDFKEY key, const char* operation)
{
    return FromHandleAs<Key>(key, ObjectType::Key, operation);
}

// Finishes a creation the caller began.
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

} // namespace host

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
    return host::OpenKey(device, host::DeviceMapKeyPath(host::Narrow(KeyName)), DesiredAccess, KeyAttributes, Key,
                         "WdfDeviceOpenDevicemapKey");
}

extern "C" NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                                  PUNICODE_STRING Value)
{
    host::RequirePassive("WdfRegistryQueryUnicodeString");
    const host::Key* key = host::KeyFromHandle(Key, "WdfRegistryQueryUnicodeString");
    if (!key->Grants(KEY_QUERY_VALUE)) {
        return STATUS_ACCESS_DENIED;
    }
    if (auto failure = host::InjectedFailure("WdfRegistryQueryUnicodeString")) {
        return *failure;
    }
    return key->QueryString(host::Narrow(ValueName), ValueByteLength, Value);
}

extern "C" NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value)
{
    host::RequirePassive("WdfRegistryAssignUnicodeString");
    const host::Key* key = host::KeyFromHandle(Key, "WdfRegistryAssignUnicodeString");
    if (!key->Grants(KEY_SET_VALUE)) {
        return STATUS_ACCESS_DENIED;
    }
    if (auto failure = host::InjectedFailure("WdfRegistryAssignUnicodeString")) {
        return *failure;
    }
    return key->AssignString(host::Narrow(ValueName), host::WideFrom(Value));
}

extern "C" NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName)
{
    host::RequirePassive("WdfRegistryRemoveValue");
    const host::Key* key = host::KeyFromHandle(Key, "WdfRegistryRemoveValue");
    if (!key->Grants(KEY_SET_VALUE)) {
        return STATUS_ACCESS_DENIED;
    }
    if (auto failure = host::InjectedFailure("WdfRegistryRemoveValue")) {
        return *failure;
    }
    return key->RemoveValue(host::Narrow(ValueName));
}

extern "C" VOID WdfRegistryClose(WDFKEY Key)
{
    host::RequirePassive("WdfRegistryClose");
    host::DeleteObject(host::KeyFromHandle(Key, "WdfRegistryClose"));
}
