// The cable's capture of a session: what tshark makes of the file, and the
// bridge's faults as they show on the wire.
#include "support/port_system.h"
#include "support/serial_session.h"
#include "support/stream_check.h"

#include "host/usb/capture_reader.h"
#include "host/usb/usb_capture.h"
#include "host/usb/usbpcap.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

using bridge::Command;
using bridge::PortBehaviour;
using host::CapturedTransfer;
namespace wire = bridge::wire;
namespace usbpcap = host::usbpcap;

std::string CapturePath(const std::string& name)
{
    return testing::TempDir() + "ombrel-" + name + "-" + std::to_string(getpid()) + ".pcapng";
}

// Brings the system up with the capture on, runs the session, removes the
// bridge and closes the capture.
std::vector<test::SessionOutcome> RecordSession(test::PortSystem& system, const std::string& path,
                                                const std::vector<test::SessionStep>& steps)
{
    std::string error;
    auto capture = host::UsbCapture::Create(path, error);
    EXPECT_TRUE(capture) << error;
    system.SetCapture(capture);
    system.Start();
    auto outcomes = test::RunSession(steps);
    system.Remove();
    EXPECT_TRUE(capture->Close(error)) << error;
    return outcomes;
}

std::vector<CapturedTransfer> ReadBack(const std::string& path)
{
    std::string error;
    auto transfers = host::ReadUsbCapture(path, error);
    EXPECT_TRUE(transfers) << error;
    return transfers.value_or(std::vector<CapturedTransfer>{});
}

std::optional<wire::Frame> FrameOf(const CapturedTransfer& transfer) { return wire::Decode(transfer.Data); }

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    for (uint8_t byte : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

bool HaveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

std::vector<std::string> Lines(const std::string& command)
{
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return lines;
    }
    std::string text;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        text.append(buffer, got);
    }
    pclose(pipe);
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(UsbCapture, TsharkReadsEveryTransferOfASessionAsABulkUrbOfTheBridge)
{
    if (!HaveTshark()) {
        std::system(OMBREL_SOURCE_DIR "/tools/install-packages tshark >&2");
    }
    ASSERT_TRUE(HaveTshark()) << "tshark is missing and tools/install-packages could not install it";

    const std::string path = CapturePath("session");
    test::PortSystem system({}, false);
    const auto block2 = test::RandomBytes(100, 2);
    const auto block0 = test::RandomBytes(30, 0);
    const auto outcomes = RecordSession(system, path, {{system.PortName(2), block2, {}}, {system.PortName(0), block0, {}}});
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].Read, block2);
    EXPECT_EQ(outcomes[1].Read, block0);

    // Every OUT transfer the bridge was given is in the capture, in order;
    // every transfer has both its packets, the reader's last read ending
    // cancelled at the removal.
    const auto transfers = ReadBack(path);
    std::vector<std::vector<uint8_t>> outCaptured;
    std::vector<std::vector<uint8_t>> inCaptured;
    for (const CapturedTransfer& transfer : transfers) {
        EXPECT_NE(transfer.SubmissionFrame, 0u);
        EXPECT_TRUE(transfer.Completed);
        EXPECT_EQ(transfer.Bus, host::UsbCapture::kBus);
        EXPECT_EQ(transfer.Device, host::UsbCapture::kDevice);
        if (!transfer.IsIn()) {
            EXPECT_EQ(transfer.Endpoint, 0x02);
            EXPECT_EQ(transfer.UsbdStatus, usbpcap::kUsbdStatusSuccess);
            outCaptured.push_back(transfer.Data);
        } else if (!transfer.Data.empty()) {
            EXPECT_EQ(transfer.Endpoint, 0x81);
            inCaptured.push_back(transfer.Data);
        }
    }
    std::vector<std::vector<uint8_t>> outGiven;
    for (const auto& out : system.Model.OutTransfers()) {
        outGiven.push_back(out.Bytes);
    }
    EXPECT_EQ(outCaptured, outGiven);
    ASSERT_FALSE(outCaptured.empty());
    EXPECT_EQ(outCaptured.front(), wire::Hello());
    ASSERT_FALSE(inCaptured.empty());
    EXPECT_EQ(inCaptured.front(), wire::Announce());
    const auto last = std::max_element(transfers.begin(), transfers.end(), [](const auto& a, const auto& b) {
        return a.CompletionFrame < b.CompletionFrame;
    });
    EXPECT_TRUE(last->IsIn());
    EXPECT_EQ(last->UsbdStatus, usbpcap::kUsbdStatusCanceled);

    // tshark, as it comes, reads each packet as a USB bulk URB of device 1.1,
    // the submission and the completion of one transfer paired by IRP ID.
    std::vector<std::string> expected(2 * transfers.size());
    for (const CapturedTransfer& transfer : transfers) {
        char irp[32];
        std::snprintf(irp, sizeof irp, "0x%016llx", static_cast<unsigned long long>(transfer.IrpId));
        char status[16];
        std::snprintf(status, sizeof status, "0x%08x", transfer.UsbdStatus);
        const std::string endpoint = transfer.IsIn() ? "0x81" : "0x02";
        const std::string info = transfer.IsIn() ? "URB_BULK in" : "URB_BULK out";
        const std::string submissionData = transfer.IsIn() ? "" : Hex(transfer.Data);
        const std::string completionData = transfer.IsIn() ? Hex(transfer.Data) : "";
        auto line = [&](size_t frame, const char* direction, const std::string& usbdStatus, const std::string& data) {
            const size_t length = data.size() / 2;
            return std::to_string(frame) + "|" + irp + "|" + usbdStatus + "|0x0009|" + direction + "|1|1|" + endpoint +
                   "|0x03|" + std::to_string(length) + "|" + data + "|" + info;
        };
        ASSERT_LE(transfer.CompletionFrame, expected.size());
        expected[transfer.SubmissionFrame - 1] = line(transfer.SubmissionFrame, "0x00", "0x00000000", submissionData);
        expected[transfer.CompletionFrame - 1] = line(transfer.CompletionFrame, "0x01", status, completionData);
    }
    const auto shown = Lines("tshark -r '" + path +
                             "' -T fields -E separator='|' -e frame.number -e usb.irp_id -e usb.usbd_status "
                             "-e usb.function -e usb.irp_info.direction -e usb.bus_id -e usb.device_address "
                             "-e usb.endpoint_address -e usb.transfer_type -e usb.data_len -e usb.capdata "
                             "-e _ws.col.Info 2>/dev/null");
    ASSERT_EQ(shown.size(), expected.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i], expected[i]);
    }
    std::remove(path.c_str());
}

TEST(UsbCapture, TheBridgesFaultsShowOnTheWireAsTheyHappened)
{
    const std::string path = CapturePath("faults");
    test::PortSystem system({}, false);
    // A refused chunk on port 2, an unanswered one on port 3, a write the
    // bridge never takes on port 4, and one read of the host failed.
    system.Model.SetPortBehaviour(2, Command::Data, PortBehaviour::Refuse(7).Once());
    system.Model.SetPortBehaviour(3, Command::Data, PortBehaviour::Silent().Once());
    auto hangNextWrite = [&system] {
        system.Model.SetOutWriteFault(bridge::OutScope::Commands, bridge::OutWriteFault::Hang(true));
    };
    auto failNextRead = [&system] { system.Model.FailNextIn(STATUS_UNSUCCESSFUL); };
    const auto outcomes = RecordSession(system, path,
                                        {{system.PortName(2), test::RandomBytes(20, 2), failNextRead},
                                         {system.PortName(3), test::RandomBytes(20, 3), {}},
                                         {system.PortName(4), test::RandomBytes(20, 4), hangNextWrite}});
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0].WriteError, static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(outcomes[1].WriteError, static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(outcomes[2].WriteError, static_cast<DWORD>(ERROR_SEM_TIMEOUT));

    const auto transfers = ReadBack(path);
    auto dataOut = [&](uint8_t port) {
        for (size_t i = 0; i < transfers.size(); ++i) {
            const auto frame = transfers[i].IsIn() ? std::nullopt : FrameOf(transfers[i]);
            if (frame && frame->Port == port && frame->Type == wire::kTypeData) {
                return i;
            }
        }
        ADD_FAILURE() << "no data sent on port " << int{port};
        return transfers.size();
    };
    // What came in after transfer `i` was submitted and before the host's
    // next OUT transfer.
    auto answersTo = [&](size_t i) {
        std::vector<std::vector<uint8_t>> answers;
        size_t nextOut = SIZE_MAX;
        for (size_t j = i + 1; j < transfers.size(); ++j) {
            if (!transfers[j].IsIn()) {
                nextOut = transfers[j].SubmissionFrame;
                break;
            }
        }
        for (const CapturedTransfer& transfer : transfers) {
            if (transfer.IsIn() && !transfer.Data.empty() && transfer.CompletionFrame > transfers[i].SubmissionFrame &&
                transfer.CompletionFrame < nextOut) {
                answers.push_back(transfer.Data);
            }
        }
        return answers;
    };

    const size_t refused = dataOut(2);
    ASSERT_LT(refused, transfers.size());
    EXPECT_EQ(transfers[refused].UsbdStatus, usbpcap::kUsbdStatusSuccess);
    EXPECT_EQ(answersTo(refused), (std::vector<std::vector<uint8_t>>{wire::Nak(2, wire::kTypeData, 7)}));

    // The unanswered chunk was taken and looped back; no ACK or NAK followed.
    const size_t silent = dataOut(3);
    ASSERT_LT(silent, transfers.size());
    EXPECT_EQ(transfers[silent].UsbdStatus, usbpcap::kUsbdStatusSuccess);
    for (const auto& answer : answersTo(silent)) {
        const auto frame = wire::Decode(answer);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->Type, wire::kTypeData);
    }

    // The write never taken ends cancelled at the bus's one-second write
    // time-out, in kernel time, with nothing after it.
    const size_t hung = dataOut(4);
    ASSERT_LT(hung, transfers.size());
    EXPECT_EQ(transfers[hung].UsbdStatus, usbpcap::kUsbdStatusCanceled);
    EXPECT_GE(transfers[hung].CompletedAt - transfers[hung].SubmittedAt, 900'000u);
    EXPECT_TRUE(answersTo(hung).empty());

    size_t failedReads = 0;
    for (const CapturedTransfer& transfer : transfers) {
        if (transfer.IsIn() && transfer.UsbdStatus == usbpcap::kUsbdStatusStallPid) {
            ++failedReads;
            EXPECT_TRUE(transfer.Data.empty());
        }
    }
    EXPECT_EQ(failedReads, 1u);
    std::remove(path.c_str());
}

} // namespace
