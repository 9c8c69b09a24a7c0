// Serial control requests through the real system: what each code answers,
// which buffers it needs, and what reaches the bridge for it.
#include "support/port_system.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using bridge::Command;
using bridge::PortBehaviour;
using Bytes = std::vector<uint8_t>;
using ControlFrame = std::pair<uint8_t, uint8_t>;

// Answered by the bridge, so set-config and control frames are acknowledged.
constexpr unsigned kPort = 3;

constexpr uint8_t kOpPurge = 2;
constexpr uint8_t kOpBreak = 3;

struct Outcome {
    NTSTATUS Status;
    ULONG_PTR Information;
    Bytes Output;
};

Bytes LineControl(uint8_t stopBits, uint8_t parity, uint8_t wordLength)
{
    return {stopBits, parity, wordLength};
}

// The set-config payload: baud rate (little-endian), data bits, parity, stop
// bits, a reserved zero.
Bytes LineConfig(ULONG baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits)
{
    Bytes config = test::Ulong(baud);
    config.insert(config.end(), {dataBits, parity, stopBits, 0});
    return config;
}

void PutUshort(Bytes& bytes, size_t offset, USHORT value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

void PutUlong(Bytes& bytes, size_t offset, ULONG value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

class PortControl : public testing::Test {
protected:
    void SetUp() override
    {
        Handle = System.OpenOrFail(kPort);
        ASSERT_TRUE(Handle);
    }

    Outcome Control(ULONG code, const Bytes& input = {}, ULONG outputLength = 0)
    {
        Outcome outcome{};
        outcome.Status = Handle->DeviceIoControl(code, input, outputLength, &outcome.Output, &outcome.Information);
        return outcome;
    }

    // A getter's answer, read from a buffer full of 0xFF: METHOD_BUFFERED
    // hands the driver the input bytes as its output buffer, so every byte the
    // driver leaves alone shows.
    Bytes Get(ULONG code, ULONG length)
    {
        const Outcome outcome = Control(code, Bytes(length, 0xFF), length);
        EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
        EXPECT_EQ(outcome.Information, length);
        return outcome.Output;
    }

    ULONG InQueue() { return test::AsUlong(Get(IOCTL_SERIAL_GET_COMMSTATUS, 20), 8); }

    size_t FramesSent()
    {
        size_t count = 0;
        for (const auto& frame : System.Model.OutFrames()) {
            count += frame.Port == kPort ? 1 : 0;
        }
        return count;
    }

    std::vector<Bytes> SetConfigFramesSent()
    {
        std::vector<Bytes> payloads;
        for (const auto& frame : System.Model.OutFrames()) {
            if (frame.Port == kPort && frame.Type == bridge::wire::kTypeSetConfig) {
                payloads.push_back(frame.Payload);
            }
        }
        return payloads;
    }

    // Control frames sent by `action`.
    template <typename Action>
    std::vector<ControlFrame> ControlFramesOf(Action action)
    {
        const size_t before = System.ControlFramesSent(kPort).size();
        action();
        auto frames = System.ControlFramesSent(kPort);
        return std::vector<ControlFrame>(frames.begin() + static_cast<std::ptrdiff_t>(before), frames.end());
    }

    void EmptyRing()
    {
        ASSERT_EQ(Control(IOCTL_SERIAL_PURGE, test::Ulong(SERIAL_PURGE_RXCLEAR)).Status, STATUS_SUCCESS);
    }

    test::PortSystem System;
    std::unique_ptr<host::FileHandle> Handle;
};

struct CodeCase {
    const char* Name;
    ULONG Code;
    Bytes Input;
    ULONG OutputLength;
    NTSTATUS Status;
    ULONG_PTR Information;
    size_t FramesSent;
};

// Rows without a buffer show that the code needs none. The setters carry the
// values the port already has, so the rows do not depend on their order.
TEST_F(PortControl, EachCodeAnswersWithItsStatusAndLength)
{
    const Bytes eight(8, 0);
    const CodeCase cases[] = {
        {"SET_BAUD_RATE", 0x1B0004, test::Ulong(115200), 0, STATUS_SUCCESS, 0, 1},
        {"SET_QUEUE_SIZE", 0x1B0008, {}, 0, STATUS_SUCCESS, 0, 0},
        {"SET_LINE_CONTROL", 0x1B000C, LineControl(STOP_BIT_1, NO_PARITY, 8), 0, STATUS_SUCCESS, 0, 1},
        {"SET_BREAK_ON", 0x1B0010, {}, 0, STATUS_SUCCESS, 0, 1},
        {"SET_BREAK_OFF", 0x1B0014, {}, 0, STATUS_SUCCESS, 0, 0},
        {"IMMEDIATE_CHAR", 0x1B0018, {}, 0, STATUS_SUCCESS, 0, 0},
        {"SET_TIMEOUTS", 0x1B001C, Bytes(20, 0), 0, STATUS_SUCCESS, 0, 0},
        {"GET_TIMEOUTS", 0x1B0020, {}, 20, STATUS_SUCCESS, 20, 0},
        {"SET_DTR", 0x1B0024, {}, 0, STATUS_SUCCESS, 0, 0},
        {"CLR_DTR", 0x1B0028, {}, 0, STATUS_SUCCESS, 0, 0},
        {"RESET_DEVICE", 0x1B002C, {}, 0, STATUS_SUCCESS, 0, 0},
        {"SET_RTS", 0x1B0030, {}, 0, STATUS_SUCCESS, 0, 0},
        {"CLR_RTS", 0x1B0034, {}, 0, STATUS_SUCCESS, 0, 0},
        {"SET_XOFF", 0x1B0038, {}, 0, STATUS_SUCCESS, 0, 0},
        {"SET_XON", 0x1B003C, {}, 0, STATUS_SUCCESS, 0, 0},
        {"PURGE", 0x1B004C, test::Ulong(0), 0, STATUS_SUCCESS, 0, 1},
        {"GET_BAUD_RATE", 0x1B0050, {}, 4, STATUS_SUCCESS, 4, 0},
        {"GET_BAUD_RATE into a larger buffer", 0x1B0050, {}, 16, STATUS_SUCCESS, 4, 0},
        {"GET_LINE_CONTROL", 0x1B0054, {}, 3, STATUS_SUCCESS, 3, 0},
        {"GET_CHARS", 0x1B0058, {}, 6, STATUS_SUCCESS, 6, 0},
        {"SET_CHARS", 0x1B005C, {}, 0, STATUS_SUCCESS, 0, 0},
        {"GET_HANDFLOW", 0x1B0060, {}, 16, STATUS_SUCCESS, 16, 0},
        {"SET_HANDFLOW", 0x1B0064, {}, 0, STATUS_SUCCESS, 0, 0},
        {"GET_MODEMSTATUS", 0x1B0068, {}, 4, STATUS_SUCCESS, 4, 0},
        {"GET_COMMSTATUS", 0x1B006C, {}, 20, STATUS_SUCCESS, 20, 0},
        {"GET_PROPERTIES", 0x1B0074, {}, 64, STATUS_SUCCESS, 64, 0},
        {"GET_DTRRTS", 0x1B0078, {}, 4, STATUS_SUCCESS, 4, 0},

        // Unsupported, whatever buffers they bring.
        {"function 0", 0x1B0000, eight, 64, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"XOFF_COUNTER", 0x1B0070, eight, 64, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"LSRMST_INSERT", 0x1B007C, eight, 64, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"CONFIG_SIZE", 0x1B0080, eight, 64, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"GET_COMMCONFIG", 0x1B0084, eight, 64, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"GET_STATS", 0x1B008C, eight, 64, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"SET_MODEM_CONTROL", 0x1B0098, eight, 64, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"SET_FIFO_CONTROL", 0x1B009C, eight, 64, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"GET_BAUD_RATE's function with read access", 0x1B4050, eight, 64, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"another device type", 0x222000, eight, 64, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const size_t framesBefore = FramesSent();
        const Outcome outcome = Control(c.Code, c.Input, c.OutputLength);
        EXPECT_EQ(outcome.Status, c.Status);
        EXPECT_EQ(outcome.Information, c.Information);
        EXPECT_EQ(FramesSent() - framesBefore, c.FramesSent);
    }
}

// One byte short of each minimum: nothing is stored, sent or returned.
TEST_F(PortControl, BufferOneByteShortIsRefused)
{
    const struct {
        const char* Name;
        ULONG Code;
        Bytes Input;
        ULONG OutputLength;
    } cases[] = {
        {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, {0x80, 0x25, 0}, 0},
        {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, EVEN_PARITY}, 0},
        {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, Bytes(19, 0xFF), 0},
        {"PURGE", IOCTL_SERIAL_PURGE, {SERIAL_PURGE_RXCLEAR, 0, 0}, 0},
        {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, {}, 19},
        {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, {}, 3},
        {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, {}, 2},
        {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, {}, 5},
        {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, {}, 15},
        {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, {}, 3},
        {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, {}, 19},
        {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, {}, 63},
        {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, {}, 3},
    };
    System.Receive(kPort, {1, 2, 3});
    const size_t framesBefore = FramesSent();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const Outcome outcome = Control(c.Code, c.Input, c.OutputLength);
        EXPECT_EQ(outcome.Status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(outcome.Information, 0u);
        EXPECT_TRUE(outcome.Output.empty());
    }
    EXPECT_EQ(FramesSent(), framesBefore);
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_BAUD_RATE, 4), test::Ulong(115200));
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_LINE_CONTROL, 3), LineControl(STOP_BIT_1, NO_PARITY, 8));
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_TIMEOUTS, 20), Bytes(20, 0));
    EXPECT_EQ(InQueue(), 3u);
}

// Line settings are not sent at device add or open: the device hears of them
// only when an application sets them.
TEST_F(PortControl, FirstHandleFindsTheDefaults)
{
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_BAUD_RATE, 4), test::Ulong(115200));
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_LINE_CONTROL, 3), LineControl(STOP_BIT_1, NO_PARITY, 8));
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_TIMEOUTS, 20), Bytes(20, 0));
    EXPECT_TRUE(SetConfigFramesSent().empty());
}

TEST_F(PortControl, BaudRateOutsideItsRangeIsStoredButNotSent)
{
    const struct {
        ULONG Baud;
        bool Valid;
    } cases[] = {
        {300, true}, {3000000, true}, {9600, true}, {299, false}, {0, false}, {3000001, false}, {0xFFFFFFFF, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Baud);
        const auto sentBefore = SetConfigFramesSent();
        const Outcome outcome = Control(IOCTL_SERIAL_SET_BAUD_RATE, test::Ulong(c.Baud));
        EXPECT_EQ(outcome.Status, c.Valid ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        EXPECT_EQ(outcome.Information, 0u);
        auto expected = sentBefore;
        if (c.Valid) {
            expected.push_back(LineConfig(c.Baud, 8, NO_PARITY, STOP_BIT_1));
        }
        EXPECT_EQ(SetConfigFramesSent(), expected);
        EXPECT_EQ(Get(IOCTL_SERIAL_GET_BAUD_RATE, 4), test::Ulong(c.Baud));
    }
}

TEST_F(PortControl, LineControlOutsideItsRangeIsStoredButNotSent)
{
    const struct {
        const char* Name;
        Bytes Setting;  // stop bits, parity, word length
        bool Valid;
    } cases[] = {
        {"8N1", LineControl(STOP_BIT_1, NO_PARITY, 8), true},
        {"7 bits, odd parity, 1.5 stop bits", LineControl(STOP_BITS_1_5, ODD_PARITY, 7), true},
        {"even parity, 2 stop bits", LineControl(STOP_BITS_2, EVEN_PARITY, 8), true},
        {"5 bits", LineControl(STOP_BIT_1, NO_PARITY, 5), false},
        {"6 bits", LineControl(STOP_BIT_1, NO_PARITY, 6), false},
        {"9 bits", LineControl(STOP_BIT_1, NO_PARITY, 9), false},
        {"mark parity", LineControl(STOP_BIT_1, MARK_PARITY, 8), false},
        {"space parity", LineControl(STOP_BIT_1, SPACE_PARITY, 8), false},
        {"stop bits code 3", LineControl(3, NO_PARITY, 8), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto sentBefore = SetConfigFramesSent();
        const Outcome outcome = Control(IOCTL_SERIAL_SET_LINE_CONTROL, c.Setting);
        EXPECT_EQ(outcome.Status, c.Valid ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        EXPECT_EQ(outcome.Information, 0u);
        auto expected = sentBefore;
        if (c.Valid) {
            expected.push_back(LineConfig(115200, c.Setting[2], c.Setting[1], c.Setting[0]));
        }
        EXPECT_EQ(SetConfigFramesSent(), expected);
        EXPECT_EQ(Get(IOCTL_SERIAL_GET_LINE_CONTROL, 3), c.Setting);
    }
}

// Every set checks the whole stored record, so a rejected value left in it
// fails the next set of the other kind until it is replaced.
TEST_F(PortControl, RejectedSettingBlocksTheOtherKindUntilReplaced)
{
    const Bytes eightN1 = LineControl(STOP_BIT_1, NO_PARITY, 8);

    EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, test::Ulong(299)).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, eightN1).Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(SetConfigFramesSent().empty());
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, test::Ulong(9600)).Status, STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, eightN1).Status, STATUS_SUCCESS);

    EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, LineControl(STOP_BIT_1, NO_PARITY, 5)).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, test::Ulong(19200)).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, eightN1).Status, STATUS_SUCCESS);

    const Bytes at9600 = LineConfig(9600, 8, NO_PARITY, STOP_BIT_1);
    const Bytes at19200 = LineConfig(19200, 8, NO_PARITY, STOP_BIT_1);
    EXPECT_EQ(SetConfigFramesSent(), (std::vector<Bytes>{at9600, at9600, at19200}));
}

// Time-outs are kept unchecked; they and the line settings outlive the handle.
TEST_F(PortControl, StoredSettingsSurviveCloseAndReopen)
{
    Bytes distinct(20);
    for (size_t i = 0; i < distinct.size(); ++i) {
        distinct[i] = static_cast<uint8_t>(i + 1);
    }
    for (const Bytes& timeouts : {Bytes(20, 0xFF), distinct}) {
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, timeouts).Status, STATUS_SUCCESS);
        EXPECT_EQ(Get(IOCTL_SERIAL_GET_TIMEOUTS, 20), timeouts);
    }
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, test::Ulong(9600)).Status, STATUS_SUCCESS);

    Handle->Close();
    Handle = System.OpenOrFail(kPort);
    ASSERT_TRUE(Handle);
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_TIMEOUTS, 20), distinct);
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_BAUD_RATE, 4), test::Ulong(9600));
}

TEST_F(PortControl, PurgeTellsTheDeviceWhichSidesWerePurged)
{
    const struct {
        const char* Name;
        ULONG Mask;
        uint8_t Argument;
        bool EmptiesRing;
    } cases[] = {
        {"nothing", 0, 0, false},
        {"transmit clear", SERIAL_PURGE_TXCLEAR, 2, false},
        {"transmit abort", SERIAL_PURGE_TXABORT, 2, false},
        {"receive clear", SERIAL_PURGE_RXCLEAR, 1, true},
        {"receive abort", SERIAL_PURGE_RXABORT, 1, true},
        {"all four", 0x0F, 3, true},
        {"only bits that mean nothing", 0xFFFFFFF0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EmptyRing();
        System.Receive(kPort, Bytes(100, 0x5A));
        const auto frames = ControlFramesOf([&] {
            const Outcome outcome = Control(IOCTL_SERIAL_PURGE, test::Ulong(c.Mask));
            EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
            EXPECT_EQ(outcome.Information, 0u);
        });
        EXPECT_EQ(frames, (std::vector<ControlFrame>{{kOpPurge, c.Argument}}));
        EXPECT_EQ(InQueue(), c.EmptiesRing ? 0u : 100u);
    }
}

TEST_F(PortControl, PropertiesAreFixed)
{
    const Outcome tooSmall = Control(IOCTL_SERIAL_GET_PROPERTIES, {}, 63);
    EXPECT_EQ(tooSmall.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.Information, 0u);

    Bytes expected(64, 0);
    PutUshort(expected, 0, 64);        // PacketLength
    PutUshort(expected, 2, 2);         // PacketVersion
    PutUlong(expected, 12, 8192);      // MaxTxQueue
    PutUlong(expected, 16, 8192);      // MaxRxQueue
    PutUlong(expected, 20, 3000000);   // MaxBaud, the plain rate
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_PROPERTIES, 64), expected);
}

TEST_F(PortControl, CommStatusCountsOnlyTheReceiveRing)
{
    auto withInQueue = [](ULONG count) {
        Bytes status(20, 0);
        PutUlong(status, 8, count);
        return status;
    };
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_COMMSTATUS, 20), withInQueue(0));
    System.Receive(kPort, Bytes(100, 0x11));
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_COMMSTATUS, 20), withInQueue(100));
    // The ring keeps one slot free.
    System.Receive(kPort, Bytes(9000, 0x22));
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_COMMSTATUS, 20), withInQueue(8191));
}

TEST_F(PortControl, ModemAndFlowAnswersAreFixed)
{
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_MODEMSTATUS, 4), test::Ulong(0xB0));  // CTS, DSR and DCD up; no ring
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_DTRRTS, 4), test::Ulong(0));
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_CHARS, 6), Bytes(6, 0));
    EXPECT_EQ(Get(IOCTL_SERIAL_GET_HANDFLOW, 16), Bytes(16, 0));
}

// The device hears of a break's start only.
TEST_F(PortControl, BreakOnIsSentAndBreakOffIsNot)
{
    EXPECT_EQ(ControlFramesOf([&] { EXPECT_EQ(Control(IOCTL_SERIAL_SET_BREAK_ON).Status, STATUS_SUCCESS); }),
              (std::vector<ControlFrame>{{kOpBreak, 1}}));
    EXPECT_EQ(ControlFramesOf([&] { EXPECT_EQ(Control(IOCTL_SERIAL_SET_BREAK_OFF).Status, STATUS_SUCCESS); }),
              std::vector<ControlFrame>{});
}

// The device's failure completes the request as it is; what was stored or
// purged before the device was asked stays so.
TEST_F(PortControl, DeviceFailureCompletesTheRequest)
{
    const struct {
        const char* Name;
        Command Refused;
        PortBehaviour Behaviour;
        ULONG Code;
        Bytes Input;
        NTSTATUS Status;
        ULONG ReadBackCode;  // 0: nothing stored to read back
        ULONG ReadBackLength;
    } cases[] = {
        {"baud rate refused", Command::SetConfig, PortBehaviour::Refuse(), IOCTL_SERIAL_SET_BAUD_RATE,
         test::Ulong(9600), STATUS_DEVICE_PROTOCOL_ERROR, IOCTL_SERIAL_GET_BAUD_RATE, 4},
        {"line control unanswered", Command::SetConfig, PortBehaviour::Silent(), IOCTL_SERIAL_SET_LINE_CONTROL,
         LineControl(STOP_BITS_2, ODD_PARITY, 7), STATUS_IO_TIMEOUT, IOCTL_SERIAL_GET_LINE_CONTROL, 3},
        {"break refused", Command::Control, PortBehaviour::Refuse(), IOCTL_SERIAL_SET_BREAK_ON, {},
         STATUS_DEVICE_PROTOCOL_ERROR, 0, 0},
        {"purge unanswered", Command::Control, PortBehaviour::Silent(), IOCTL_SERIAL_PURGE,
         test::Ulong(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR), STATUS_IO_TIMEOUT, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        System.Receive(kPort, {1, 2, 3});
        System.Model.SetPortBehaviour(kPort, c.Refused, c.Behaviour.Once());
        const Outcome outcome = Control(c.Code, c.Input);
        EXPECT_EQ(outcome.Status, c.Status);
        EXPECT_EQ(outcome.Information, 0u);
        if (c.ReadBackCode != 0) {
            EXPECT_EQ(Get(c.ReadBackCode, c.ReadBackLength), c.Input);
        }
        if (c.Code == IOCTL_SERIAL_PURGE) {
            EXPECT_EQ(InQueue(), 0u);
        }
    }
}

} // namespace
