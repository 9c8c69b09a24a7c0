// Little-endian fields of the capture formats (pcapng as written here, and
// the USBPcap packet header), appended to or read from a byte buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace host::little_endian {

template <typename T>
void Put(std::vector<uint8_t>& out, T value)
{
    for (size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i)));
    }
}

template <typename T>
T Get(const uint8_t* bytes)
{
    uint64_t value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    }
    return static_cast<T>(value);
}

} // namespace host::little_endian
