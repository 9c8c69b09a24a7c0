// ombrel-bench: figures for the drivers on the stand-in, each printed beside
// the floor it is compared with. It is a program, not a test: nothing here
// passes or fails on a time. Every figure is taken on one whole-system rig
// whose bus driver is this program's copy of its objects (receive_path.h);
// everything but the receive path reaches the ports through the Win32 comm
// API, as applications do.
//
//   ombrel-bench                           every table, the timed ones last
//   ombrel-bench --no-callgrind            the same without instruction counts
//   ombrel-bench --timing-only             only the tables against the timed bridge
//                                          (timing_tables.h)
//   ombrel-bench --timing-scale X          kernel time X times slower than real
//                                          time for the timed tables (default 10)
//   ombrel-bench --receive-path-only N parked|stored
//                                          N frames through one case of the receive
//                                          path and N floor copies, for callgrind
#include "bench/bench_support.h"
#include "bench/receive_path.h"
#include "bench/timing_tables.h"

#include "host/kernel/time_scale.h"
#include "host/verifier/verifier.h"
#include "host/win32/comm.h"

#include <ntddser.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Fail;
using bench::Median;
using bench::OpenPorts;
using bench::Percentile;
using bench::PortNames;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr unsigned kBatch = 64;          // reads parked at once on the receive path
constexpr unsigned kProbePort = 2;       // an acknowledged RS485 port
constexpr unsigned kCallgrindFrames = 320 * kBatch;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string CpuModel()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

std::string LoadAverage()
{
    std::ifstream loadavg("/proc/loadavg");
    std::string one, five, fifteen;
    loadavg >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string SelfPath()
{
    std::array<char, 4096> path{};
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    return length > 0 ? std::string(path.data(), static_cast<size_t>(length)) : std::string();
}

// The verifier's counters over the stretches where I/O runs. Handles are
// opened and closed outside them, so any allocation counted inside one is the
// drivers' own, on an I/O path.
struct IoTotals {
    uint64_t Allocations = 0;
    uint64_t Callbacks = 0;
    uint64_t Requests = 0;
};

class IoWindow {
public:
    explicit IoWindow(IoTotals& totals)
        : Totals(totals), Allocations(host::Counters().AllocationsChecked), Callbacks(host::Counters().CallbacksChecked),
          Requests(host::Counters().RequestsCompleted)
    {
    }
    ~IoWindow()
    {
        Totals.Allocations += host::Counters().AllocationsChecked - Allocations;
        Totals.Callbacks += host::Counters().CallbacksChecked - Callbacks;
        Totals.Requests += host::Counters().RequestsCompleted - Requests;
    }
    IoWindow(const IoWindow&) = delete;
    IoWindow& operator=(const IoWindow&) = delete;

private:
    IoTotals& Totals;
    uint64_t Allocations;
    uint64_t Callbacks;
    uint64_t Requests;
};

struct ReceiveFigures {
    double FrameNs = NAN;
    double StoreNs = NAN;
    double CopyNs = NAN;
    unsigned Batches = 0;
    std::optional<double> FrameInstructions;
    std::optional<double> FrameDriverInstructions;
    std::optional<double> StoreInstructions;
    std::optional<double> StoreDriverInstructions;
    std::optional<double> CopyInstructions;
    std::string InstructionNote;
};

void MeasureReceiveNs(rig::SystemRig& bridge, const std::string& comName, IoTotals& io, ReceiveFigures& figures)
{
    bench::ReceivePath path(bridge, comName);
    if (!path.Ready()) {
        Fail(path.Error());
    }
    std::vector<double> perFrame;
    std::vector<double> perStore;
    {
        IoWindow window(io);
        for (int i = 0; i < 40; ++i) {
            if (!path.RunBatch(kBatch, false, nullptr) || !path.RunStoreBatch(kBatch, false, nullptr)) {
                Fail(path.Error());
            }
        }
        // The two cases alternate so that a change in the machine's load
        // touches both alike.
        for (int i = 0; i < 600; ++i) {
            std::chrono::nanoseconds parked{};
            std::chrono::nanoseconds stored{};
            if (!path.RunBatch(kBatch, true, &parked) || !path.RunStoreBatch(kBatch, true, &stored)) {
                Fail(path.Error());
            }
            perFrame.push_back(static_cast<double>(parked.count()) / kBatch);
            perStore.push_back(static_cast<double>(stored.count()) / kBatch);
        }
    }
    figures.FrameNs = Median(perFrame);
    figures.StoreNs = Median(perStore);
    figures.Batches = static_cast<unsigned>(perFrame.size());

    std::array<uint8_t, bench::kFramePayload> source{};
    std::array<uint8_t, bench::kFramePayload> destination{};
    constexpr unsigned copies = 1'000'000;
    bench::CopyBatch(destination.data(), source.data(), copies);
    std::vector<double> perCopy;
    for (int i = 0; i < 15; ++i) {
        const auto start = Clock::now();
        bench::CopyBatch(destination.data(), source.data(), copies);
        perCopy.push_back(Seconds(Clock::now() - start) * 1e9 / copies);
    }
    figures.CopyNs = Median(perCopy);
}

// The program's dedicated mode, run under callgrind: `frames` frames through
// one case of the receive path (ReceiveBatch or StoreBatch), then as many
// floor copies (CopyBatch).
int ReceivePathOnly(unsigned frames, bool readsParked)
{
    host::SetTimeScale(1.0);
    rig::SystemRig bridge(bench::LinkedBusSystem());
    if (!bridge.Started()) {
        Fail("the bridge did not start");
    }
    {
        bench::ReceivePath path(bridge, PortNames(bridge).at(kProbePort));
        if (!path.Ready()) {
            Fail(path.Error());
        }
        auto run = [&](bool measured) {
            return readsParked ? path.RunBatch(kBatch, measured, nullptr) : path.RunStoreBatch(kBatch, measured, nullptr);
        };
        // Warm-up outside the counted function: lazy symbol binding and first
        // touches of the port's state.
        for (int i = 0; i < 4; ++i) {
            if (!run(false)) {
                Fail(path.Error());
            }
        }
        for (unsigned done = 0; done < frames; done += kBatch) {
            if (!run(true)) {
                Fail(path.Error());
            }
        }
    }
    std::array<uint8_t, bench::kFramePayload> source{};
    std::array<uint8_t, bench::kFramePayload> destination{};
    bench::CopyBatch(destination.data(), source.data(), frames);
    return 0;
}

// One function's figure in a callgrind_annotate listing line:
//   "  1,234,567 (12.34%)  file:function [object]"
std::optional<double> LeadingCount(const std::string& line)
{
    std::string digits;
    for (char c : line) {
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if (c != ',' && c != ' ') {
            break;
        } else if (c == ' ' && !digits.empty()) {
            break;
        }
    }
    return digits.empty() ? std::nullopt : std::optional<double>(std::stod(digits));
}

std::vector<std::string> Lines(const std::string& command)
{
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return lines;
    }
    std::array<char, 4096> buffer{};
    std::string text;
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        text.append(buffer.data(), got);
    }
    pclose(pipe);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

struct CaseInstructions {
    double Total = 0;   // inclusive, per frame
    double Driver = 0;  // in the drivers' own functions, per frame
    double Copy = 0;    // the floor, per copy
};

// Counts one case under callgrind with collection on only inside the case's
// batch function and the floor's. The drivers' share is the self cost of the
// port module's functions and of the bus objects linked into this program
// (everything in it but bench::); the rest is the stand-in and the C library.
std::optional<CaseInstructions> CountCase(bool readsParked, std::string& why)
{
    const std::string out = "/tmp/ombrel-bench-callgrind." + std::to_string(getpid());
    const std::string batch = readsParked ? "bench::ReceiveBatch" : "bench::StoreBatch";
    const std::string run = "valgrind --tool=callgrind --callgrind-out-file=" + out + " --toggle-collect='" + batch +
                            "*' --toggle-collect='bench::CopyBatch*' '" + SelfPath() + "' --receive-path-only " +
                            std::to_string(kCallgrindFrames) + (readsParked ? " parked" : " stored") +
                            " >/dev/null 2>&1";
    if (std::system(run.c_str()) != 0) {
        why = "the callgrind run failed";
        std::remove(out.c_str());
        return std::nullopt;
    }
    const auto inclusive = Lines("callgrind_annotate --inclusive=yes --threshold=100 " + out + " 2>/dev/null");
    const auto self = Lines("callgrind_annotate --threshold=100 " + out + " 2>/dev/null");
    std::remove(out.c_str());

    std::optional<double> total;
    std::optional<double> copy;
    for (const auto& line : inclusive) {
        if (line.find(":" + batch + "(") != std::string::npos) {
            total = LeadingCount(line);
        } else if (line.find(":bench::CopyBatch(") != std::string::npos) {
            copy = LeadingCount(line);
        }
    }
    double driver = 0;
    for (const auto& line : self) {
        const auto count = LeadingCount(line);
        const bool inModule = line.find("OmbrelPort.sys.so]") != std::string::npos;
        const bool busObjects = line.find("/ombrel-bench]") != std::string::npos &&
                                line.find(":bench::") == std::string::npos;
        if (count && (inModule || busObjects)) {
            driver += *count;
        }
    }
    if (!total || !copy) {
        why = "callgrind_annotate gave no figure";
        return std::nullopt;
    }
    return CaseInstructions{*total / kCallgrindFrames, driver / kCallgrindFrames, *copy / kCallgrindFrames};
}

void CountReceiveInstructions(ReceiveFigures& figures)
{
    if (std::system("command -v valgrind >/dev/null 2>&1 && command -v callgrind_annotate >/dev/null 2>&1") != 0) {
        figures.InstructionNote = "not counted: valgrind not found";
        return;
    }
    std::string why;
    const auto parked = CountCase(true, why);
    const auto stored = parked ? CountCase(false, why) : std::nullopt;
    if (!parked || !stored) {
        figures.InstructionNote = "not counted: " + why;
        return;
    }
    figures.FrameInstructions = parked->Total;
    figures.FrameDriverInstructions = parked->Driver;
    figures.StoreInstructions = stored->Total;
    figures.StoreDriverInstructions = stored->Driver;
    figures.CopyInstructions = parked->Copy;
    figures.InstructionNote = "valgrind --tool=callgrind, " + std::to_string(kCallgrindFrames) + " frames per case";
}

// Writers of `size` bytes, back to back, one thread per port, until stopped.
class Streams {
public:
    Streams(const OpenPorts& ports, const std::vector<unsigned>& indices, size_t size)
    {
        for (unsigned index : indices) {
            Threads.emplace_back([this, handle = ports[index], size] {
                const std::vector<uint8_t> data(size, 0x5A);
                while (!Stop.load(std::memory_order_relaxed)) {
                    DWORD written = 0;
                    if (!WriteFile(handle, data.data(), static_cast<DWORD>(size), &written, nullptr) ||
                        written != size) {
                        Failures++;
                    }
                }
            });
        }
    }
    ~Streams()
    {
        Stop = true;
        for (auto& thread : Threads) {
            thread.join();
        }
        if (Failures != 0) {
            Fail(std::to_string(Failures.load()) + " writes failed or were cut short");
        }
    }
    Streams(const Streams&) = delete;
    Streams& operator=(const Streams&) = delete;

private:
    std::atomic<bool> Stop{false};
    std::atomic<int> Failures{0};
    std::vector<std::thread> Threads;
};

struct ChunkRates {
    std::vector<double> PerWindow;  // chunks per second, every port
    double AcknowledgedShare = 1;   // of the chunks, those on ports 2 to 7
};

// Chunks per second over `samples` windows, counted as the OUT transfers the
// bridge received: every chunk of a write is one data frame.
ChunkRates ChunkRate(rig::SystemRig& bridge, const OpenPorts& ports, const std::vector<unsigned>& indices,
                     size_t size, milliseconds warmUp, milliseconds window, int samples, IoTotals& io)
{
    ChunkRates rates;
    bridge.Model.ClearOutTransfers();
    {
        IoWindow ioWindow(io);
        Streams streams(ports, indices, size);
        std::this_thread::sleep_for(warmUp);
        for (int i = 0; i < samples; ++i) {
            const auto start = Clock::now();
            const size_t before = bridge.Model.OutTransferCount();
            std::this_thread::sleep_for(window);
            const size_t after = bridge.Model.OutTransferCount();
            rates.PerWindow.push_back(static_cast<double>(after - before) / Seconds(Clock::now() - start));
        }
    }
    size_t all = 0;
    size_t acknowledged = 0;
    for (const auto& frame : bridge.Model.OutFrames()) {
        all++;
        acknowledged += frame.Port >= 2 ? 1 : 0;
    }
    rates.AcknowledgedShare = all == 0 ? 0 : static_cast<double>(acknowledged) / static_cast<double>(all);
    bridge.Model.ClearOutTransfers();
    return rates;
}

// The least any acknowledged chunk needs: one thread signals, another wakes
// and answers, and the first wakes again. Mutex and condition variable, as the
// stand-in's events and the USB model use.
double RoundTripsPerSecond(milliseconds window)
{
    std::mutex lock;
    std::condition_variable changed;
    uint64_t asked = 0;
    uint64_t answered = 0;
    bool stop = false;
    std::thread answerer([&] {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            changed.wait(guard, [&] { return stop || answered != asked; });
            if (stop) {
                return;
            }
            answered = asked;
            changed.notify_one();
        }
    });
    uint64_t trips = 0;
    const auto start = Clock::now();
    const auto end = start + window;
    {
        std::unique_lock<std::mutex> guard(lock);
        while (Clock::now() < end) {
            ++asked;
            changed.notify_one();
            changed.wait(guard, [&] { return answered == asked; });
            ++trips;
        }
        stop = true;
    }
    changed.notify_one();
    const double elapsed = Seconds(Clock::now() - start);
    answerer.join();
    return static_cast<double>(trips) / elapsed;
}

std::vector<double> RoundTripSamples()
{
    RoundTripsPerSecond(milliseconds(100));
    std::vector<double> rates;
    for (int i = 0; i < 7; ++i) {
        rates.push_back(RoundTripsPerSecond(milliseconds(150)));
    }
    return rates;
}

enum class Probe { OneByteWrite, SetBaudRate };

std::vector<double> ProbeLatencies(const OpenPorts& ports, Probe probe, bool othersStream, IoTotals& io)
{
    std::vector<unsigned> others;
    for (unsigned index = 0; index < 8; ++index) {
        if (index != kProbePort) {
            others.push_back(index);
        }
    }
    std::vector<double> micros;
    IoWindow ioWindow(io);
    std::optional<Streams> streams;
    if (othersStream) {
        streams.emplace(ports, others, 4096);
    }
    std::this_thread::sleep_for(milliseconds(150));
    const HANDLE handle = ports[kProbePort];
    for (int i = 0; i < 60 + 600; ++i) {
        const uint8_t byte = 0x42;
        SERIAL_BAUD_RATE baud{i % 2 == 0 ? 115200u : 57600u};
        DWORD done = 0;
        const auto start = Clock::now();
        const bool ok = probe == Probe::OneByteWrite
                            ? WriteFile(handle, &byte, 1, &done, nullptr)
                            : DeviceIoControl(handle, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), nullptr,
                                                     0, &done, nullptr);
        const double elapsed = Seconds(Clock::now() - start) * 1e6;
        if (!ok) {
            Fail("the probe on port 2 failed");
        }
        if (i >= 60) {
            micros.push_back(elapsed);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return micros;
}

void PrintHeader(int argc, char** argv, bool untimed, double timingScale)
{
    std::string command;
    for (int i = 0; i < argc; ++i) {
        command += (i == 0 ? "" : " ") + std::string(argv[i]);
    }
    utsname system{};
    uname(&system);
    std::printf("ombrel-bench\n");
    std::printf("  machine   %s, %u logical cores, Linux %s\n", CpuModel().c_str(),
                std::thread::hardware_concurrency(), system.release);
    std::printf("  compiler  %s, %s\n", __VERSION__,
#ifdef NDEBUG
                "optimised (NDEBUG)"
#else
                "assertions on: not a release build"
#endif
    );
    std::printf("  command   %s\n", command.c_str());
    std::printf("  load      %s (1, 5, 15 min) at the start\n", LoadAverage().c_str());
    if (untimed) {
        std::printf("  setting   time scale 1.0 (real time); the bridge model answers at once; loopback off\n");
    }
    std::printf("  timed     the bridge model in timing mode, kernel time %g times slower than real time\n\n",
                timingScale);
}

std::string Rate(double perSecond)
{
    char text[32];
    if (perSecond >= 1e6) {
        std::snprintf(text, sizeof(text), "%.2f M/s", perSecond / 1e6);
    } else if (perSecond >= 1e3) {
        std::snprintf(text, sizeof(text), "%.1f k/s", perSecond / 1e3);
    } else {
        std::snprintf(text, sizeof(text), "%.0f /s", perSecond);
    }
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    bool callgrind = true;
    bool timingOnly = false;
    double timingScale = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--receive-path-only" && i + 2 < argc) {
            return ReceivePathOnly(static_cast<unsigned>(std::stoul(argv[i + 1])), std::string(argv[i + 2]) == "parked");
        }
        char* end = nullptr;
        if (arg == "--no-callgrind") {
            callgrind = false;
        } else if (arg == "--timing-only") {
            timingOnly = true;
        } else if (arg == "--timing-scale" && i + 1 < argc && (timingScale = std::strtod(argv[i + 1], &end)) > 0 &&
                   *end == '\0') {
            ++i;
        } else {
            const bool help = arg == "--help" || arg == "-h";
            std::fprintf(help ? stdout : stderr,
                         "usage: ombrel-bench [--no-callgrind] [--timing-only] [--timing-scale X]\n"
                         "       ombrel-bench --receive-path-only FRAMES parked|stored\n"
                         "  --no-callgrind      leave out the receive path's instruction counts\n"
                         "  --timing-only       only the tables against the bridge in timing mode\n"
                         "  --timing-scale X    kernel time X times slower than real time for those\n"
                         "                      tables (default 10: a 125 us microframe takes 1.25 ms)\n"
                         "  --receive-path-only FRAMES parked|stored\n"
                         "                      FRAMES frames through one case of the receive path and\n"
                         "                      as many floor copies, for callgrind\n");
            return help ? 0 : 2;
        }
    }
    PrintHeader(argc, argv, !timingOnly, timingScale);
    std::fflush(stdout);
    if (timingOnly) {
        bench::RunTimingTables(timingScale);
        return 0;
    }

    host::SetTimeScale(1.0);
    const uint64_t allocationsAtStart = host::Counters().AllocationsChecked;
    IoTotals io;
    ReceiveFigures receive;
    std::vector<double> roundTrips;
    ChunkRates onePort;
    ChunkRates eightPorts;
    std::map<std::pair<Probe, bool>, std::vector<double>> latencies;
    // Acknowledged ports first; only the last row adds ports 0 and 1, which
    // the bridge never acknowledges.
    const std::vector<unsigned> portOrder = {2, 3, 4, 5, 6, 7, 0, 1};
    const std::vector<unsigned> growthPorts = {1, 2, 4, 6, 8};
    const std::vector<size_t> growthSizes = {1, 56, 512, 4096, 65536};
    std::map<std::pair<unsigned, size_t>, std::vector<double>> growth;
    uint64_t allocationsBringUp = 0;
    uint64_t allocationsAtEnd = 0;
    {
        rig::SystemRig bridge(bench::LinkedBusSystem());
        if (!bridge.Started()) {
            Fail("the bridge did not start");
        }
        const auto names = PortNames(bridge);
        // Writes are measured alone: no received data competes with the answers.
        bridge.Model.SetLoopback(false);
        allocationsBringUp = host::Counters().AllocationsChecked - allocationsAtStart;

        MeasureReceiveNs(bridge, names.at(kProbePort), io, receive);

        OpenPorts ports(names);
        roundTrips = RoundTripSamples();
        onePort = ChunkRate(bridge, ports, {kProbePort}, 64 * 56, milliseconds(300), milliseconds(400), 5, io);
        eightPorts = ChunkRate(bridge, ports, portOrder, 64 * 56, milliseconds(300), milliseconds(400), 5, io);

        for (Probe probe : {Probe::OneByteWrite, Probe::SetBaudRate}) {
            for (bool loaded : {false, true}) {
                latencies[{probe, loaded}] = ProbeLatencies(ports, probe, loaded, io);
            }
        }

        // Two passes over the grid, so a passing change in the machine's load
        // does not decide a whole cell.
        for (int pass = 0; pass < 2; ++pass) {
            for (unsigned count : growthPorts) {
                const std::vector<unsigned> active(portOrder.begin(), portOrder.begin() + count);
                for (size_t size : growthSizes) {
                    const auto rates =
                        ChunkRate(bridge, ports, active, size, milliseconds(100), milliseconds(200), 2, io);
                    auto& cell = growth[{count, size}];
                    cell.insert(cell.end(), rates.PerWindow.begin(), rates.PerWindow.end());
                }
            }
        }
        allocationsAtEnd = host::Counters().AllocationsChecked - allocationsAtStart;
    }
    if (callgrind) {
        CountReceiveInstructions(receive);
    } else {
        receive.InstructionNote = "not counted (--no-callgrind)";
    }

    auto instructions = [](const std::optional<double>& value) {
        char text[32];
        std::snprintf(text, sizeof(text), value ? "%.0f" : "-", value.value_or(0));
        return std::string(text);
    };
    std::printf("Receive path: one 56-byte data frame handed to EvtBusReadComplete at DISPATCH_LEVEL\n");
    std::printf("  %-44s %10s %12s %12s\n", "", "ns/frame", "instr/frame", "in drivers");
    std::printf("  %-44s %10.0f %12s %12s\n", "to the bytes in a parked read, read completed", receive.FrameNs,
                instructions(receive.FrameInstructions).c_str(), instructions(receive.FrameDriverInstructions).c_str());
    std::printf("  %-44s %10.0f %12s %12s\n", "into the ring only, no read waiting", receive.StoreNs,
                instructions(receive.StoreInstructions).c_str(), instructions(receive.StoreDriverInstructions).c_str());
    std::printf("  %-44s %10.1f %12s %12s\n", "floor: copy of the 56 bytes", receive.CopyNs,
                instructions(receive.CopyInstructions).c_str(), "");
    std::printf("  ns: median of %u batches of %u frames each, the two cases alternating; instructions: %s;\n"
                "  in drivers: the bus and port drivers' own code, the rest is the stand-in (verifier,\n"
                "  handle look-ups, request completion) and the C library\n\n",
                receive.Batches, kBatch, receive.InstructionNote.c_str());

    const double floorRate = Median(roundTrips);
    const double oneRate = Median(onePort.PerWindow);
    const double eightRate = Median(eightPorts.PerWindow);
    const double eightAcknowledged = eightRate * eightPorts.AcknowledgedShare;
    auto range = [](const std::vector<double>& values) {
        char text[40];
        std::snprintf(text, sizeof(text), "%.0f-%.0fk", *std::min_element(values.begin(), values.end()) / 1e3,
                      *std::max_element(values.begin(), values.end()) / 1e3);
        return std::string(text);
    };
    std::printf("Acknowledged writes: 3584-byte writes (64 chunks of 56 bytes) back to back\n");
    std::printf("  %-50s %10s %12s %12s\n", "", "chunks/s", "us/chunk", "windows");
    std::printf("  %-50s %10s %12.1f %12s\n", "one port (2)", Rate(oneRate).c_str(), 1e6 / oneRate,
                range(onePort.PerWindow).c_str());
    std::printf("  %-50s %10s %12.1f %12s\n", "eight ports at once: every chunk", Rate(eightRate).c_str(),
                1e6 / eightRate, range(eightPorts.PerWindow).c_str());
    std::printf("  %-50s %10s %12.1f\n", "  of which acknowledged (ports 2-7)", Rate(eightAcknowledged).c_str(),
                1e6 / eightAcknowledged);
    std::printf("  %-50s %10s %12.1f %12s\n", "floor: bare two-thread event round trip", Rate(floorRate).c_str(),
                1e6 / floorRate, range(roundTrips).c_str());
    std::printf("  medians of 5 windows of 400 ms (round trip: 7 of 150 ms); ports 0 and 1 are never\n"
                "  acknowledged, so their chunks need no round trip\n\n");

    // With one command at a time and a lock that served waiters in turn, the
    // probe would wait at most for one chunk of each of the seven others.
    const double fairShare = Median(latencies[{Probe::OneByteWrite, false}]) + 7e6 / oneRate;
    std::printf("Fairness: latency of one command on port 2, us (600 samples each, 200 us apart)\n");
    std::printf("  %-50s %10s %10s %10s\n", "", "median", "p99", "max");
    for (Probe probe : {Probe::OneByteWrite, Probe::SetBaudRate}) {
        for (bool loaded : {false, true}) {
            const auto& samples = latencies[{probe, loaded}];
            std::string label = probe == Probe::OneByteWrite ? "1-byte write" : "IOCTL_SERIAL_SET_BAUD_RATE";
            label += loaded ? ", seven others streaming" : ", others idle";
            std::printf("  %-50s %10.0f %10.0f %10.0f\n", label.c_str(), Median(samples), Percentile(samples, 99),
                        Percentile(samples, 100));
        }
    }
    std::printf("  %-50s %10.0f\n", "floor: idle median + 7 acknowledged chunks", fairShare);
    std::printf("  the seven others write 4096 bytes back to back\n\n");

    std::printf("Growth: thousands of chunks/s and payload MB/s, by active ports and write size\n");
    std::printf("  %-6s", "ports");
    for (size_t size : growthSizes) {
        std::printf(" %16s", (std::to_string(size) + " B").c_str());
    }
    std::printf("\n");
    for (unsigned count : growthPorts) {
        std::printf("  %-6u", count);
        for (size_t size : growthSizes) {
            const double chunks = Median(growth[{count, size}]);
            const double bytesPerChunk = static_cast<double>(size) / static_cast<double>((size + 55) / 56);
            char cell[40];
            std::snprintf(cell, sizeof(cell), "%.1fk %.2fMB", chunks / 1e3, chunks * bytesPerChunk / 1e6);
            std::printf(" %16s", cell);
        }
        std::printf("\n");
    }
    std::printf("  floor: %s round trips (%.2f MB/s in full chunks); median of 4 windows of 200 ms per\n"
                "  cell; rows 1-6 use acknowledged ports 2..7, row 8 adds ports 0 and 1\n\n",
                Rate(floorRate).c_str(), floorRate * 56 / 1e6);

    std::printf("Allocations by the drivers (verifier's AllocationsChecked)\n");
    std::printf("  %-50s %10llu\n", "bring-up: drivers, bridge, eight ports",
                static_cast<unsigned long long>(allocationsBringUp));
    std::printf("  %-50s %10llu\n", "opening and closing handles",
                static_cast<unsigned long long>(allocationsAtEnd - allocationsBringUp - io.Allocations));
    std::printf("  %-50s %10llu\n", "during I/O (must be 0)", static_cast<unsigned long long>(io.Allocations));
    std::printf("  during I/O the verifier checked %llu driver callbacks and %llu completed requests\n",
                static_cast<unsigned long long>(io.Callbacks), static_cast<unsigned long long>(io.Requests));
    std::printf("\n");
    std::fflush(stdout);

    bench::RunTimingTables(timingScale);
    std::printf("  load average at the end: %s\n", LoadAverage().c_str());
    return io.Allocations == 0 ? 0 : 1;
}
