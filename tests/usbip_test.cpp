// ombrel-usbip end to end over TCP: a small USB/IP client of the test's own
// lists and imports the served bridge, reads its descriptors, configures it
// and speaks the bridge's frame protocol over bulk URBs, while other
// connections send what a broken or hostile client would.
#include "bridge/bridge_model.h"
#include "bridge/wire.h"
#include "rig/windows_inf.h"
#include "tools/usbip/device.h"
#include "tools/usbip/protocol.h"
#include "tools/usbip/server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using namespace usbip;
namespace wire = bridge::wire;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kDevId = 0x00010002;
constexpr auto kWait = std::chrono::seconds(5);
constexpr auto kQuiet = std::chrono::milliseconds(200);

Identity InfIdentity()
{
    std::string error;
    const auto identity = IdentityFromInf(rig::PackageInfPath("OmbrelBus"), error);
    EXPECT_TRUE(identity) << error;
    return identity.value_or(Identity{});
}

struct Ret {
    UrbHeader Header;
    Bytes Data;
    int32_t Status() const { return static_cast<int32_t>(Header.Words[0]); }
};

class Client {
public:
    explicit Client(uint16_t port)
    {
        Socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Connected = ::connect(Socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(Socket); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Send(const Bytes& bytes) { return ::send(Socket, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()); }

    // Exactly `length` bytes, or nothing once `timeout` passed or the server closed.
    std::optional<Bytes> Read(size_t length, std::chrono::milliseconds timeout = kWait)
    {
        Bytes out;
        const auto deadline = Clock::now() + timeout;
        while (out.size() < length) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd readable{Socket, POLLIN, 0};
            if (left <= 0 || ::poll(&readable, 1, static_cast<int>(left)) <= 0) {
                return std::nullopt;
            }
            uint8_t buffer[4096];
            const ssize_t got = ::recv(Socket, buffer, std::min(sizeof buffer, length - out.size()), 0);
            if (got <= 0) {
                return std::nullopt;
            }
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }

    // True when the server closed the connection (after whatever it still sent).
    bool ClosedByServer(std::chrono::milliseconds timeout = kWait)
    {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd readable{Socket, POLLIN, 0};
            if (left <= 0 || ::poll(&readable, 1, static_cast<int>(left)) <= 0) {
                return false;
            }
            uint8_t buffer[4096];
            const ssize_t got = ::recv(Socket, buffer, sizeof buffer, 0);
            if (got <= 0) {
                return true;
            }
        }
    }

    std::optional<DeviceRecord> Import(const std::string& busId, uint32_t& status)
    {
        Bytes request = OpHeader(kOpReqImport, 0);
        PutFixedString(request, busId, kBusIdSize);
        Send(request);
        const auto head = Read(kOpHeaderSize);
        if (!head || Get16(head->data() + 2) != kOpRepImport) {
            status = 0xFFFFFFFF;
            return std::nullopt;
        }
        status = Get32(head->data() + 4);
        if (status != kOpStatusOk) {
            return std::nullopt;
        }
        const auto body = Read(kDeviceRecordSize);
        if (!body) {
            return std::nullopt;
        }
        return ParseRecord(body->data());
    }

    bool Import()
    {
        uint32_t status = 0;
        return Import("1-1", status).has_value();
    }

    static DeviceRecord ParseRecord(const uint8_t* p)
    {
        DeviceRecord record;
        record.Path = reinterpret_cast<const char*>(p);
        record.BusId = std::string(reinterpret_cast<const char*>(p + kPathSize), strnlen(reinterpret_cast<const char*>(p + kPathSize), kBusIdSize));
        p += kPathSize + kBusIdSize;
        record.BusNum = Get32(p);
        record.DevNum = Get32(p + 4);
        record.Speed = Get32(p + 8);
        record.VendorId = Get16(p + 12);
        record.ProductId = Get16(p + 14);
        record.BcdDevice = Get16(p + 16);
        record.DeviceClass = p[18];
        record.ConfigurationValue = p[21];
        record.NumConfigurations = p[22];
        record.Interfaces.resize(p[23]);
        return record;
    }

    uint32_t Submit(uint32_t direction, uint32_t endpoint, uint32_t length, const Bytes& out = {},
                    const uint8_t* setup = nullptr, uint32_t flags = 0)
    {
        UrbHeader header;
        header.Command = kCmdSubmit;
        header.SeqNum = ++NextSeq;
        header.DevId = kDevId;
        header.Direction = direction;
        header.Endpoint = endpoint;
        header.Words[0] = flags;
        header.Words[1] = length;
        header.Words[3] = kNoIsoPackets;
        if (setup != nullptr) {
            std::memcpy(header.Setup, setup, 8);
        }
        Bytes packet;
        header.AppendTo(packet);
        packet.insert(packet.end(), out.begin(), out.end());
        Send(packet);
        Directions[header.SeqNum] = direction;
        return header.SeqNum;
    }

    uint32_t Unlink(uint32_t target)
    {
        UrbHeader header;
        header.Command = kCmdUnlink;
        header.SeqNum = ++NextSeq;
        header.DevId = kDevId;
        header.Words[0] = target;
        Bytes packet;
        header.AppendTo(packet);
        Send(packet);
        return header.SeqNum;
    }

    // The next answer of either kind; an IN RET_SUBMIT with its data.
    std::optional<Ret> Next(std::chrono::milliseconds timeout = kWait)
    {
        const auto head = Read(kUrbHeaderSize, timeout);
        if (!head) {
            return std::nullopt;
        }
        Ret ret{UrbHeader::Parse(head->data()), {}};
        if (ret.Header.Command == kRetSubmit && Directions[ret.Header.SeqNum] == kDirIn && ret.Header.Words[1] > 0) {
            const auto data = Read(ret.Header.Words[1]);
            if (!data) {
                return std::nullopt;
            }
            ret.Data = *data;
        }
        return ret;
    }

    std::optional<Ret> Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length)
    {
        const uint8_t setup[8] = {requestType, request, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                  static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8),
                                  static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
        const uint32_t seq = Submit((requestType & 0x80) ? kDirIn : kDirOut, 0, length, {}, setup);
        auto ret = Next();
        if (ret && ret->Header.SeqNum != seq) {
            ADD_FAILURE() << "answer for URB " << ret->Header.SeqNum << ", expected " << seq;
            return std::nullopt;
        }
        return ret;
    }

    std::optional<Bytes> Descriptor(uint8_t type, uint8_t index, uint16_t language, uint16_t length)
    {
        auto ret = Control(0x80, 6, static_cast<uint16_t>(type << 8 | index), language, length);
        if (!ret || ret->Status() != kStatusOk) {
            return std::nullopt;
        }
        return ret->Data;
    }

    bool Configure() { auto ret = Control(0x00, 9, 1, 0, 0); return ret && ret->Status() == kStatusOk; }

    // A bulk OUT write of one frame; its RET_SUBMIT's status.
    std::optional<int32_t> Write(const Bytes& frame)
    {
        const uint32_t seq = Submit(kDirOut, 2, static_cast<uint32_t>(frame.size()), frame);
        auto ret = Next();
        if (!ret || ret->Header.SeqNum != seq) {
            return std::nullopt;
        }
        EXPECT_EQ(ret->Header.Words[1], ret->Status() == 0 ? frame.size() : 0u);
        return ret->Status();
    }

    // A bulk IN read; the frame the device sent, or nothing.
    std::optional<Bytes> ReadIn(uint32_t length = 512)
    {
        const uint32_t seq = Submit(kDirIn, 1, length);
        auto ret = Next();
        if (!ret || ret->Header.SeqNum != seq || ret->Status() != kStatusOk) {
            return std::nullopt;
        }
        return ret->Data;
    }

    bool Connected = false;

private:
    int Socket = -1;
    uint32_t NextSeq = 100;
    std::map<uint32_t, uint32_t> Directions;
};

class UsbipServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        Device = std::make_unique<ExportedDevice>(Model, InfIdentity());
        Served = std::make_unique<Server>(*Device, [this](const std::string& line) {
            std::lock_guard lock(LogMutex);
            LogLines.push_back(line);
        });
        std::string error;
        ASSERT_TRUE(Served->Listen("127.0.0.1", 0, error)) << error;
        Served->Start();
    }
    void TearDown() override { Served->Stop(); }

    std::unique_ptr<Client> Connect()
    {
        auto client = std::make_unique<Client>(Served->Port());
        EXPECT_TRUE(client->Connected);
        return client;
    }
    std::unique_ptr<Client> ImportedAndConfigured()
    {
        auto client = Connect();
        EXPECT_TRUE(client->Import());
        EXPECT_TRUE(client->Configure());
        return client;
    }
    // Imports as soon as the last importer's connection has let the device go.
    std::unique_ptr<Client> ImportWhenFree()
    {
        for (auto deadline = Clock::now() + kWait; Clock::now() < deadline;) {
            auto client = Connect();
            if (client->Import()) {
                return client;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the device did not become importable again";
        return nullptr;
    }
    size_t LogCount(const std::string& text)
    {
        std::lock_guard lock(LogMutex);
        size_t count = 0;
        for (const auto& line : LogLines) {
            count += line.find(text) != std::string::npos ? 1 : 0;
        }
        return count;
    }

    bridge::BridgeModel Model;
    std::unique_ptr<ExportedDevice> Device;
    std::unique_ptr<Server> Served;
    std::mutex LogMutex;
    std::vector<std::string> LogLines;
};

// The IDs the bus INF installs the driver on, as "USB\VID_xxxx&PID_yyyy".
std::string HardwareId(uint16_t vendor, uint16_t product)
{
    char text[32];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vendor, product);
    return text;
}

TEST(UsbipIdentity, HardwareIdsParseOnlyInTheirUsbForm)
{
    uint16_t vendor = 0;
    uint16_t product = 0;
    EXPECT_TRUE(ParseUsbHardwareId("usb\\vid_12ab&pid_00Cd&rev_0100", vendor, product));
    EXPECT_EQ(vendor, 0x12AB);
    EXPECT_EQ(product, 0x00CD);
    for (const char* bad : {"USB\\VID_12AB", "USB\\VID_12AB&PID_", "USB\\VID_12AG&PID_0001", "PCI\\VEN_8086&DEV_1234",
                            "USB\\VID_12AB&PID_00012", "USB\\VID_12AB-PID_0001"}) {
        EXPECT_FALSE(ParseUsbHardwareId(bad, vendor, product)) << bad;
    }
    std::string error;
    EXPECT_FALSE(IdentityFromInf("/nonexistent/OmbrelBus.inf", error));
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

TEST_F(UsbipServer, ListsOneDeviceWithTheBusInfIdentityThenCloses)
{
    auto client = Connect();
    client->Send(OpHeader(kOpReqDevlist, 0));
    const auto head = client->Read(kOpHeaderSize + 4);
    ASSERT_TRUE(head);
    EXPECT_EQ(Get16(head->data()), kVersion);
    EXPECT_EQ(Get16(head->data() + 2), kOpRepDevlist);
    EXPECT_EQ(Get32(head->data() + 4), kOpStatusOk);
    ASSERT_EQ(Get32(head->data() + 8), 1u);
    const auto body = client->Read(kDeviceRecordSize + 4);
    ASSERT_TRUE(body);
    const DeviceRecord record = Client::ParseRecord(body->data());
    EXPECT_EQ(record.BusId, "1-1");
    EXPECT_EQ(record.Speed, kSpeedHigh);
    EXPECT_EQ(record.DevId(), kDevId);
    const auto ids = rig::PackageHardwareIds("OmbrelBus");
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(HardwareId(record.VendorId, record.ProductId), ids.front());
    ASSERT_EQ(record.Interfaces.size(), 1u);
    EXPECT_EQ((*body)[kDeviceRecordSize], 0xFF);  // bInterfaceClass: vendor-specific
    EXPECT_TRUE(client->ClosedByServer());
}

TEST_F(UsbipServer, DescriptorsDescribeTheVendorInterfaceWithTheModelsEndpoints)
{
    auto client = Connect();
    uint32_t status = 0;
    const auto record = client->Import("1-1", status);
    ASSERT_TRUE(record);
    EXPECT_EQ(HardwareId(record->VendorId, record->ProductId), rig::PackageHardwareIds("OmbrelBus").front());

    const auto device = client->Descriptor(1, 0, 0, 18);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->size(), 18u);
    EXPECT_EQ((*device)[1], 1);
    EXPECT_EQ((*device)[8] | (*device)[9] << 8, record->VendorId);
    EXPECT_EQ((*device)[10] | (*device)[11] << 8, record->ProductId);
    EXPECT_EQ((*device)[17], 1);  // one configuration
    // A host's first look: only the first 8 bytes.
    const auto first = client->Descriptor(1, 0, 0, 8);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, Bytes(device->begin(), device->begin() + 8));

    const auto head = client->Descriptor(2, 0, 0, 9);
    ASSERT_TRUE(head);
    ASSERT_EQ(head->size(), 9u);
    const uint16_t total = static_cast<uint16_t>((*head)[2] | (*head)[3] << 8);
    const auto configuration = client->Descriptor(2, 0, 0, total);
    ASSERT_TRUE(configuration);
    ASSERT_EQ(configuration->size(), total);
    ASSERT_EQ(total, 9 + 9 + 2 * 7);
    const uint8_t* interface = configuration->data() + 9;
    EXPECT_EQ(interface[1], 4);
    EXPECT_EQ(interface[4], 2);     // endpoints
    EXPECT_EQ(interface[5], 0xFF);  // vendor-specific class
    const auto endpoints = Model.Endpoints();
    for (size_t i = 0; i < endpoints.size(); ++i) {
        const uint8_t* endpoint = configuration->data() + 18 + 7 * i;
        EXPECT_EQ(endpoint[1], 5);
        EXPECT_EQ(endpoint[2], endpoints[i].Address);
        EXPECT_EQ(endpoint[3], 2);  // bulk
        EXPECT_EQ(endpoint[4] | endpoint[5] << 8, 512);
    }

    const auto languages = client->Descriptor(3, 0, 0, 255);
    ASSERT_TRUE(languages);
    EXPECT_EQ(*languages, (Bytes{4, 3, 0x09, 0x04}));
    const auto product = client->Descriptor(3, 2, 0x0409, 255);
    ASSERT_TRUE(product);
    std::string text;
    for (size_t i = 2; i + 1 < product->size(); i += 2) {
        text.push_back(static_cast<char>((*product)[i]));
    }
    EXPECT_EQ(text, rig::InfFile::Load(rig::PackageInfPath("OmbrelBus")).Models().front().Description);
}

TEST_F(UsbipServer, StandardRequestsAnswerAndTheRestStall)
{
    auto client = Connect();
    ASSERT_TRUE(client->Import());
    // Before a configuration only endpoint 0 works.
    const uint32_t early = client->Submit(kDirIn, 1, 512);
    auto ret = client->Next();
    ASSERT_TRUE(ret);
    EXPECT_EQ(ret->Header.SeqNum, early);
    EXPECT_EQ(ret->Status(), kStatusStall);
    EXPECT_EQ(client->Control(0x80, 8, 0, 0, 1)->Data, Bytes{0});
    EXPECT_EQ(client->Control(0x81, 0, 0, 0, 2)->Status(), kStatusStall);  // no interface yet

    ASSERT_TRUE(client->Configure());
    EXPECT_EQ(client->Control(0x80, 8, 0, 0, 1)->Data, Bytes{1});
    EXPECT_EQ(client->Control(0x80, 0, 0, 0, 2)->Data, (Bytes{0, 0}));     // device status
    EXPECT_EQ(client->Control(0x81, 0, 0, 0, 2)->Data, (Bytes{0, 0}));     // interface status
    EXPECT_EQ(client->Control(0x82, 0, 0, 0x81, 2)->Data, (Bytes{0, 0}));  // endpoint status: not halted
    EXPECT_EQ(client->Control(0x02, 1, 0, 0x81, 0)->Status(), kStatusOk);  // clear ENDPOINT_HALT
    EXPECT_EQ(client->Control(0x02, 1, 0, 0x02, 0)->Status(), kStatusOk);
    EXPECT_EQ(client->Control(0x01, 11, 0, 0, 0)->Status(), kStatusOk);    // SET_INTERFACE alt 0

    struct Unsupported {
        uint8_t Type, Request;
        uint16_t Value, Index, Length;
        const char* What;
    };
    for (const Unsupported& request : {
             Unsupported{0x00, 9, 2, 0, 0, "SET_CONFIGURATION of a configuration that does not exist"},
             Unsupported{0x01, 11, 1, 0, 0, "SET_INTERFACE to alternate setting 1"},
             Unsupported{0x82, 0, 0, 0x83, 2, "GET_STATUS of an endpoint the device lacks"},
             Unsupported{0x02, 1, 0, 0x05, 0, "CLEAR_FEATURE on an endpoint the device lacks"},
             Unsupported{0x00, 3, 1, 0, 0, "SET_FEATURE (remote wake-up)"},
             Unsupported{0x80, 6, 0x0309, 0x0409, 255, "a string index the device has not"},
             Unsupported{0x80, 6, 0x0302, 0x0407, 255, "a string in a language the device has not"},
             Unsupported{0x80, 6, 0x0600, 0, 10, "the device qualifier"},
             Unsupported{0xC0, 1, 0, 0, 4, "a vendor request"},
             Unsupported{0x21, 0x20, 0, 0, 0, "a class request"},
         }) {
        const auto answer = client->Control(request.Type, request.Request, request.Value, request.Index, request.Length);
        ASSERT_TRUE(answer) << request.What;
        EXPECT_EQ(answer->Status(), kStatusStall) << request.What;
        EXPECT_EQ(answer->Header.Words[1], 0u) << request.What;
    }
    // Unconfiguring takes the bulk endpoints away again.
    ASSERT_EQ(client->Control(0x00, 9, 0, 0, 0)->Status(), kStatusOk);
    EXPECT_EQ(client->Control(0x82, 0, 0, 0x81, 2)->Status(), kStatusStall);
}

TEST_F(UsbipServer, BridgeFramesCrossTheBulkPipes)
{
    auto client = ImportedAndConfigured();
    ASSERT_EQ(client->Write(wire::Hello()), kStatusOk);
    EXPECT_EQ(client->ReadIn(), wire::Announce());

    const Bytes config{0x00, 0xC2, 0x01, 0x00, 8, 0, 1};
    ASSERT_EQ(client->Write(wire::Encode(2, wire::kTypeSetConfig, config)), kStatusOk);
    EXPECT_EQ(client->ReadIn(), wire::Ack(2, wire::kTypeSetConfig, 0, static_cast<uint16_t>(config.size())));

    for (uint8_t port = 2; port < 8; ++port) {
        Bytes payload(40);
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<uint8_t>(port * 31 + i);
        }
        ASSERT_EQ(client->Write(wire::Data(port, payload)), kStatusOk);
        EXPECT_EQ(client->ReadIn(), wire::Ack(port, wire::kTypeData, 0, 40)) << "port " << int(port);
        EXPECT_EQ(client->ReadIn(), wire::Data(port, payload)) << "port " << int(port);
    }
}

TEST_F(UsbipServer, InDataIsDeliveredInPacketsAsOnTheBus)
{
    auto client = ImportedAndConfigured();
    // Larger than one URB: the first takes whole packets, the next the rest.
    Bytes big(1000);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 7);
    }
    ASSERT_TRUE(Model.InjectIn(big));
    const auto head = client->ReadIn(512);
    const auto tail = client->ReadIn(4096);
    ASSERT_TRUE(head && tail);
    EXPECT_EQ(*head, Bytes(big.begin(), big.begin() + 512));
    EXPECT_EQ(*tail, Bytes(big.begin() + 512, big.end()));

    // A packet longer than the room left is babble: what fits and -EOVERFLOW, the rest lost.
    const Bytes announce = wire::Announce();
    ASSERT_TRUE(Model.InjectIn(announce));
    const uint32_t small = client->Submit(kDirIn, 1, 10);
    auto ret = client->Next();
    ASSERT_TRUE(ret);
    EXPECT_EQ(ret->Header.SeqNum, small);
    EXPECT_EQ(ret->Status(), kStatusOverflow);
    EXPECT_EQ(ret->Data, Bytes(announce.begin(), announce.begin() + 10));

    // A transfer of exactly one packet ends with a zero-length packet.
    ASSERT_TRUE(Model.InjectIn(Bytes(512, 0x5A)));
    EXPECT_EQ(client->ReadIn(512), Bytes(512, 0x5A));
    EXPECT_EQ(client->ReadIn(512), Bytes{});

    // A short transfer fails a URB that does not take one.
    ASSERT_TRUE(Model.InjectIn(wire::Announce()));
    const uint32_t strict = client->Submit(kDirIn, 1, 512, {}, nullptr, kShortNotOk);
    ret = client->Next();
    ASSERT_TRUE(ret);
    EXPECT_EQ(ret->Header.SeqNum, strict);
    EXPECT_EQ(ret->Status(), kStatusShort);
    EXPECT_EQ(ret->Data, wire::Announce());

    // A failed IN read on the device side fails one URB and no more.
    Model.FailNextIn(static_cast<int32_t>(0xC0000001));
    const uint32_t failing = client->Submit(kDirIn, 1, 512);
    ret = client->Next();
    ASSERT_TRUE(ret);
    EXPECT_EQ(ret->Header.SeqNum, failing);
    EXPECT_EQ(ret->Status(), kStatusProtocol);
    ASSERT_EQ(client->Write(wire::Hello()), kStatusOk);
    EXPECT_EQ(client->ReadIn(), wire::Announce());
}

TEST_F(UsbipServer, WriteFaultsOfTheModelReachTheUrb)
{
    auto client = ImportedAndConfigured();
    Model.SetOutWriteFault(bridge::OutScope::Commands, bridge::OutWriteFault::Fail(static_cast<int32_t>(0xC0000001), true));
    EXPECT_EQ(client->Write(wire::Data(3, {1, 2, 3})), kStatusProtocol);

    // A hanging write stays pending, and holds the writes behind it, until unlinked.
    Model.SetOutWriteFault(bridge::OutScope::Commands, bridge::OutWriteFault::Hang(true));
    const Bytes stuck = wire::Data(3, {4, 5, 6});
    const uint32_t hung = client->Submit(kDirOut, 2, static_cast<uint32_t>(stuck.size()), stuck);
    const uint32_t behind = client->Submit(kDirOut, 2, static_cast<uint32_t>(wire::Hello().size()), wire::Hello());
    EXPECT_FALSE(client->Next(kQuiet));
    const uint32_t unlink = client->Unlink(hung);
    auto ret = client->Next();
    ASSERT_TRUE(ret);
    EXPECT_EQ(ret->Header.Command, kRetUnlink);
    EXPECT_EQ(ret->Header.SeqNum, unlink);
    EXPECT_EQ(ret->Status(), kStatusUnlinked);
    ret = client->Next();
    ASSERT_TRUE(ret);
    EXPECT_EQ(ret->Header.Command, kRetSubmit);
    EXPECT_EQ(ret->Header.SeqNum, behind);
    EXPECT_EQ(ret->Status(), kStatusOk);
    // The hung write never reached the firmware: only the hello is answered.
    EXPECT_EQ(client->ReadIn(), wire::Announce());
    const uint32_t idle = client->Submit(kDirIn, 1, 512);
    EXPECT_FALSE(client->Next(kQuiet)) << "no loopback of the unlinked write";
    client->Unlink(idle);
    ASSERT_TRUE(client->Next());

    // A hanging write whose connection closes frees the device all the same.
    Model.SetOutWriteFault(bridge::OutScope::Commands, bridge::OutWriteFault::Hang(true));
    client->Submit(kDirOut, 2, static_cast<uint32_t>(stuck.size()), stuck);
    client.reset();
    EXPECT_TRUE(ImportWhenFree());
}

TEST_F(UsbipServer, UnlinkedInUrbGetsNoRetSubmit)
{
    auto client = ImportedAndConfigured();
    const uint32_t first = client->Submit(kDirIn, 1, 512);
    const uint32_t unlink = client->Unlink(first);
    auto ret = client->Next();
    ASSERT_TRUE(ret);
    EXPECT_EQ(ret->Header.Command, kRetUnlink);
    EXPECT_EQ(ret->Header.SeqNum, unlink);
    EXPECT_EQ(ret->Status(), kStatusUnlinked);

    // Data arriving afterwards goes to the next URB, never to the unlinked one.
    ASSERT_EQ(client->Write(wire::Hello()), kStatusOk);
    const uint32_t second = client->Submit(kDirIn, 1, 512);
    ret = client->Next();
    ASSERT_TRUE(ret);
    EXPECT_EQ(ret->Header.SeqNum, second);
    EXPECT_EQ(ret->Data, wire::Announce());
    // Unlinking what has completed (or was never submitted) answers 0.
    client->Unlink(second);
    ret = client->Next();
    ASSERT_TRUE(ret);
    EXPECT_EQ(ret->Header.Command, kRetUnlink);
    EXPECT_EQ(ret->Status(), kStatusOk);
    EXPECT_FALSE(client->Next(kQuiet));
}

TEST_F(UsbipServer, OneImporterAtATimeAndTheDeviceReturnsAfterItLeaves)
{
    auto first = ImportedAndConfigured();
    auto second = Connect();
    uint32_t status = 0;
    EXPECT_FALSE(second->Import("1-1", status));
    EXPECT_EQ(status, kOpStatusError);
    EXPECT_TRUE(second->ClosedByServer());
    auto unknown = Connect();
    EXPECT_FALSE(unknown->Import("2-7", status));
    EXPECT_EQ(status, kOpStatusError);

    // The first keeps working; a frame sent in part then dropped with it.
    ASSERT_EQ(first->Write(wire::Hello()), kStatusOk);
    EXPECT_EQ(first->ReadIn(), wire::Announce());
    ASSERT_EQ(first->Write(wire::Hello()), kStatusOk);  // its announce left queued when the importer goes
    first.reset();

    auto again = ImportWhenFree();
    ASSERT_TRUE(again);
    ASSERT_TRUE(again->Configure());
    // Replugged: nothing of the last importer's traffic is left to read.
    const uint32_t read = again->Submit(kDirIn, 1, 512);
    EXPECT_FALSE(again->Next(kQuiet));
    again->Unlink(read);
    ASSERT_TRUE(again->Next());
    ASSERT_EQ(again->Write(wire::Hello()), kStatusOk);
    EXPECT_EQ(again->ReadIn(), wire::Announce());
}

// Each input closes its own connection, with one log line, while an imported
// client goes on working and the server keeps accepting.
TEST_F(UsbipServer, BadPacketsCloseOnlyTheirOwnConnection)
{
    const auto submit = [](uint32_t devId, uint32_t direction, uint32_t endpoint, uint32_t length, uint32_t packets,
                           uint8_t requestType) {
        UrbHeader header;
        header.Command = kCmdSubmit;
        header.SeqNum = 1;
        header.DevId = devId;
        header.Direction = direction;
        header.Endpoint = endpoint;
        header.Words[1] = length;
        header.Words[3] = packets;
        header.Setup[0] = requestType;
        header.Setup[1] = 6;
        header.Setup[3] = 1;
        Bytes packet;
        header.AppendTo(packet);
        return packet;
    };
    struct Case {
        const char* What;
        bool AfterImport;
        Bytes Input;
    };
    Bytes twice = submit(kDevId, kDirIn, 1, 512, kNoIsoPackets, 0);
    const Bytes again = twice;
    twice.insert(twice.end(), again.begin(), again.end());
    Bytes unknownCommand = submit(kDevId, kDirIn, 1, 512, kNoIsoPackets, 0);
    unknownCommand[3] = 9;
    const std::vector<Case> cases = {
        {"SUBMIT before IMPORT", false, submit(kDevId, kDirIn, 0, 18, kNoIsoPackets, 0x80)},
        {"unknown operation", false, OpHeader(0x8007, 0)},
        {"another protocol version", false, Bytes{0x02, 0x00, 0x80, 0x05, 0, 0, 0, 0}},
        {"unknown URB command", true, unknownCommand},
        {"wrong devid", true, submit(0x00020003, kDirIn, 0, 18, kNoIsoPackets, 0x80)},
        {"bad direction", true, submit(kDevId, 7, 1, 512, kNoIsoPackets, 0)},
        {"control direction against its setup", true, submit(kDevId, kDirOut, 0, 0, kNoIsoPackets, 0x80)},
        {"endpoint the device has not", true, submit(kDevId, kDirIn, 2, 512, kNoIsoPackets, 0)},
        {"endpoint number past 15", true, submit(kDevId, kDirIn, 0x81, 512, kNoIsoPackets, 0)},
        {"isochronous packets", true, submit(kDevId, kDirIn, 1, 512, 3, 0)},
        {"absurd transfer_buffer_length", true, submit(kDevId, kDirOut, 2, 0x7FFFFFF0, kNoIsoPackets, 0)},
        {"seqnum submitted twice", true, twice},
    };
    for (const Case& bad : cases) {
        SCOPED_TRACE(bad.What);
        const size_t closedBefore = LogCount("connection closed");
        std::unique_ptr<Client> good;
        std::unique_ptr<Client> offender = Connect();
        if (bad.AfterImport) {
            good = Connect();  // waits, not imported, while the offender holds the device
            ASSERT_TRUE(offender->Import());
            ASSERT_TRUE(offender->Configure());
        } else {
            good = ImportedAndConfigured();
        }
        offender->Send(bad.Input);
        EXPECT_TRUE(offender->ClosedByServer());
        if (bad.AfterImport) {
            // The device went back to the slot: the waiting client gets it.
            if (!good->Import()) {
                good = ImportWhenFree();
                ASSERT_TRUE(good);
            }
            ASSERT_TRUE(good->Configure());
        }
        ASSERT_EQ(good->Write(wire::Hello()), kStatusOk);
        EXPECT_EQ(good->ReadIn(), wire::Announce());
        good.reset();
        offender.reset();
        // One line for the offender (and one each as the others end).
        for (auto deadline = Clock::now() + kWait; Served->OpenConnections() > 0 && Clock::now() < deadline;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_GE(LogCount("connection closed"), closedBefore + 1);
    }
    // A truncated header, then the peer leaves: the half packet is dropped with it.
    {
        auto truncated = Connect();
        ASSERT_TRUE(truncated->Import());
        truncated->Send(Bytes(20, 0));
    }
    EXPECT_TRUE(ImportWhenFree());
}

TEST_F(UsbipServer, DebianUsbipToolListsTheDevice)
{
    FILE* which = ::popen("command -v usbip || ls /usr/sbin/usbip 2>/dev/null", "r");
    char path[256] = {};
    const bool found = which != nullptr && std::fgets(path, sizeof path, which) != nullptr;
    if (which != nullptr) {
        ::pclose(which);
    }
    if (!found) {
        GTEST_SKIP() << "usbip (Debian package usbip) is not installed";
    }
    std::string tool(path);
    tool.erase(tool.find_last_not_of("\n") + 1);
    const std::string command = tool + " --tcp-port " + std::to_string(Served->Port()) + " list -r 127.0.0.1 2>&1";
    FILE* run = ::popen(command.c_str(), "r");
    ASSERT_NE(run, nullptr);
    std::string output;
    char line[512];
    while (std::fgets(line, sizeof line, run) != nullptr) {
        output += line;
    }
    EXPECT_EQ(::pclose(run), 0) << output;
    char ids[16];
    std::snprintf(ids, sizeof ids, "(%04x:%04x)", Device->Record().VendorId, Device->Record().ProductId);
    EXPECT_NE(output.find("1-1:"), std::string::npos) << output;
    EXPECT_NE(output.find(ids), std::string::npos) << output;
    EXPECT_NE(output.find("(ff/00/00)"), std::string::npos) << output;
}

} // namespace
