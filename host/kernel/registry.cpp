#include "host/kernel/registry.h"

#include "host/framework/device.h"
#include "host/kernel/strings.h"

#include <mutex>

namespace host {

namespace {

struct RegistryValue {
    std::string Name;  // as written
    std::u16string Text;
};

struct Store {
    std::mutex Lock;
    std::map<std::string, std::map<std::string, RegistryValue>> Keys;  // folded path -> folded name -> value
};

Store& TheRegistry()
{
    static Store store;
    return store;
}

} // namespace

const char* const SerialCommKeyPath = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string HardwareKeyPath(const PhysicalDevice& node)
{
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + node.InstancePath + "\\Device Parameters";
}

std::string DeviceMapKeyPath(const std::string& keyName)
{
    return "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\" + keyName;
}

void RegistryAssign(const std::string& keyPath, const std::string& valueName, std::u16string text)
{
    Store& store = TheRegistry();
    std::lock_guard<std::mutex> guard(store.Lock);
    store.Keys[Folded(keyPath)][Folded(valueName)] = {valueName, std::move(text)};
}

NTSTATUS RegistryQuery(const std::string& keyPath, const std::string& valueName, std::u16string* text)
{
    Store& store = TheRegistry();
    std::lock_guard<std::mutex> guard(store.Lock);
    auto key = store.Keys.find(Folded(keyPath));
    if (key == store.Keys.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto value = key->second.find(Folded(valueName));
    if (value == key->second.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *text = value->second.Text;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryRemove(const std::string& keyPath, const std::string& valueName)
{
    Store& store = TheRegistry();
    std::lock_guard<std::mutex> guard(store.Lock);
    auto key = store.Keys.find(Folded(keyPath));
    if (key == store.Keys.end() || key->second.erase(Folded(valueName)) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

void RegistrySetString(const std::string& keyPath, const std::string& valueName, const std::string& data)
{
    RegistryAssign(keyPath, valueName, Widen(data));
}

std::optional<std::string> RegistryGetString(const std::string& keyPath, const std::string& valueName)
{
    std::u16string text;
    if (!NT_SUCCESS(RegistryQuery(keyPath, valueName, &text))) {
        return std::nullopt;
    }
    return Narrow(text);
}

std::map<std::string, std::string> RegistryStrings(const std::string& keyPath)
{
    Store& store = TheRegistry();
    std::lock_guard<std::mutex> guard(store.Lock);
    std::map<std::string, std::string> strings;
    auto key = store.Keys.find(Folded(keyPath));
    if (key != store.Keys.end()) {
        for (const auto& [folded, value] : key->second) {
            strings[value.Name] = Narrow(value.Text);
        }
    }
    return strings;
}

void RegistryDeleteKey(const std::string& keyPath)
{
    Store& store = TheRegistry();
    std::lock_guard<std::mutex> guard(store.Lock);
    store.Keys.erase(Folded(keyPath));
}

} // namespace host
