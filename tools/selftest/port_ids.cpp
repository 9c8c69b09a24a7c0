#include "tools/selftest/port_ids.h"

#include "tools/demo/traffic_options.h"

#include <cctype>
#include <cstdio>

namespace selftest {

namespace {

constexpr char kPrefix[] = "OMBREL\\PORT_";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;

std::string HardwareId(unsigned port)
{
    char text[32];
    std::snprintf(text, sizeof text, "%s%02u", kPrefix, port);
    return text;
}

} // namespace

std::optional<unsigned> PortIndexOfHardwareId(const std::string& id)
{
    if (id.size() != kPrefixLength + 2) {
        return std::nullopt;
    }
    for (size_t i = 0; i < kPrefixLength; ++i) {
        if (std::toupper(static_cast<unsigned char>(id[i])) != kPrefix[i]) {
            return std::nullopt;
        }
    }
    const char tens = id[kPrefixLength];
    const char ones = id[kPrefixLength + 1];
    if (!std::isdigit(static_cast<unsigned char>(tens)) || !std::isdigit(static_cast<unsigned char>(ones))) {
        return std::nullopt;
    }
    const unsigned index = static_cast<unsigned>((tens - '0') * 10 + (ones - '0'));
    if (index >= demo::kPortCount) {
        return std::nullopt;
    }
    return index;
}

std::string PortHardwareIdRange() { return HardwareId(0) + " to " + HardwareId(demo::kPortCount - 1); }

} // namespace selftest
