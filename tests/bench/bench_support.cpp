#include "bench/bench_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace bench {

double Median(std::vector<double> values)
{
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double Percentile(std::vector<double> values, double percent)
{
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const size_t rank = static_cast<size_t>(std::ceil(percent / 100.0 * static_cast<double>(values.size())));
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

void Fail(const std::string& why)
{
    std::fprintf(stderr, "ombrel-bench: %s\n", why.c_str());
    std::exit(1);
}

std::map<unsigned, std::string> PortNames(rig::SystemRig& bridge)
{
    std::map<unsigned, std::string> names;
    for (const auto& port : bridge.Ports()) {
        if (!port.Working || port.ComName.empty()) {
            Fail("port " + std::to_string(port.Index) + " did not start");
        }
        names[port.Index] = port.ComName;
    }
    if (names.size() != 8) {
        Fail("the bridge did not give eight ports");
    }
    return names;
}

OpenPorts::OpenPorts(const std::map<unsigned, std::string>& names)
{
    for (const auto& [index, name] : names) {
        HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            Fail("cannot open " + name);
        }
        Handles[index] = handle;
    }
}

OpenPorts::~OpenPorts()
{
    for (HANDLE handle : Handles) {
        CloseHandle(handle);
    }
}

} // namespace bench
