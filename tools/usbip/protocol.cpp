#include "tools/usbip/protocol.h"

#include <algorithm>

namespace usbip {

void PutFixedString(Bytes& out, const std::string& text, size_t size)
{
    const size_t kept = std::min(text.size(), size - 1);
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(kept));
    out.insert(out.end(), size - kept, 0);
}

UrbHeader UrbHeader::Parse(const uint8_t* data)
{
    UrbHeader header;
    header.Command = Get32(data);
    header.SeqNum = Get32(data + 4);
    header.DevId = Get32(data + 8);
    header.Direction = Get32(data + 12);
    header.Endpoint = Get32(data + 16);
    for (size_t i = 0; i < 5; ++i) {
        header.Words[i] = Get32(data + 20 + 4 * i);
    }
    std::copy(data + 40, data + 48, header.Setup);
    return header;
}

void UrbHeader::AppendTo(Bytes& out) const
{
    Put32(out, Command);
    Put32(out, SeqNum);
    Put32(out, DevId);
    Put32(out, Direction);
    Put32(out, Endpoint);
    for (uint32_t word : Words) {
        Put32(out, word);
    }
    out.insert(out.end(), Setup, Setup + 8);
}

void DeviceRecord::AppendTo(Bytes& out, bool withInterfaces) const
{
    PutFixedString(out, Path, kPathSize);
    PutFixedString(out, BusId, kBusIdSize);
    Put32(out, BusNum);
    Put32(out, DevNum);
    Put32(out, Speed);
    Put16(out, VendorId);
    Put16(out, ProductId);
    Put16(out, BcdDevice);
    out.push_back(DeviceClass);
    out.push_back(DeviceSubClass);
    out.push_back(DeviceProtocol);
    out.push_back(ConfigurationValue);
    out.push_back(NumConfigurations);
    out.push_back(static_cast<uint8_t>(Interfaces.size()));
    if (!withInterfaces) {
        return;
    }
    for (const Interface& interface : Interfaces) {
        out.push_back(interface.Class);
        out.push_back(interface.SubClass);
        out.push_back(interface.Protocol);
        out.push_back(0);
    }
}

Bytes OpHeader(uint16_t code, uint32_t status)
{
    Bytes out;
    Put16(out, kVersion);
    Put16(out, code);
    Put32(out, status);
    return out;
}

} // namespace usbip
