// Checks what a port reads against what was written to it, when the bridge
// loops the port's data back: bytes may be lost (a purge, a full ring, a
// failed write) but never made up, repeated or reordered. Written data is
// pseudo-random, so a repeated or misplaced run does not fit as a
// subsequence; the leftmost match decides whether a read fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace test {

// Pseudo-random bytes, the same for the same seed.
inline std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(count);
    for (auto& byte : bytes) {
        byte = static_cast<uint8_t>(rng());
    }
    return bytes;
}

class StreamCheck {
public:
    void Wrote(const std::vector<uint8_t>& bytes) { Stream.insert(Stream.end(), bytes.begin(), bytes.end()); }

    // False at the first byte that does not continue the written stream.
    bool Read(const uint8_t* bytes, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            while (Next < Stream.size() && Stream[Next] != bytes[i]) {
                ++Next;
            }
            if (Next == Stream.size()) {
                return false;
            }
            ++Next;
        }
        return true;
    }
    bool Read(const std::vector<uint8_t>& bytes) { return Read(bytes.data(), bytes.size()); }

    bool SawLastByteWritten() const { return Next == Stream.size(); }
    size_t Written() const { return Stream.size(); }
    void Reset()
    {
        Stream.clear();
        Next = 0;
    }

private:
    std::vector<uint8_t> Stream;
    size_t Next = 0;
};

} // namespace test
