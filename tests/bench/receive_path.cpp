#include "bench/receive_path.h"

#include "support/white_box.h"

#include "host/framework/device.h"
#include "host/framework/memory.h"
#include "host/framework/object.h"
#include "host/io_manager/io_manager.h"
#include "host/kernel/object_namespace.h"
#include "host/verifier/verifier.h"

#include <cstring>
#include <thread>
#include <vector>

namespace bench {

// What callgrind counts: the completion routine for `count` frames, nothing
// else. Two names for one loop, so the two cases are counted apart.
__attribute__((noinline)) void ReceiveBatch(WDFUSBPIPE pipe, WDFMEMORY frame, OMBREL_DEVICE_CONTEXT* bus,
                                            unsigned count)
{
    for (unsigned i = 0; i < count; ++i) {
        EvtBusReadComplete(pipe, frame, kFrameLength, bus);
    }
}

__attribute__((noinline)) void StoreBatch(WDFUSBPIPE pipe, WDFMEMORY frame, OMBREL_DEVICE_CONTEXT* bus,
                                          unsigned count)
{
    for (unsigned i = 0; i < count; ++i) {
        EvtBusReadComplete(pipe, frame, kFrameLength, bus);
    }
    __asm__ __volatile__("" : : : "memory");  // keeps the two loops from being folded into one
}

namespace {

__attribute__((noinline)) void CopyFrame(uint8_t* destination, const uint8_t* source)
{
    std::memcpy(destination, source, kFramePayload);
}

// Port 2 carries the data; the payload differs from byte to byte so a read
// that got the wrong bytes shows.
std::vector<uint8_t> DataFrame(UCHAR port)
{
    std::vector<uint8_t> frame(kFrameLength);
    BRIDGE_FRAME_HEADER header{};
    header.Magic[0] = BRIDGE_FRAME_MAGIC_0;
    header.Magic[1] = BRIDGE_FRAME_MAGIC_1;
    header.Version = BRIDGE_FRAME_VERSION;
    header.Port = port;
    header.Type = FRAME_TYPE_DATA;
    header.PayloadLength = static_cast<USHORT>(kFramePayload);
    std::memcpy(frame.data(), &header, sizeof(header));
    for (unsigned i = 0; i < kFramePayload; ++i) {
        frame[BRIDGE_HEADER_SIZE + i] = static_cast<uint8_t>(0x30 + i);
    }
    return frame;
}

} // namespace

void CopyBatch(uint8_t* destination, const uint8_t* source, unsigned count)
{
    for (unsigned i = 0; i < count; ++i) {
        CopyFrame(destination, source);
        __asm__ __volatile__("" : : "r"(destination) : "memory");
    }
}

struct ReceivePath::Parked {
    std::vector<std::shared_ptr<host::IoOperation>> Operations;
};

rig::SystemOptions LinkedBusSystem()
{
    rig::SystemOptions options;
    options.BusDriverEntry = DriverEntry;
    return options;
}

ReceivePath::ReceivePath(rig::SystemRig& system, const std::string& comName) : Reads(std::make_unique<Parked>())
{
    // The typed look-up of this program's copy finds a context only on a
    // device that copy made; the completion's own look-ups would need the same.
    OMBREL_DEVICE_CONTEXT* bus = system.Plugged() && system.Bus().Device() != nullptr
                                     ? BusGetDeviceContext(system.Bus().Device())
                                     : nullptr;
    if (bus == nullptr) {
        Failure = "the bus device was not made by this program's copy of the bus driver";
        return;
    }
    if (!NT_SUCCESS(host::OpenDevice(comName, Handle))) {
        Failure = "cannot open " + comName;
        return;
    }
    host::FrameworkDevice* device = host::LookupSymbolicLink(comName);
    OMBREL_PORT_CONTEXT* port = device == nullptr ? nullptr : test::PortContext(device->Handle());
    if (port == nullptr) {
        Failure = "no port device behind " + comName;
        return;
    }
    auto* memory = new host::Memory(nullptr, kFrameLength);
    const auto frame = DataFrame(port->BusInterface.PortIndex);
    std::memcpy(memory->Bytes.data(), frame.data(), frame.size());
    FrameMemory = memory;
    Port = port;
    Pipe = bus->BulkInPipe;
    Bus = bus;
}

ReceivePath::~ReceivePath()
{
    Reads->Operations.clear();
    if (Handle != nullptr) {
        Handle->Close();
    }
    if (FrameMemory != nullptr) {
        host::DeleteObject(static_cast<host::Memory*>(FrameMemory));
    }
}

bool ReceivePath::ParkReads(unsigned count)
{
    Reads->Operations.clear();
    for (unsigned i = 0; i < count; ++i) {
        Reads->Operations.push_back(Handle->ReadAsync(kFramePayload));
    }
    // The port's queue hands each read to the driver on its own thread; the
    // driver parks it in ReadQueue since the ring is empty.
    auto* port = static_cast<OMBREL_PORT_CONTEXT*>(Port);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        ULONG queued = 0;
        WdfIoQueueGetState(port->ReadQueue, &queued, nullptr);
        if (queued == count) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Failure = "reads were not parked: " + std::to_string(queued) + " of " + std::to_string(count);
            return false;
        }
        std::this_thread::yield();
    }
}

void ReceivePath::Complete(unsigned count, bool readsParked, bool measured, std::chrono::nanoseconds* elapsed)
{
    auto* bus = static_cast<OMBREL_DEVICE_CONTEXT*>(Bus);
    auto* pipe = static_cast<WDFUSBPIPE>(Pipe);
    const WDFMEMORY frame = static_cast<host::Memory*>(FrameMemory)->Handle();
    // As the reader thread calls it: at DISPATCH_LEVEL, on an I/O path, where
    // the verifier stops the run on any allocation.
    host::CallbackScope scope("EvtUsbTargetPipeReadComplete", DISPATCH_LEVEL, true);
    const auto start = std::chrono::steady_clock::now();
    if (!measured) {
        for (unsigned i = 0; i < count; ++i) {
            EvtBusReadComplete(pipe, frame, kFrameLength, bus);
        }
    } else if (readsParked) {
        ReceiveBatch(pipe, frame, bus, count);
    } else {
        StoreBatch(pipe, frame, bus, count);
    }
    if (elapsed != nullptr) {
        *elapsed = std::chrono::steady_clock::now() - start;
    }
}

bool ReceivePath::RunBatch(unsigned count, bool measured, std::chrono::nanoseconds* elapsed)
{
    if (!ParkReads(count)) {
        return false;
    }
    Complete(count, true, measured, elapsed);
    const auto expected = DataFrame(0);
    for (const auto& read : Reads->Operations) {
        if (!read->Wait(std::chrono::seconds(10)) || read->Status() != STATUS_SUCCESS ||
            read->Information() != kFramePayload ||
            std::memcmp(read->Output().data(), expected.data() + BRIDGE_HEADER_SIZE, kFramePayload) != 0) {
            Failure = "a parked read did not end with the frame's payload";
            return false;
        }
    }
    Reads->Operations.clear();
    return true;
}

bool ReceivePath::RunStoreBatch(unsigned count, bool measured, std::chrono::nanoseconds* elapsed)
{
    if (count * kFramePayload > RX_RING_SIZE - 1) {
        Failure = "a store batch must fit the ring";
        return false;
    }
    Complete(count, false, measured, elapsed);
    std::vector<uint8_t> drained;
    if (Handle->Read(RX_RING_SIZE, drained) != STATUS_SUCCESS || drained.size() != count * kFramePayload) {
        Failure = "the ring did not hold every stored frame";
        return false;
    }
    return true;
}

} // namespace bench
