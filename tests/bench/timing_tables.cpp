#include "bench/timing_tables.h"

#include "bench/bench_support.h"

#include "bridge/timing.h"
#include "host/kernel/time_scale.h"
#include "host/win32/comm.h"

#include <ntddser.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace bench {

namespace {

using bridge::TimingConfig;
using bridge::TimingReport;
namespace paper = bridge::paper;
namespace wire = bridge::wire;

constexpr int64_t kMillisecond = 10'000;   // kernel units (100 ns)
constexpr double kUnitsPerSecond = 1e7;
constexpr unsigned kPorts = 8;
constexpr unsigned kFirstAnswered = 2;
constexpr unsigned kProbePort = 2;
// Five whole frames, so that every chunk carries 56 bytes; short enough that
// a writer stops soon after it is told to, even on a full FIFO at 115200 baud
// (24 ms of kernel time).
constexpr size_t kWriteSize = 5 * 56;
constexpr int64_t kProbeGap = 2917;        // 291.7 us

int64_t Now() { return host::KernelTimeNow(); }

void SleepKernel(int64_t units) { std::this_thread::sleep_for(host::KernelIntervalToReal(units)); }

std::vector<unsigned> AllPorts() { return {0, 1, 2, 3, 4, 5, 6, 7}; }

std::vector<unsigned> AllBut(unsigned excluded)
{
    std::vector<unsigned> ports;
    for (unsigned port = 0; port < kPorts; ++port) {
        if (port != excluded) {
            ports.push_back(port);
        }
    }
    return ports;
}

// The whole system with the bridge in timing mode from its plug-in, so that
// the timeline sees the bring-up and every line setting the ports send.
class TimedRig {
public:
    TimedRig(const TimingConfig& config, bool loopback) : Rig(Options())
    {
        Rig.Model.SetTiming(config);
        Rig.Model.SetLoopback(loopback);
        if (Rig.Plug() != STATUS_SUCCESS) {
            Fail("the timed bridge did not start");
        }
        if (!Rig.WaitForPorts(std::chrono::seconds(30))) {
            Fail("the timed bridge did not give eight ports");
        }
        Ports.emplace(PortNames(Rig));
    }

    TimingReport Report() const
    {
        const auto report = Rig.Model.Timing();
        if (!report) {
            Fail("the bridge model is not in timing mode");
        }
        return *report;
    }

    // 8N1 at `baud` on every RS485 and RS232 port; the CAN FD ports keep the model's rate.
    void SetLines(uint32_t baud, const std::vector<unsigned>& ports) const
    {
        for (unsigned port : ports) {
            if (port < kFirstAnswered) {
                continue;
            }
            DCB dcb{};
            dcb.DCBlength = sizeof(dcb);
            if (!GetCommState((*Ports)[port], &dcb)) {
                Fail("GetCommState failed on port " + std::to_string(port));
            }
            dcb.BaudRate = baud;
            dcb.ByteSize = 8;
            dcb.Parity = NOPARITY;
            dcb.StopBits = ONESTOPBIT;
            if (!SetCommState((*Ports)[port], &dcb)) {
                Fail("SetCommState failed on port " + std::to_string(port));
            }
        }
    }

    HANDLE operator[](unsigned port) const { return (*Ports)[port]; }

    rig::SystemRig Rig;

private:
    static rig::SystemOptions Options()
    {
        rig::SystemOptions options;
        options.PlugIn = false;
        return options;
    }

    std::optional<OpenPorts> Ports;
};

// One application thread per port, each writing kWriteSize bytes back to back
// with WriteFile. A write the bus refuses (ERROR_BUSY: the device took
// nothing of a chunk) is counted, and the bytes it did not take are written
// again.
class Writers {
public:
    Writers(const TimedRig& rig, const std::vector<unsigned>& ports)
    {
        for (unsigned port : ports) {
            Threads.emplace_back([this, handle = rig[port], port] {
                const std::vector<uint8_t> data(kWriteSize, 0x5A);
                size_t offset = 0;
                while (!Stop.load(std::memory_order_relaxed)) {
                    const DWORD wanted = static_cast<DWORD>(data.size() - offset);
                    DWORD written = 0;
                    const BOOL ok = WriteFile(handle, data.data() + offset, wanted, &written, nullptr);
                    if (ok && written == wanted) {
                        offset = 0;
                    } else if (!ok && GetLastError() == ERROR_BUSY && written < wanted) {
                        Busy[port]++;
                        offset += written;
                    } else {
                        Failures++;
                        offset = 0;
                    }
                }
            });
        }
    }
    ~Writers()
    {
        Stop = true;
        for (auto& thread : Threads) {
            thread.join();
        }
        if (Failures != 0) {
            Fail(std::to_string(Failures.load()) + " timed writes failed other than with ERROR_BUSY");
        }
    }
    Writers(const Writers&) = delete;
    Writers& operator=(const Writers&) = delete;

    uint64_t Refusals(unsigned port) const { return Busy[port].load(); }

private:
    std::atomic<bool> Stop{false};
    std::atomic<int> Failures{0};
    std::array<std::atomic<uint64_t>, kPorts> Busy{};
    std::vector<std::thread> Threads;
};

// One application thread per port reading with ReadFile (a read ends with
// what the port holds, at least one byte). They stop on the next data after
// being told to, so they run only beside a receive stream.
class Readers {
public:
    Readers(const TimedRig& rig, const std::vector<unsigned>& ports)
    {
        for (unsigned port : ports) {
            Threads.emplace_back([this, handle = rig[port], port] {
                std::vector<uint8_t> buffer(4096);
                while (!Stop.load(std::memory_order_relaxed)) {
                    DWORD got = 0;
                    if (!ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
                        Failures++;
                        return;
                    }
                    Bytes[port] += got;
                }
            });
        }
    }
    ~Readers()
    {
        Stop = true;
        for (auto& thread : Threads) {
            thread.join();
        }
        if (Failures != 0) {
            Fail(std::to_string(Failures.load()) + " timed reads failed");
        }
    }
    Readers(const Readers&) = delete;
    Readers& operator=(const Readers&) = delete;

    uint64_t Read(unsigned port) const { return Bytes[port].load(); }

private:
    std::atomic<bool> Stop{false};
    std::atomic<int> Failures{0};
    std::array<std::atomic<uint64_t>, kPorts> Bytes{};
    std::vector<std::thread> Threads;
};

// The model's counts and the applications' at one kernel time.
struct Snapshot {
    int64_t Time = 0;
    TimingReport Report;
    std::array<uint64_t, kPorts> Application{};   // refusals (writers) or bytes read (readers)
};

template <typename Apps>
Snapshot Take(const TimedRig& rig, const Apps& apps)
{
    Snapshot snapshot;
    snapshot.Report = rig.Report();
    snapshot.Time = Now();
    for (unsigned port = 0; port < kPorts; ++port) {
        if constexpr (std::is_same_v<Apps, Writers>) {
            snapshot.Application[port] = apps.Refusals(port);
        } else {
            snapshot.Application[port] = apps.Read(port);
        }
    }
    return snapshot;
}

struct Interval {
    Snapshot From;
    Snapshot To;
    double Seconds() const { return static_cast<double>(To.Time - From.Time) / kUnitsPerSecond; }
    double Rate(uint64_t from, uint64_t to) const { return static_cast<double>(to - from) / Seconds(); }
    double Transmitted(unsigned port) const
    {
        return Rate(From.Report.Channels[port].Transmitted, To.Report.Channels[port].Transmitted);
    }
    double Application(unsigned port) const { return Rate(From.Application[port], To.Application[port]); }
    uint64_t ApplicationCount(unsigned port) const { return To.Application[port] - From.Application[port]; }
    uint64_t Lost(unsigned port) const { return To.Report.Channels[port].Lost - From.Report.Channels[port].Lost; }
    uint64_t Late() const { return To.Report.LateDeliveries - From.Report.LateDeliveries; }
};

template <typename Apps>
Interval Measure(const TimedRig& rig, const Apps& apps, int64_t warmUp, int64_t window)
{
    SleepKernel(warmUp);
    Interval interval;
    interval.From = Take(rig, apps);
    SleepKernel(window);
    interval.To = Take(rig, apps);
    return interval;
}

std::vector<double> CanRates(const TimingReport& report) { return {report.LineRate[0], report.LineRate[1]}; }

// What one port alone may move: its line, or one frame per command time.
double AloneLimit(const TimingReport& report, unsigned port)
{
    const double line = report.LineRate[port];
    return port < kFirstAnswered ? paper::ChannelLimit(report.Config, line, 0, {line})
                                 : paper::ChannelLimit(report.Config, line, 1, {});
}

double AllEightLimit(const TimingReport& report, unsigned port)
{
    return paper::ChannelLimit(report.Config, report.LineRate[port], kPorts - kFirstAnswered, CanRates(report));
}

std::string Rate(double bytesPerSecond)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f kB/s", bytesPerSecond / 1e3);
    return text;
}

std::string Percent(double measured, double expected)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%+.1f%%", (measured / expected - 1) * 100);
    return text;
}

void PrintSetting(const TimingConfig& config, double scale)
{
    std::printf("  %s\n", config.Describe().c_str());
    std::printf("  kernel time %.3g times slower than real time: one microframe is %.3g ms of real time;\n"
                "  every time and rate below is kernel time\n",
                scale, static_cast<double>(config.Microframe) / kMillisecond * scale);
}

const char* PortKind(unsigned port) { return port < kFirstAnswered ? "CAN FD" : port < 6 ? "RS485" : "RS232"; }

// 1. Each port written back to back, alone and with all eight at once.
void ThroughputTable(const TimingConfig& config, double scale)
{
    std::printf("Timed writes: each port written back to back (%zu-byte WriteFile calls), alone and all eight\n",
                kWriteSize);
    PrintSetting(config, scale);
    const int64_t window = 100 * kMillisecond;
    for (uint32_t baud : {115200u, 921600u}) {
        TimedRig rig(config, false);
        rig.SetLines(baud, AllPorts());
        std::array<Interval, kPorts> alone{};
        for (unsigned port = 0; port < kPorts; ++port) {
            Writers writers(rig, {port});
            alone[port] = Measure(rig, writers, 20 * kMillisecond, window);
        }
        Interval all;
        std::array<unsigned, kPorts> commands{};
        {
            Writers writers(rig, AllPorts());
            SleepKernel(60 * kMillisecond);
            rig.Rig.Model.ClearOutTransfers();
            all = Measure(rig, writers, 0, window);
            for (const auto& frame : rig.Rig.Model.OutFrames()) {
                commands[frame.Port] += frame.Type == wire::kTypeData && frame.Port < kPorts ? 1 : 0;
            }
            rig.Rig.Model.ClearOutTransfers();
        }
        const TimingReport& report = all.To.Report;
        std::printf("\n  RS485/RS232 at %u baud 8N1, CAN FD at %u B/s\n", baud, config.CanFdBytesPerSecond);
        std::printf("  %-13s %11s %11s %11s %7s %11s %11s %7s %9s %5s\n", "port", "line", "paper alone", "alone", "",
                    "paper all 8", "all 8", "", "refused", "cmds");
        uint64_t late = 0;
        for (unsigned port = 0; port < kPorts; ++port) {
            const double aloneLimit = AloneLimit(report, port);
            const double allLimit = AllEightLimit(report, port);
            const double aloneRate = alone[port].Transmitted(port);
            const double allRate = all.Transmitted(port);
            const std::string name = std::to_string(port) + " " + PortKind(port);
            std::printf("  %-13s %11s %11s %11s %7s %11s %11s %7s %4llu/%-4llu %5u\n", name.c_str(),
                        Rate(report.LineRate[port]).c_str(), Rate(aloneLimit).c_str(), Rate(aloneRate).c_str(),
                        Percent(aloneRate, aloneLimit).c_str(), Rate(allLimit).c_str(), Rate(allRate).c_str(),
                        Percent(allRate, allLimit).c_str(),
                        static_cast<unsigned long long>(alone[port].ApplicationCount(port)),
                        static_cast<unsigned long long>(all.ApplicationCount(port)), commands[port]);
            late += alone[port].Late();
        }
        std::printf("  measured: bytes the bridge took into the port's FIFO over %lld ms after a warm-up of\n"
                    "  20 ms (alone) or 60 ms (all 8); refused: writes ended with ERROR_BUSY, alone/all 8;\n"
                    "  cmds: data frames the bridge received from the port in the all-8 window\n",
                    static_cast<long long>(window / kMillisecond));
        std::printf("  LateDeliveries in the windows: alone %llu, all 8 %llu\n", static_cast<unsigned long long>(late),
                    static_cast<unsigned long long>(all.Late()));
    }
    std::printf("\n");
}

// 2. Received streams at the line rate, read by applications.
void ReceiveTable(TimingConfig config, double scale)
{
    std::printf("Timed receive: the line delivers a continuous stream; applications read with ReadFile\n");
    PrintSetting(config, scale);
    const int64_t window = 100 * kMillisecond;
    const double pipe = wire::kMaxPayload * kUnitsPerSecond / (2.0 * static_cast<double>(config.Microframe));
    for (uint32_t baud : {115200u, 921600u}) {
        std::printf("\n  RS485/RS232 at %u baud 8N1, CAN FD at %u B/s\n", baud, config.CanFdBytesPerSecond);
        std::printf("  %-22s %11s %11s %11s %11s %7s %9s %5s\n", "stream", "line", "paper", "sent", "read", "",
                    "lost B", "late");
        for (bool everyPort : {false, true}) {
            const std::vector<unsigned> ports = everyPort ? AllPorts() : std::vector<unsigned>{kProbePort};
            TimingConfig streaming = config;
            for (unsigned port : ports) {
                streaming.ReceiveStream[port] = true;
            }
            TimedRig rig(streaming, false);
            rig.SetLines(baud, ports);
            Readers readers(rig, ports);
            const Interval interval = Measure(rig, readers, 20 * kMillisecond, window);
            const TimingReport& report = interval.To.Report;
            std::vector<double> lines;
            for (unsigned port : ports) {
                lines.push_back(report.LineRate[port]);
            }
            const auto shares = paper::ReceiveShares(report.Config, lines);
            double total = 0;
            double totalSent = 0;
            double totalLine = 0;
            uint64_t totalLost = 0;
            for (size_t i = 0; i < ports.size(); ++i) {
                const unsigned port = ports[i];
                const double line = lines[i];
                const double limit = shares[i];
                const double received = interval.Application(port);
                const double sent = interval.Rate(interval.From.Report.Channels[port].Sent,
                                                  interval.To.Report.Channels[port].Sent);
                total += received;
                totalSent += sent;
                totalLine += line;
                totalLost += interval.Lost(port);
                const std::string name =
                    (everyPort ? "all 8: " : "alone: ") + std::to_string(port) + " " + PortKind(port);
                const std::string late = everyPort ? "" : std::to_string(interval.Late());
                std::printf("  %-22s %11s %11s %11s %11s %7s %9llu %5s\n", name.c_str(), Rate(line).c_str(),
                            Rate(limit).c_str(), Rate(sent).c_str(), Rate(received).c_str(),
                            Percent(received, limit).c_str(), static_cast<unsigned long long>(interval.Lost(port)),
                            late.c_str());
            }
            if (everyPort) {
                const double limit = std::min(totalLine, pipe);
                std::printf("  %-22s %11s %11s %11s %11s %7s %9llu %5llu\n", "all 8 together",
                            Rate(totalLine).c_str(), Rate(limit).c_str(), Rate(totalSent).c_str(),
                            Rate(total).c_str(), Percent(total, limit).c_str(),
                            static_cast<unsigned long long>(totalLost),
                            static_cast<unsigned long long>(interval.Late()));
            }
        }
    }
    std::printf("  over %lld ms after a 20 ms warm-up: sent, bytes the bridge sent the host; read, bytes the\n"
                "  applications read (the percentage); lost, bytes that found the channel's %u-byte receive\n"
                "  buffer full; paper: the IN pipe's one frame of up to 56 bytes per two microframes (%s)\n"
                "  for all channels together, shared oldest byte first: a line below an even share gets its\n"
                "  line, the others split the rest (paper::ReceiveShares)\n\n",
                static_cast<long long>(window / kMillisecond), config.RxBufferBytes, Rate(pipe).c_str());
}

enum class Probe { OneByteWrite, SetBaudRate };

// Kernel microseconds of each of `samples` commands on port 2.
std::vector<double> ProbeLatencies(const TimedRig& rig, Probe probe, bool othersStream, unsigned samples,
                                   uint64_t& late)
{
    std::optional<Writers> writers;
    if (othersStream) {
        writers.emplace(rig, AllBut(kProbePort));
    }
    SleepKernel(20 * kMillisecond);
    const uint64_t lateBefore = rig.Report().LateDeliveries;
    std::vector<double> micros;
    const HANDLE handle = rig[kProbePort];
    for (unsigned i = 0; i < 10 + samples; ++i) {
        const uint8_t byte = 0x42;
        SERIAL_BAUD_RATE baud{i % 2 == 0 ? 921600u : 460800u};
        DWORD done = 0;
        const int64_t start = Now();
        const bool ok = probe == Probe::OneByteWrite
                            ? WriteFile(handle, &byte, 1, &done, nullptr)
                            : DeviceIoControl(handle, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), nullptr, 0,
                                              &done, nullptr);
        const int64_t end = Now();
        if (!ok) {
            Fail("the timed probe on port 2 failed");
        }
        if (i >= 10) {
            micros.push_back(static_cast<double>(end - start) / 10);
        }
        // Not a whole number of microframes apart, so the probes fall at every phase of one.
        SleepKernel(kProbeGap);
    }
    late += rig.Report().LateDeliveries - lateBefore;
    return micros;
}

// 3. One command on port 2, with the seven others idle or streaming.
void LatencyTable(const TimingConfig& config, double scale)
{
    constexpr unsigned samples = 150;
    std::printf("Timed latency: one command on port 2, us of kernel time (%u samples each)\n", samples);
    PrintSetting(config, scale);
    TimedRig rig(config, false);
    rig.SetLines(921600, AllPorts());
    const TimingReport report = rig.Report();
    std::printf("  %-50s %7s %7s %7s %12s %7s %5s\n", "", "median", "p99", "max", "paper worst", "above", "late");
    for (Probe probe : {Probe::OneByteWrite, Probe::SetBaudRate}) {
        for (bool loaded : {false, true}) {
            uint64_t late = 0;
            const auto micros = ProbeLatencies(rig, probe, loaded, samples, late);
            const int64_t worst = loaded ? paper::CommandLatency(report.Config, kPorts - kFirstAnswered - 1,
                                                                 CanRates(report))
                                         : paper::CommandLatency(report.Config, 0, {});
            std::string label = probe == Probe::OneByteWrite ? "1-byte write" : "IOCTL_SERIAL_SET_BAUD_RATE";
            label += loaded ? ", seven others streaming" : ", others idle";
            const auto above = std::count_if(micros.begin(), micros.end(),
                                             [worst](double us) { return us > static_cast<double>(worst) / 10; });
            std::printf("  %-50s %7.0f %7.0f %7.0f %12.0f %7ld %5llu\n", label.c_str(), Median(micros),
                        Percentile(micros, 99), Percentile(micros, 100), static_cast<double>(worst) / 10,
                        static_cast<long>(above), static_cast<unsigned long long>(late));
        }
    }
    std::printf("  from the call to its return; the others write %zu bytes back to back at 921600 baud (RS485,\n"
                "  RS232) and %u B/s (CAN FD); paper worst: each other streaming port one command ahead, then\n"
                "  the probe's own round trip; above: samples longer than that\n\n",
                kWriteSize, config.CanFdBytesPerSecond);
}

// 4. Ports 2 to 7 together, at a baud where the lines are not the limit.
void AggregateTable(const TimingConfig& config, double scale)
{
    constexpr uint32_t baud = 3'000'000;
    std::printf("Timed aggregate: ports 2-7 written back to back at %u baud 8N1, one command in flight\n", baud);
    PrintSetting(config, scale);
    TimedRig rig(config, false);
    const std::vector<unsigned> answered = {2, 3, 4, 5, 6, 7};
    rig.SetLines(baud, answered);
    Interval interval;
    size_t commands = 0;
    {
        Writers writers(rig, answered);
        SleepKernel(20 * kMillisecond);
        rig.Rig.Model.ClearOutTransfers();
        interval = Measure(rig, writers, 0, 100 * kMillisecond);
        for (const auto& frame : rig.Rig.Model.OutFrames()) {
            commands += frame.Type == wire::kTypeData && frame.Port >= kFirstAnswered ? 1 : 0;
        }
        rig.Rig.Model.ClearOutTransfers();
    }
    double aggregate = 0;
    for (unsigned port : answered) {
        aggregate += interval.Transmitted(port);
    }
    const TimingReport& report = interval.To.Report;
    const double paperAggregate = paper::AnsweredAggregate(report.Config);
    const double paperRoundTrip = static_cast<double>(paper::AnsweredCommandTime(report.Config)) / 10;
    const double roundTrip = commands == 0 ? 0 : interval.Seconds() * 1e6 / static_cast<double>(commands);
    const double perCommand = commands == 0 ? 0 : aggregate * interval.Seconds() / static_cast<double>(commands);
    std::printf("  %-40s %12s %12s %8s\n", "", "paper", "measured", "");
    std::printf("  %-40s %12zu %12.1f %8s\n", "bytes per answered command", wire::kMaxPayload, perCommand,
                Percent(perCommand, wire::kMaxPayload).c_str());
    std::printf("  %-40s %12.1f %12.1f %8s\n", "us per answered command", paperRoundTrip, roundTrip,
                Percent(roundTrip, paperRoundTrip).c_str());
    std::printf("  %-40s %12s %12s %8s\n", "ports 2-7 together", Rate(paperAggregate).c_str(), Rate(aggregate).c_str(),
                Percent(aggregate, paperAggregate).c_str());
    std::printf("  %-40s %12s\n", "line rate of each port", Rate(report.LineRate[2]).c_str());
    std::printf("  over %.0f ms after a 20 ms warm-up: %zu data commands on ports 2-7 reached the bridge;\n"
                "  LateDeliveries in the window: %llu\n\n",
                interval.Seconds() * 1e3, commands, static_cast<unsigned long long>(interval.Late()));
}

// 5. The same script on two fresh rigs.
struct ScriptRun {
    uint64_t Digest = 0;
    uint64_t Late = 0;
    uint64_t Slips = 0;
};

ScriptRun RunScript(const TimingConfig& config)
{
    TimedRig rig(config, true);
    // A fresh timeline, started by the script's first command: the bring-up
    // before it ends after a wait the host's speed decides.
    rig.Rig.Settle();
    rig.Rig.Model.SetTiming(config);
    auto write = [&](unsigned port, size_t count, uint8_t first) {
        std::vector<uint8_t> data(count);
        for (size_t i = 0; i < count; ++i) {
            data[i] = static_cast<uint8_t>(first + i);
        }
        DWORD written = 0;
        if (!WriteFile(rig[port], data.data(), static_cast<DWORD>(count), &written, nullptr) || written != count) {
            Fail("a scripted write on port " + std::to_string(port) + " failed");
        }
    };
    rig.SetLines(921600, {2, 6});
    rig.SetLines(460800, {3});
    write(2, 100, 0x10);
    write(6, 300, 0x40);
    write(0, 200, 0x80);
    write(3, 60, 0xC0);
    // Until the last looped-back byte has reached the host.
    SleepKernel(10 * kMillisecond);
    const TimingReport report = rig.Report();
    return {report.Digest, report.LateDeliveries, report.HostSlips};
}

void DeterminismTable(TimingConfig config, double scale)
{
    config.Seed = 20261209;
    std::printf("Timed determinism: one script from a fresh rig, twice\n");
    PrintSetting(config, scale);
    const ScriptRun first = RunScript(config);
    const ScriptRun second = RunScript(config);
    std::printf("  script, on a timeline started after the bring-up: ports 2 and 6 set to 921600 8N1, port 3\n"
                "  to 460800 8N1, writes of 100 B on port 2, 300 B on port 6, 200 B on port 0 and 60 B on\n"
                "  port 3 one after the other, loopback on, 10 ms to drain\n");
    std::printf("  %-10s %18s %16s %12s\n", "run", "digest", "LateDeliveries", "host slips");
    for (const auto& [name, run] : {std::pair<const char*, const ScriptRun&>{"first", first}, {"second", second}}) {
        std::printf("  %-10s %018llx %16llu %12llu\n", name, static_cast<unsigned long long>(run.Digest),
                    static_cast<unsigned long long>(run.Late), static_cast<unsigned long long>(run.Slips));
    }
    const bool kept = first.Late + first.Slips + second.Late + second.Slips == 0;
    if (first.Digest == second.Digest) {
        std::printf("  digests equal\n");
    } else {
        std::printf("  digests DIFFER%s\n", kept ? ": the model itself is not deterministic" : "");
    }
    std::printf("  host slips: commands submitted a microframe or more after the host last heard from the\n"
                "  bus; in this script every command follows the one before at once, so a slip is the host\n"
                "  falling behind, and from there the plan is another run's (a larger --timing-scale helps)\n\n");
}

class ScaleScope {
public:
    explicit ScaleScope(double scale) : Saved(host::TimeScale()) { host::SetTimeScale(scale); }
    ~ScaleScope() { host::SetTimeScale(Saved); }
    ScaleScope(const ScaleScope&) = delete;
    ScaleScope& operator=(const ScaleScope&) = delete;

private:
    double Saved;
};

} // namespace

void RunTimingTables(double scale)
{
    const ScaleScope slowed(scale);
    const auto start = std::chrono::steady_clock::now();
    const TimingConfig config;
    ThroughputTable(config, scale);
    std::fflush(stdout);
    ReceiveTable(config, scale);
    std::fflush(stdout);
    LatencyTable(config, scale);
    std::fflush(stdout);
    AggregateTable(config, scale);
    std::fflush(stdout);
    DeterminismTable(config, scale);
    std::printf("  timing tables: %.1f s of real time\n\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    std::fflush(stdout);
}

} // namespace bench
