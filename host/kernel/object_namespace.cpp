#include "host/kernel/object_namespace.h"

#include "host/kernel/strings.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

namespace host {

namespace {

struct Namespace {
    std::mutex Lock;
    std::map<std::string, std::pair<std::string, FrameworkDevice*>> Links;  // canonical name -> (name, device)
    std::vector<DeviceInterfaceRecord> Interfaces;
};

Namespace& Names()
{
    static Namespace names;
    return names;
}

// "\DosDevices\X", "\??\X", "\GLOBAL??\X" and "\DosDevices\Global\X" all name
// the same global link; "\\.\X" and a bare "X" are how applications write it.
std::string CanonicalLinkName(const std::string& name)
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

} // namespace

NTSTATUS CreateSymbolicLink(const std::string& name, FrameworkDevice* device)
{
    if (name.empty() || name[0] != '\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Namespace& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    const std::string canonical = CanonicalLinkName(name);
    if (names.Links.count(canonical) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    names.Links[canonical] = {name, device};
    return STATUS_SUCCESS;
}

FrameworkDevice* LookupSymbolicLink(const std::string& name)
{
    Namespace& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    auto link = names.Links.find(CanonicalLinkName(name));
    return link == names.Links.end() ? nullptr : link->second.second;
}

std::vector<std::string> SymbolicLinksOf(FrameworkDevice* device)
{
    Namespace& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    std::vector<std::string> links;
    for (const auto& [canonical, link] : names.Links) {
        if (link.second == device) {
            links.push_back(link.first);
        }
    }
    return links;
}

void RegisterDeviceInterface(DeviceInterfaceRecord record)
{
    Namespace& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    names.Interfaces.push_back(std::move(record));
}

std::vector<DeviceInterfaceRecord> DeviceInterfaces(const GUID& interfaceClass)
{
    Namespace& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    std::vector<DeviceInterfaceRecord> found;
    for (const auto& record : names.Interfaces) {
        if (IsEqualGUID(record.InterfaceClass, interfaceClass)) {
            found.push_back(record);
        }
    }
    return found;
}

void RemoveNamesOf(FrameworkDevice* device)
{
    Namespace& names = Names();
    std::lock_guard<std::mutex> guard(names.Lock);
    for (auto it = names.Links.begin(); it != names.Links.end();) {
        it = it->second.second == device ? names.Links.erase(it) : std::next(it);
    }
    names.Interfaces.erase(std::remove_if(names.Interfaces.begin(), names.Interfaces.end(),
                                          [device](const DeviceInterfaceRecord& r) { return r.Owner == device; }),
                           names.Interfaces.end());
}

} // namespace host
