#include "tools/selftest/port_discovery.h"

#include "tools/selftest/port_ids.h"

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cwchar>
#include <map>

namespace selftest {

namespace {

std::string Utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return {};
    }
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size) - 1);
    return result;
}

// A device's string property: every string of a REG_MULTI_SZ, the one of a
// REG_SZ; empty when the device has none.
std::vector<std::string> StringProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property)
{
    DWORD type = 0;
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type, nullptr, 0, &size);
    if (size == 0) {
        return {};
    }
    // Two characters of zeros beyond the value end its last string even if
    // the value itself does not.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type, reinterpret_cast<PBYTE>(buffer.data()),
                                           size, nullptr) ||
        (type != REG_SZ && type != REG_MULTI_SZ)) {
        return {};
    }
    std::vector<std::string> strings;
    for (const wchar_t* at = buffer.data(); *at != L'\0'; at += std::wcslen(at) + 1) {
        strings.push_back(Utf8(at));
        if (type == REG_SZ) {
            break;
        }
    }
    return strings;
}

std::string FirstString(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property)
{
    const auto strings = StringProperty(devices, device, property);
    return strings.empty() ? std::string() : strings.front();
}

// The COM name that the system's port installer gave the device, from its
// hardware key, where the port driver reads it too; "" while it has none.
std::string PortName(HDEVINFO devices, SP_DEVINFO_DATA& device)
{
    const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
        return {};
    }
    wchar_t name[64] = {};
    DWORD size = sizeof name - sizeof(wchar_t);  // the last character stays the terminator
    DWORD type = 0;
    const LSTATUS status = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<LPBYTE>(name), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? Utf8(name) : std::string();
}

// The device's state in Device Manager's words; `started` when it runs
// without a problem.
std::string DeviceStatus(DEVINST device, bool& started)
{
    started = false;
    ULONG status = 0;
    ULONG problem = 0;
    if (CM_Get_DevNode_Status(&status, &problem, device, 0) != CR_SUCCESS) {
        return "Its state cannot be read.";
    }
    if ((status & DN_HAS_PROBLEM) != 0) {
        return "Problem code " + std::to_string(problem) + " (Device Manager's General tab explains it).";
    }
    if ((status & DN_STARTED) == 0) {
        return "This device is not started.";
    }
    started = true;
    return "This device is working properly.";
}

std::string ParentInstanceId(DEVINST device)
{
    DEVINST parent = 0;
    wchar_t id[MAX_DEVICE_ID_LEN] = {};
    if (CM_Get_Parent(&parent, device, 0) != CR_SUCCESS ||
        CM_Get_Device_IDW(parent, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) {
        return "(parent unknown)";
    }
    return Utf8(id);
}

} // namespace

BridgeSearch FindBridgePorts()
{
    BridgeSearch search;
    // Every present device, not only the Ports class: a child whose port
    // driver is not installed has no class yet, and is still the bridge's.
    const HDEVINFO devices = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        search.Error = "SetupDiGetClassDevs failed with error " + std::to_string(GetLastError());
        return search;
    }
    std::map<std::string, std::vector<demo::PortListing>> byBridge;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD member = 0; SetupDiEnumDeviceInfo(devices, member, &device); ++member) {
        demo::PortListing port;
        bool ours = false;
        for (const std::string& id : StringProperty(devices, device, SPDRP_HARDWAREID)) {
            if (const auto index = PortIndexOfHardwareId(id)) {
                port.Index = *index;
                port.HardwareId = id;
                ours = true;
                break;
            }
        }
        if (!ours) {
            continue;
        }
        port.ComName = PortName(devices, device);
        port.Description = FirstString(devices, device, SPDRP_DEVICEDESC);
        port.Location = FirstString(devices, device, SPDRP_LOCATION_INFORMATION);
        bool started = false;
        port.Status = DeviceStatus(device.DevInst, started);
        port.Working = started && !port.ComName.empty();
        byBridge[ParentInstanceId(device.DevInst)].push_back(port);
    }
    SetupDiDestroyDeviceInfoList(devices);

    for (auto& [bridge, ports] : byBridge) {
        if (search.Bridge.empty()) {
            search.Bridge = bridge;
            search.Ports = std::move(ports);
        } else {
            search.OtherBridges.push_back(bridge);
        }
    }
    std::sort(search.Ports.begin(), search.Ports.end(),
              [](const demo::PortListing& a, const demo::PortListing& b) { return a.Index < b.Index; });
    return search;
}

} // namespace selftest
