// One USB/IP connection as a state machine over the bytes it receives,
// without sockets: the server feeds it what a connection reads, the fuzzer
// feeds it arbitrary streams. It answers through Hooks::Send.
//
// Stages: an operation (OP_REQ_DEVLIST, answered and closed, or
// OP_REQ_IMPORT), then, once the device is imported, URB packets
// (USBIP_CMD_SUBMIT and USBIP_CMD_UNLINK) until the connection closes. Any
// packet that does not fit the stage closes the connection: one log line, no
// answer after it, the device released for the next importer.
//
// What it guarantees:
// - every USBIP_RET_SUBMIT answers a submitted URB that is still pending, at
//   most once; an unlinked URB gets USBIP_RET_UNLINK with -ECONNRESET and no
//   USBIP_RET_SUBMIT;
// - nothing is sent after the session closed;
// - a packet header announcing more than the limits below closes the
//   session before its body is waited for, so the input held stays within
//   one packet and one read.
//
// Threads: Feed and Finish on the connection's own thread; Close and the
// device's IN transfers (through the link it plugs into the model) from any.
#pragma once

#include "host/usb/device_model.h"
#include "tools/usbip/device.h"
#include "tools/usbip/protocol.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace usbip {

// Limits past which a packet is taken for an attack or a broken client.
constexpr uint32_t kMaxBulkTransfer = 1u << 20;
constexpr uint32_t kMaxControlTransfer = 0xFFFF;
constexpr size_t kMaxPendingUrbs = 1024;
// IN data the device sent that no URB took yet; past it the client is not reading.
constexpr size_t kMaxQueuedInBytes = 16u << 20;
// OUT data of URBs waiting behind a write the device refuses.
constexpr size_t kMaxPendingOutBytes = 16u << 20;

class Session {
public:
    struct Hooks {
        // Sends one whole packet; false when the peer is gone. Called with the
        // session's lock held, so packets leave in the order they were decided.
        std::function<bool(const Bytes&)> Send;
        std::function<void(const std::string&)> Log;
        // Unblocks the connection's reads and writes when another thread closes it.
        std::function<void()> Wake;
    };

    Session(ExportedDevice& device, Hooks hooks, std::string peer);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Takes bytes as they arrived, in any split. False once the session is closed.
    bool Feed(const uint8_t* data, size_t length);
    // Closes from outside (the peer left, the bridge was pulled, the server
    // stops); logs `reason` unless already closed.
    void Close(const std::string& reason);
    // After the last Feed: unplugs the model and frees the device for the next importer.
    void Finish();

    bool Closed() const;
    bool Imported() const;

private:
    class Link;
    enum class Stage { Operation, Urbs, Closed };

    struct Urb {
        uint32_t SeqNum = 0;
        uint8_t Endpoint = 0;     // address: bit 7 set for IN
        uint32_t Length = 0;
        uint32_t Flags = 0;
        Bytes Data;               // OUT payload
        bool Hung = false;        // the device NAKs this OUT transfer
    };
    struct InTransfer {
        Bytes Data;
        size_t Offset = 0;
        int32_t Failure = 0;      // non-zero: the next read on the endpoint fails so
    };
    using Lock = std::unique_lock<std::mutex>;

    // With the lock held. Each returns false when it closed the session.
    bool ParseOne(Lock& lock, size_t& used);
    bool HandleOperation(Lock& lock, size_t& used);
    bool HandleImport(Lock& lock, const uint8_t* busId);
    bool HandleSubmit(Lock& lock, const UrbHeader& header, const uint8_t* payload);
    bool HandleUnlink(Lock& lock, const UrbHeader& header);
    void HandleControl(const UrbHeader& header, const uint8_t* payload, int32_t& status, Bytes& reply);
    bool ControlStandard(const uint8_t* setup, Bytes& reply);
    void PumpOut(Lock& lock, uint8_t endpoint);
    void DeliverIn(uint8_t endpoint);
    bool SendRetSubmit(uint32_t seqNum, int32_t status, uint32_t actual, const Bytes& data);
    bool SendPacket(const Bytes& packet);
    void CloseLocked(const std::string& reason);

    void OnDeviceIn(uint8_t endpoint, const uint8_t* data, size_t length);
    void OnDeviceInFailure(uint8_t endpoint, int32_t ntStatus);

    ExportedDevice& Device;
    Hooks Callbacks;
    std::string Peer;

    mutable std::mutex Mutex;
    Stage Current = Stage::Operation;
    Bytes Input;
    bool HoldsDevice = false;
    bool Finished = false;
    std::unique_ptr<Link> DeviceLink;
    uint8_t Configuration = 0;
    std::map<uint32_t, Urb> Pending;
    std::map<uint8_t, std::deque<uint32_t>> Waiting;     // per bulk endpoint, oldest first
    std::map<uint8_t, std::deque<InTransfer>> InData;
    size_t QueuedInBytes = 0;
    size_t PendingOutBytes = 0;
};

} // namespace usbip
