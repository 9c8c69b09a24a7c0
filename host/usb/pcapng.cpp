#include "host/usb/pcapng.h"

#include "host/usb/little_endian.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace host {

namespace {

constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescriptionBlock = 0x00000001;
constexpr uint32_t kEnhancedPacketBlock = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kShbUserApplication = 4;
constexpr uint16_t kIfName = 2;
constexpr uint16_t kIfTimestampResolution = 9;

using little_endian::Put;

void PadTo32Bits(std::vector<uint8_t>& out)
{
    while (out.size() % 4 != 0) {
        out.push_back(0);
    }
}

void PutOption(std::vector<uint8_t>& out, uint16_t code, const std::vector<uint8_t>& value)
{
    Put<uint16_t>(out, code);
    Put<uint16_t>(out, static_cast<uint16_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
    PadTo32Bits(out);
}

std::vector<uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

// Reads the file's fields in the byte order its current section declares.
class BlockReader {
public:
    explicit BlockReader(const std::vector<uint8_t>& bytes) : Bytes(bytes) {}

    bool Swapped = false;

    uint16_t U16(size_t at) const
    {
        const uint16_t value = static_cast<uint16_t>(Bytes[at] | Bytes[at + 1] << 8);
        return Swapped ? static_cast<uint16_t>(value >> 8 | value << 8) : value;
    }
    uint32_t U32(size_t at) const
    {
        uint32_t value = 0;
        for (size_t i = 0; i < 4; ++i) {
            value |= static_cast<uint32_t>(Bytes[at + i]) << (8 * (Swapped ? 3 - i : i));
        }
        return value;
    }

private:
    const std::vector<uint8_t>& Bytes;
};

uint64_t ToMicroseconds(uint64_t ticks, uint64_t ticksPerSecond)
{
    const uint64_t seconds = ticks / ticksPerSecond;
    const long double fraction = static_cast<long double>(ticks % ticksPerSecond) / ticksPerSecond;
    return seconds * 1'000'000 + static_cast<uint64_t>(fraction * 1'000'000);
}

// if_tsresol: 10^-n seconds, or 2^-n with the top bit set.
std::optional<uint64_t> TicksPerSecond(uint8_t resolution)
{
    const unsigned exponent = resolution & 0x7F;
    if ((resolution & 0x80) != 0) {
        return exponent < 64 ? std::optional<uint64_t>(uint64_t{1} << exponent) : std::nullopt;
    }
    if (exponent > 19) {
        return std::nullopt;
    }
    uint64_t ticks = 1;
    for (unsigned i = 0; i < exponent; ++i) {
        ticks *= 10;
    }
    return ticks;
}

} // namespace

PcapngWriter::~PcapngWriter()
{
    std::string ignored;
    Close(ignored);
}

bool PcapngWriter::Open(const std::string& path, uint16_t linkType, const std::string& interfaceName,
                        std::string& error)
{
    File = std::fopen(path.c_str(), "wb");
    if (File == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    Path = path;
    std::vector<uint8_t> section;
    Put<uint32_t>(section, kByteOrderMagic);
    Put<uint16_t>(section, 1);                 // major version
    Put<uint16_t>(section, 0);                 // minor version
    Put<uint64_t>(section, ~uint64_t{0});      // section length not given
    PutOption(section, kShbUserApplication, Text("Ombrel stand-in USB cable"));
    PutOption(section, kOptionEnd, {});
    WriteBlock(kSectionHeaderBlock, section);

    std::vector<uint8_t> interface;
    Put<uint16_t>(interface, linkType);
    Put<uint16_t>(interface, 0);
    Put<uint32_t>(interface, kSnapLength);
    PutOption(interface, kIfName, Text(interfaceName));
    PutOption(interface, kIfTimestampResolution, {6});
    PutOption(interface, kOptionEnd, {});
    WriteBlock(kInterfaceDescriptionBlock, interface);
    return true;
}

void PcapngWriter::WritePacket(uint64_t timestampMicroseconds, const std::vector<uint8_t>& packet)
{
    const size_t captured = std::min<size_t>(packet.size(), kSnapLength);
    std::vector<uint8_t> body;
    body.reserve(20 + captured + 3);
    Put<uint32_t>(body, 0);  // the one interface
    Put<uint32_t>(body, static_cast<uint32_t>(timestampMicroseconds >> 32));
    Put<uint32_t>(body, static_cast<uint32_t>(timestampMicroseconds));
    Put<uint32_t>(body, static_cast<uint32_t>(captured));
    Put<uint32_t>(body, static_cast<uint32_t>(packet.size()));
    body.insert(body.end(), packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(captured));
    PadTo32Bits(body);
    WriteBlock(kEnhancedPacketBlock, body);
}

void PcapngWriter::WriteBlock(uint32_t type, const std::vector<uint8_t>& body)
{
    if (File == nullptr) {
        return;
    }
    std::vector<uint8_t> block;
    const auto total = static_cast<uint32_t>(12 + body.size());
    Put<uint32_t>(block, type);
    Put<uint32_t>(block, total);
    block.insert(block.end(), body.begin(), body.end());
    Put<uint32_t>(block, total);
    std::fwrite(block.data(), 1, block.size(), File);
}

bool PcapngWriter::Close(std::string& error)
{
    if (File == nullptr) {
        return true;
    }
    const bool failed = std::ferror(File) != 0;
    const bool closed = std::fclose(File) == 0;
    File = nullptr;
    if (failed || !closed) {
        error = Path + ": the capture could not be written in full";
        return false;
    }
    return true;
}

std::optional<PcapngFile> ReadPcapng(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    BlockReader read(bytes);
    PcapngFile file;
    size_t sectionFirstInterface = 0;
    size_t at = 0;
    auto fail = [&](const std::string& why) {
        error = path + ": " + why + " (block at byte " + std::to_string(at) + ")";
        return std::nullopt;
    };
    if (bytes.size() < 12 || read.U32(0) != kSectionHeaderBlock) {
        error = path + ": not a pcapng file (no section header block at its start)";
        return std::nullopt;
    }
    while (at < bytes.size()) {
        if (bytes.size() - at < 12) {
            return fail("a block header runs past the end of the file");
        }
        const uint32_t type = read.U32(at);
        if (type == kSectionHeaderBlock) {
            const uint32_t magic = read.U32(at + 8);
            if (magic != kByteOrderMagic) {
                read.Swapped = !read.Swapped;
                if (read.U32(at + 8) != kByteOrderMagic) {
                    return fail("a section header without the byte-order magic");
                }
            }
            sectionFirstInterface = file.Interfaces.size();
        }
        const uint32_t length = read.U32(at + 4);
        if (length < 12 || length % 4 != 0 || length > bytes.size() - at || read.U32(at + length - 4) != length) {
            return fail("a block whose length is " + std::to_string(length));
        }
        const size_t body = at + 8;
        const size_t bodyLength = length - 12;
        if (type == kInterfaceDescriptionBlock) {
            if (bodyLength < 8) {
                return fail("an interface description block too short");
            }
            PcapngInterface interface;
            interface.LinkType = read.U16(body);
            interface.SnapLength = read.U32(body + 4);
            for (size_t option = body + 8; option + 4 <= body + bodyLength;) {
                const uint16_t code = read.U16(option);
                const uint16_t size = read.U16(option + 2);
                if (code == kOptionEnd || option + 4 + size > body + bodyLength) {
                    break;
                }
                if (code == kIfTimestampResolution && size >= 1) {
                    const auto ticks = TicksPerSecond(bytes[option + 4]);
                    if (!ticks) {
                        return fail("an interface with an if_tsresol of " + std::to_string(bytes[option + 4]));
                    }
                    interface.TicksPerSecond = *ticks;
                }
                option += 4 + ((size + 3u) & ~3u);
            }
            file.Interfaces.push_back(interface);
        } else if (type == kEnhancedPacketBlock) {
            if (bodyLength < 20) {
                return fail("an enhanced packet block too short");
            }
            const uint32_t interfaceId = read.U32(body);
            const uint32_t captured = read.U32(body + 12);
            if (sectionFirstInterface + interfaceId >= file.Interfaces.size()) {
                return fail("a packet on interface " + std::to_string(interfaceId) + ", which no block describes");
            }
            if (captured > bodyLength - 20) {
                return fail("a packet longer than its block");
            }
            PcapngPacket packet;
            packet.Interface = static_cast<uint32_t>(sectionFirstInterface + interfaceId);
            const uint64_t ticks = static_cast<uint64_t>(read.U32(body + 4)) << 32 | read.U32(body + 8);
            packet.TimestampMicroseconds = ToMicroseconds(ticks, file.Interfaces[packet.Interface].TicksPerSecond);
            packet.OriginalLength = read.U32(body + 16);
            packet.Data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(body + 20),
                               bytes.begin() + static_cast<std::ptrdiff_t>(body + 20 + captured));
            file.Packets.push_back(std::move(packet));
        }
        at += length;
    }
    return file;
}

} // namespace host
