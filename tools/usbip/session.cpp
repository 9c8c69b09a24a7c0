#include "tools/usbip/session.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace usbip {

namespace {

constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kSetAddress = 5;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kGetInterface = 10;
constexpr uint8_t kSetInterface = 11;

constexpr uint8_t kRecipientDevice = 0;
constexpr uint8_t kRecipientInterface = 1;
constexpr uint8_t kRecipientEndpoint = 2;

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;

constexpr uint16_t kEndpointHalt = 0;

// A client's text, fit for one log line.
std::string Printable(const uint8_t* data, size_t length)
{
    std::string text;
    for (size_t i = 0; i < length && data[i] != 0; ++i) {
        text.push_back(std::isprint(data[i]) ? static_cast<char>(data[i]) : '?');
    }
    return text;
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

} // namespace

class Session::Link final : public host::UsbHostLink {
public:
    explicit Link(Session& owner) : Owner(owner) {}
    void SendIn(uint8_t endpoint, const uint8_t* data, size_t length) override
    {
        Owner.OnDeviceIn(endpoint, data, length);
    }
    void FailIn(uint8_t endpoint, int32_t status) override { Owner.OnDeviceInFailure(endpoint, status); }

private:
    Session& Owner;
};

Session::Session(ExportedDevice& device, Hooks hooks, std::string peer)
    : Device(device), Callbacks(std::move(hooks)), Peer(std::move(peer))
{
}

Session::~Session() { Finish(); }

bool Session::Closed() const
{
    std::lock_guard lock(Mutex);
    return Current == Stage::Closed;
}

bool Session::Imported() const
{
    std::lock_guard lock(Mutex);
    return Current == Stage::Urbs;
}

bool Session::Feed(const uint8_t* data, size_t length)
{
    Lock lock(Mutex);
    if (Current == Stage::Closed) {
        return false;
    }
    Input.insert(Input.end(), data, data + length);
    size_t used = 0;
    for (;;) {
        const size_t before = used;
        if (!ParseOne(lock, used) || Current == Stage::Closed || used == before) {
            break;
        }
    }
    if (Current == Stage::Closed) {
        Input.clear();
        return false;
    }
    Input.erase(Input.begin(), Input.begin() + static_cast<std::ptrdiff_t>(used));
    return true;
}

void Session::Close(const std::string& reason)
{
    // Woken first: a Send blocked on a peer that reads nothing holds the lock.
    if (Callbacks.Wake) {
        Callbacks.Wake();
    }
    Lock lock(Mutex);
    CloseLocked(reason);
}

void Session::CloseLocked(const std::string& reason)
{
    if (Current == Stage::Closed) {
        return;
    }
    Current = Stage::Closed;
    Pending.clear();
    Waiting.clear();
    InData.clear();
    QueuedInBytes = 0;
    PendingOutBytes = 0;
    if (Callbacks.Log) {
        Callbacks.Log(Peer + ": " + reason + "; connection closed");
    }
}

void Session::Finish()
{
    bool unplug = false;
    {
        Lock lock(Mutex);
        if (Finished) {
            return;
        }
        Finished = true;
        CloseLocked("connection ended");
        unplug = HoldsDevice;
    }
    if (!unplug) {
        return;
    }
    // Without the lock: the model waits out a SendIn in progress, which takes it.
    Device.Model().Connect(nullptr);
    {
        Lock lock(Mutex);
        DeviceLink.reset();
        HoldsDevice = false;
    }
    Device.Release(this);
}

bool Session::ParseOne(Lock& lock, size_t& used)
{
    if (Current == Stage::Operation) {
        return HandleOperation(lock, used);
    }
    const size_t available = Input.size() - used;
    if (available < kUrbHeaderSize) {
        return true;
    }
    const uint8_t* packet = Input.data() + used;
    const UrbHeader header = UrbHeader::Parse(packet);
    if (header.Command != kCmdSubmit && header.Command != kCmdUnlink) {
        CloseLocked("unknown URB command " + Hex(header.Command));
        return false;
    }
    if (header.DevId != Device.Record().DevId()) {
        CloseLocked("URB for devid " + Hex(header.DevId) + ", not the imported device's " +
                    Hex(Device.Record().DevId()));
        return false;
    }
    if (header.Command == kCmdUnlink) {
        used += kUrbHeaderSize;
        return HandleUnlink(lock, header);
    }

    const uint32_t length = header.Words[1];
    const uint32_t packets = header.Words[3];
    if (header.Direction != kDirIn && header.Direction != kDirOut) {
        CloseLocked("URB " + std::to_string(header.SeqNum) + " has direction " + Hex(header.Direction));
        return false;
    }
    if (header.Endpoint > 15) {
        CloseLocked("URB " + std::to_string(header.SeqNum) + " for endpoint number " + Hex(header.Endpoint));
        return false;
    }
    const auto address = static_cast<uint8_t>(header.Endpoint | (header.Direction == kDirIn ? 0x80 : 0));
    if (header.Endpoint != 0 && Device.Usb().FindEndpoint(address) == nullptr) {
        CloseLocked("URB " + std::to_string(header.SeqNum) + " for endpoint " + Hex(address) +
                    ", which the device does not have");
        return false;
    }
    if (packets != 0 && packets != kNoIsoPackets) {
        CloseLocked("URB " + std::to_string(header.SeqNum) + " with isochronous packets; the device has none");
        return false;
    }
    const uint32_t limit = header.Endpoint == 0 ? kMaxControlTransfer : kMaxBulkTransfer;
    if (length > limit) {
        CloseLocked("URB " + std::to_string(header.SeqNum) + " with transfer_buffer_length " +
                    std::to_string(length) + ", over the limit of " + std::to_string(limit));
        return false;
    }
    const size_t body = header.Direction == kDirOut ? length : 0;
    if (available < kUrbHeaderSize + body) {
        return true;
    }
    used += kUrbHeaderSize + body;
    return HandleSubmit(lock, header, packet + kUrbHeaderSize);
}

bool Session::HandleOperation(Lock& lock, size_t& used)
{
    const size_t available = Input.size() - used;
    if (available < kOpHeaderSize) {
        return true;
    }
    const uint8_t* packet = Input.data() + used;
    const uint16_t version = Get16(packet);
    const uint16_t code = Get16(packet + 2);
    if ((version >> 8) != (kVersion >> 8)) {
        CloseLocked("operation with protocol version " + Hex(version));
        return false;
    }
    if (code == kOpReqDevlist) {
        used += kOpHeaderSize;
        Bytes reply = OpHeader(kOpRepDevlist, kOpStatusOk);
        Put32(reply, 1);
        Device.Record().AppendTo(reply, true);
        if (SendPacket(reply)) {
            CloseLocked("listed the device");
        }
        return false;
    }
    if (code == kOpReqImport) {
        if (available < kImportRequestSize) {
            return true;
        }
        used += kImportRequestSize;
        return HandleImport(lock, packet + kOpHeaderSize);
    }
    CloseLocked("unknown operation " + Hex(code));
    return false;
}

bool Session::HandleImport(Lock& lock, const uint8_t* busId)
{
    const bool terminated = std::memchr(busId, 0, kBusIdSize) != nullptr;
    const std::string requested = Printable(busId, kBusIdSize);
    if (!terminated || requested != Device.Record().BusId) {
        if (SendPacket(OpHeader(kOpRepImport, kOpStatusError))) {
            CloseLocked("import of busid '" + requested + "', which is not exported");
        }
        return false;
    }
    // The device's lock is never taken under this one (ExportedDevice::Unplug
    // takes them the other way round).
    lock.unlock();
    const bool claimed = Device.Claim(this);
    lock.lock();
    HoldsDevice = claimed;
    if (Current == Stage::Closed) {
        return false;
    }
    if (!claimed) {
        if (SendPacket(OpHeader(kOpRepImport, kOpStatusError))) {
            CloseLocked("import refused: another connection holds the device");
        }
        return false;
    }
    // A fresh link per import: the model sees a replug, its late answers for
    // the last importer dropped.
    DeviceLink = std::make_unique<Link>(*this);
    host::UsbHostLink* link = DeviceLink.get();
    lock.unlock();
    Device.Model().Connect(link);
    lock.lock();
    if (Current == Stage::Closed) {
        return false;
    }
    Current = Stage::Urbs;
    Configuration = 0;
    Bytes reply = OpHeader(kOpRepImport, kOpStatusOk);
    Device.Record().AppendTo(reply, false);
    if (Callbacks.Log) {
        Callbacks.Log(Peer + ": imported " + Device.Record().BusId);
    }
    return SendPacket(reply);
}

bool Session::HandleSubmit(Lock& lock, const UrbHeader& header, const uint8_t* payload)
{
    const uint32_t seqNum = header.SeqNum;
    if (Pending.count(seqNum) != 0) {
        CloseLocked("URB " + std::to_string(seqNum) + " submitted again while still pending");
        return false;
    }
    if (Pending.size() >= kMaxPendingUrbs) {
        CloseLocked("more than " + std::to_string(kMaxPendingUrbs) + " URBs pending");
        return false;
    }
    const bool in = header.Direction == kDirIn;
    const uint32_t length = header.Words[1];
    if (header.Endpoint == 0) {
        if (((header.Setup[0] & 0x80) != 0) != in) {
            CloseLocked("control URB " + std::to_string(seqNum) + " whose direction its setup packet contradicts");
            return false;
        }
        int32_t status = kStatusOk;
        Bytes reply;
        HandleControl(header, payload, status, reply);
        const uint32_t actual = status != kStatusOk ? 0 : static_cast<uint32_t>(in ? reply.size() : 0);
        return SendRetSubmit(seqNum, status, actual, in ? reply : Bytes{});
    }
    const auto address = static_cast<uint8_t>(header.Endpoint | (in ? 0x80 : 0));
    if (Configuration == 0) {
        // Only endpoint 0 works before a configuration is selected.
        return SendRetSubmit(seqNum, kStatusStall, 0, {});
    }
    Urb urb;
    urb.SeqNum = seqNum;
    urb.Endpoint = address;
    urb.Length = length;
    urb.Flags = header.Words[0];
    if (!in) {
        if (PendingOutBytes + length > kMaxPendingOutBytes) {
            CloseLocked("more than " + std::to_string(kMaxPendingOutBytes) + " bytes of writes pending");
            return false;
        }
        PendingOutBytes += length;
        urb.Data.assign(payload, payload + length);
    }
    Pending.emplace(seqNum, std::move(urb));
    Waiting[address].push_back(seqNum);
    if (in) {
        DeliverIn(address);
    } else {
        PumpOut(lock, address);
    }
    return Current != Stage::Closed;
}

bool Session::HandleUnlink(Lock& lock, const UrbHeader& header)
{
    const uint32_t target = header.Words[0];
    int32_t status = kStatusOk;  // already answered, or never submitted: nothing to cancel
    uint8_t endpoint = 0;
    const auto found = Pending.find(target);
    if (found != Pending.end()) {
        endpoint = found->second.Endpoint;
        PendingOutBytes -= found->second.Data.size();
        auto& queue = Waiting[endpoint];
        queue.erase(std::remove(queue.begin(), queue.end(), target), queue.end());
        Pending.erase(found);
        status = kStatusUnlinked;
    }
    UrbHeader reply;
    reply.Command = kRetUnlink;
    reply.SeqNum = header.SeqNum;
    reply.Words[0] = static_cast<uint32_t>(status);
    Bytes packet;
    reply.AppendTo(packet);
    if (!SendPacket(packet)) {
        return false;
    }
    // An unlinked write the device was refusing lets the writes behind it through.
    if (status == kStatusUnlinked && (endpoint & 0x80) == 0) {
        PumpOut(lock, endpoint);
    }
    return Current != Stage::Closed;
}

void Session::PumpOut(Lock& lock, uint8_t endpoint)
{
    // Only the connection's own thread submits and unlinks, so the queue's
    // head changes only here while the lock is let go.
    while (Current != Stage::Closed) {
        auto& queue = Waiting[endpoint];
        if (queue.empty()) {
            return;
        }
        const uint32_t seqNum = queue.front();
        Urb& urb = Pending.at(seqNum);
        if (urb.Hung) {
            return;  // the device keeps refusing it: it waits for its unlink
        }
        const Bytes data = std::move(urb.Data);
        PendingOutBytes -= data.size();
        lock.unlock();
        // The model may answer from inside the call, through SendIn, which takes the lock.
        const host::UsbOutResult result = Device.Model().OnOutTransfer(endpoint, data.data(), data.size());
        // The model records every transfer for tests; a server running for days keeps none.
        Device.Model().ClearOutTransfers();
        lock.lock();
        if (Current == Stage::Closed) {
            return;
        }
        const auto found = Pending.find(seqNum);
        if (found == Pending.end()) {
            auto& current = Waiting[endpoint];
            current.erase(std::remove(current.begin(), current.end(), seqNum), current.end());
            continue;
        }
        if (result.Outcome == host::UsbOutResult::Kind::NeverCompletes) {
            found->second.Hung = true;
            return;
        }
        Waiting[endpoint].pop_front();
        Pending.erase(found);
        const bool ok = result.Status == 0;
        if (!SendRetSubmit(seqNum, ok ? kStatusOk : kStatusProtocol, ok ? static_cast<uint32_t>(data.size()) : 0, {})) {
            return;
        }
    }
}

void Session::DeliverIn(uint8_t endpoint)
{
    // IN data goes to the URBs in packets of the endpoint's maximum size, as
    // on the bus: a short (or zero-length) packet ends the device's transfer
    // and the URB with it; a URB filled by whole packets completes and the
    // rest of the transfer goes to the next URB; a packet that does not fit
    // the room left is babble: the URB gets what fits and -EOVERFLOW, and the
    // rest of that transfer is lost. (The stand-in's cable fails such a read
    // with STATUS_BUFFER_OVERFLOW and drops the whole transfer instead.) A
    // transfer whose length is a multiple of the packet size ends with a
    // zero-length packet, so its end stays visible.
    const host::UsbEndpointDescriptor* descriptor = Device.Usb().FindEndpoint(endpoint);
    const size_t maxPacket = std::max<size_t>(1, descriptor != nullptr ? descriptor->MaximumPacketSize : 512);
    auto& urbs = Waiting[endpoint];
    auto& transfers = InData[endpoint];
    while (Current != Stage::Closed && !urbs.empty() && !transfers.empty()) {
        const uint32_t seqNum = urbs.front();
        const Urb& urb = Pending.at(seqNum);
        InTransfer& transfer = transfers.front();
        int32_t status = kStatusOk;
        Bytes out;
        bool transferEnded = false;
        if (transfer.Failure != 0) {
            status = transfer.Failure;
            transferEnded = true;
        } else {
            for (;;) {
                const size_t packet = std::min(transfer.Data.size() - transfer.Offset, maxPacket);
                const auto start = transfer.Data.begin() + static_cast<std::ptrdiff_t>(transfer.Offset);
                if (out.size() + packet > urb.Length) {
                    out.insert(out.end(), start, start + static_cast<std::ptrdiff_t>(urb.Length - out.size()));
                    status = kStatusOverflow;
                    transferEnded = true;
                    break;
                }
                out.insert(out.end(), start, start + static_cast<std::ptrdiff_t>(packet));
                transfer.Offset += packet;
                if (packet < maxPacket) {
                    transferEnded = true;
                    break;
                }
                if (out.size() == urb.Length) {
                    break;
                }
            }
            if (status == kStatusOk && out.size() < urb.Length && (urb.Flags & kShortNotOk) != 0) {
                status = kStatusShort;
            }
        }
        if (transferEnded) {
            QueuedInBytes -= transfer.Data.size();
            transfers.pop_front();
        }
        urbs.pop_front();
        Pending.erase(seqNum);
        if (!SendRetSubmit(seqNum, status, static_cast<uint32_t>(out.size()), out)) {
            return;
        }
    }
}

void Session::OnDeviceIn(uint8_t endpoint, const uint8_t* data, size_t length)
{
    Lock lock(Mutex);
    const host::UsbEndpointDescriptor* descriptor = Device.Usb().FindEndpoint(endpoint);
    if (Current == Stage::Closed || descriptor == nullptr || !descriptor->IsIn()) {
        return;
    }
    InData[endpoint].push_back({Bytes(data, data + length), 0, 0});
    QueuedInBytes += length;
    if (QueuedInBytes > kMaxQueuedInBytes) {
        CloseLocked("the client leaves the device's IN data unread (" + std::to_string(QueuedInBytes) +
                    " bytes queued)");
        if (Callbacks.Wake) {
            Callbacks.Wake();
        }
        return;
    }
    DeliverIn(endpoint);
}

void Session::OnDeviceInFailure(uint8_t endpoint, int32_t)
{
    Lock lock(Mutex);
    const host::UsbEndpointDescriptor* descriptor = Device.Usb().FindEndpoint(endpoint);
    if (Current == Stage::Closed || descriptor == nullptr || !descriptor->IsIn()) {
        return;
    }
    InData[endpoint].push_back({{}, 0, kStatusProtocol});
    DeliverIn(endpoint);
}

bool Session::SendRetSubmit(uint32_t seqNum, int32_t status, uint32_t actual, const Bytes& data)
{
    UrbHeader header;
    header.Command = kRetSubmit;
    header.SeqNum = seqNum;
    header.Words[0] = static_cast<uint32_t>(status);
    header.Words[1] = actual;
    header.Words[3] = kNoIsoPackets;
    Bytes packet;
    packet.reserve(kUrbHeaderSize + data.size());
    header.AppendTo(packet);
    packet.insert(packet.end(), data.begin(), data.end());
    return SendPacket(packet);
}

bool Session::SendPacket(const Bytes& packet)
{
    if (Current == Stage::Closed) {
        return false;
    }
    if (!Callbacks.Send(packet)) {
        CloseLocked("the peer stopped taking packets");
        return false;
    }
    return true;
}

void Session::HandleControl(const UrbHeader& header, const uint8_t*, int32_t& status, Bytes& reply)
{
    const uint8_t* setup = header.Setup;
    const bool standard = ((setup[0] >> 5) & 3) == 0;
    if (!standard || !ControlStandard(setup, reply)) {
        status = kStatusStall;
        reply.clear();
        return;
    }
    const size_t wLength = setup[6] | setup[7] << 8;
    reply.resize(std::min({reply.size(), wLength, static_cast<size_t>(header.Words[1])}));
    status = kStatusOk;
}

bool Session::ControlStandard(const uint8_t* setup, Bytes& reply)
{
    const bool in = (setup[0] & 0x80) != 0;
    const uint8_t recipient = setup[0] & 0x1F;
    const uint8_t request = setup[1];
    const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    const uint16_t index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
    const uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    const bool configured = Configuration != 0;
    // An endpoint a request may name: endpoint 0 always, the interface's once configured.
    const auto knownEndpoint = [&](uint16_t address) {
        if ((address & 0x7F) == 0) {
            return (address & 0xFF00) == 0;
        }
        return address <= 0xFF && configured && Device.Usb().FindEndpoint(static_cast<uint8_t>(address)) != nullptr;
    };

    switch (request) {
    case kGetStatus:
        if (!in || value != 0 || length < 2) {
            return false;
        }
        if ((recipient == kRecipientDevice && index == 0) ||
            (recipient == kRecipientInterface && configured && index == 0) ||
            (recipient == kRecipientEndpoint && knownEndpoint(index))) {
            reply = {0, 0};  // bus powered, no remote wake-up; no endpoint is ever halted
            return true;
        }
        return false;
    case kClearFeature:
        // Halt is the one feature: the bridge never halts an endpoint, so
        // clearing it (a host's pipe reset) only has to succeed.
        return !in && recipient == kRecipientEndpoint && value == kEndpointHalt && length == 0 && knownEndpoint(index);
    case kSetAddress:
        // The client's host controller gave the address; nothing to keep.
        return !in && recipient == kRecipientDevice && index == 0 && length == 0 && value <= 127;
    case kGetDescriptor: {
        if (!in || recipient != kRecipientDevice) {
            return false;
        }
        const uint8_t type = static_cast<uint8_t>(value >> 8);
        const uint8_t which = static_cast<uint8_t>(value);
        if (type == kDescriptorDevice && which == 0) {
            reply = Device.Usb().Device();
            return true;
        }
        if (type == kDescriptorConfiguration && which == 0) {
            reply = Device.Usb().Configuration();
            return true;
        }
        if (type == kDescriptorString) {
            if (auto text = Device.Usb().String(which, index)) {
                reply = std::move(*text);
                return true;
            }
        }
        return false;
    }
    case kGetConfiguration:
        if (!in || recipient != kRecipientDevice || value != 0 || index != 0 || length < 1) {
            return false;
        }
        reply = {Configuration};
        return true;
    case kSetConfiguration:
        if (in || recipient != kRecipientDevice || index != 0 || length != 0 ||
            (value != 0 && value != Descriptors::kConfigurationValue)) {
            return false;
        }
        Configuration = static_cast<uint8_t>(value);
        return true;
    case kGetInterface:
        if (!in || recipient != kRecipientInterface || !configured || value != 0 || index != 0 || length < 1) {
            return false;
        }
        reply = {0};
        return true;
    case kSetInterface:
        return !in && recipient == kRecipientInterface && configured && value == 0 && index == 0 && length == 0;
    default:
        return false;
    }
}

} // namespace usbip
