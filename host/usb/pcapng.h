// pcapng capture files, as the IETF draft "PCAP Next Generation (pcapng)
// Capture File Format" lays them out: a Section Header Block, Interface
// Description Blocks, and an Enhanced Packet Block per packet.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace host {

// Writes one section with one interface, little-endian, timestamps in
// microseconds (if_tsresol 6), packets as they are given.
class PcapngWriter {
public:
    PcapngWriter() = default;
    ~PcapngWriter();
    PcapngWriter(const PcapngWriter&) = delete;
    PcapngWriter& operator=(const PcapngWriter&) = delete;

    static constexpr uint32_t kSnapLength = 65535;

    // Creates `path` and writes the section header and the interface.
    bool Open(const std::string& path, uint16_t linkType, const std::string& interfaceName, std::string& error);
    void WritePacket(uint64_t timestampMicroseconds, const std::vector<uint8_t>& packet);
    // Flushes and closes; false when any write failed.
    bool Close(std::string& error);

private:
    void WriteBlock(uint32_t type, const std::vector<uint8_t>& body);

    std::FILE* File = nullptr;
    std::string Path;
};

struct PcapngInterface {
    uint16_t LinkType = 0;
    uint32_t SnapLength = 0;
    uint64_t TicksPerSecond = 1'000'000;  // from if_tsresol; 10^6 without one
};

struct PcapngPacket {
    uint32_t Interface = 0;               // index into PcapngFile::Interfaces, over all sections
    uint64_t TimestampMicroseconds = 0;
    uint32_t OriginalLength = 0;
    std::vector<uint8_t> Data;            // the captured bytes
};

struct PcapngFile {
    std::vector<PcapngInterface> Interfaces;
    std::vector<PcapngPacket> Packets;    // Enhanced Packet Blocks in file order; other blocks are skipped
};

// Reads a whole file, of either byte order and any number of sections;
// nothing, with `error` set, when it is not a well-formed pcapng file.
std::optional<PcapngFile> ReadPcapng(const std::string& path, std::string& error);

} // namespace host
