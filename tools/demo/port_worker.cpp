#include "tools/demo/port_worker.h"

#include "tools/demo/loopback_check.h"
#include "tools/demo/test_bed.h"
#include "tools/demo/win32.h"

#include <algorithm>
#include <random>
#include <thread>

namespace demo {

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kNotesKept = 6;
constexpr DWORD kReadBufferSize = 8192;
constexpr auto kPoll = std::chrono::milliseconds(100);
// Accepted bytes are looped back at once; only a sleeping bridge delays them.
constexpr auto kLoopbackLimit = std::chrono::seconds(10);
constexpr int kFailuresInARow = 8;

const char* ErrorName(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS: return "success";
    case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
    case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
    case ERROR_GEN_FAILURE: return "ERROR_GEN_FAILURE";
    case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
    case ERROR_SEM_TIMEOUT: return "ERROR_SEM_TIMEOUT";
    case ERROR_BUSY: return "ERROR_BUSY";
    case ERROR_OPERATION_ABORTED: return "ERROR_OPERATION_ABORTED";
    case ERROR_IO_DEVICE: return "ERROR_IO_DEVICE";
    case ERROR_INVALID_FUNCTION: return "ERROR_INVALID_FUNCTION";
    default: return "error";
    }
}

std::string Describe(DWORD error) { return std::string(ErrorName(error)) + " (" + std::to_string(error) + ")"; }

class PortSession {
public:
    PortSession(PortStats& stats, PortConditions& conditions, const WorkerConfig& config)
        : Stats(stats), Settings(*config.Settings), Conditions(conditions), Control(*config.Control),
          WriteLimit(config.WriteLimit),
          Rng(Settings.Seed * 0x9E3779B97F4A7C15ull + stats.Port + 1), Block(Settings.MaxSize),
          ReadBuffer(kReadBufferSize)
    {
        // The read and the write each have a manual-reset event, as real
        // clients give them: both are in progress on the one handle at once.
        ReadOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        WriteEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~PortSession()
    {
        CloseHandle(ReadOverlapped.hEvent);
        CloseHandle(WriteEvent);
    }
    PortSession(const PortSession&) = delete;
    PortSession& operator=(const PortSession&) = delete;

    void Run()
    {
        if (!Open()) {
            Stats.State = PortState::Failed;
            return;
        }
        Stats.State = PortState::Ready;
        while (!Control.Go && !Control.Stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Stats.State = PortState::Running;
        const auto started = Clock::now();

        while (!Broken && !Gone && !Control.Stop && Clock::now() < Control.Deadline) {
            WriteBlock();
        }
        if (!Broken && !Gone) {
            CheckNothingMoreArrives();
        }
        Stats.ElapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        Close();
        if (Gone) {
            Stats.UnreadAtRemoval = Check.Outstanding();
            Stats.State = PortState::Gone;
        } else {
            Stats.State = Broken ? PortState::Failed : PortState::Done;
        }
    }

private:
    // After the removal every failure is expected, since the port is gone.
    bool ExpectedWriteError(DWORD error) const { return Control.Removed || Conditions.ExpectedWriteError(error); }

    void Unexpected(const std::string& what)
    {
        ++Stats.UnexpectedFailures;
        Stats.Note(what);
    }

    void Expected(DWORD error, const std::string& what)
    {
        ++Stats.ExpectedFailures;
        Stats.NoteExpected(Describe(error), what);
    }

    bool Open()
    {
        const std::string name = "\\\\.\\" + Stats.ComName;
        Handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                             nullptr);
        if (Handle == INVALID_HANDLE_VALUE) {
            Unexpected("CreateFile failed: " + Describe(GetLastError()));
            return false;
        }
        DCB dcb{};
        if (!GetCommState(Handle, &dcb)) {
            Unexpected("GetCommState failed: " + Describe(GetLastError()));
            return false;
        }
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.fParity = 0;
        dcb.StopBits = ONESTOPBIT;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        if (!SetCommState(Handle, &dcb)) {
            Unexpected("SetCommState failed: " + Describe(GetLastError()));
            return false;
        }
        // No time-outs: this driver does not bound reads by them anyway, and
        // every wait below has its own limit.
        COMMTIMEOUTS timeouts{};
        if (!SetCommTimeouts(Handle, &timeouts)) {
            Unexpected("SetCommTimeouts failed: " + Describe(GetLastError()));
            return false;
        }
        if (!PurgeComm(Handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
            Unexpected("PurgeComm failed: " + Describe(GetLastError()));
            return false;
        }
        return true;
    }

    void Close()
    {
        if (Handle == INVALID_HANDLE_VALUE) {
            return;
        }
        if (ReadPending) {
            CancelIoEx(Handle, &ReadOverlapped);
            DWORD got = 0;
            if (GetOverlappedResultEx(Handle, &ReadOverlapped, &got, 5000, FALSE)) {
                Consume(got);
            } else if (GetLastError() == WAIT_TIMEOUT) {
                Unexpected("a cancelled read did not complete within 5 s");
            }
            ReadPending = false;
        }
        CloseHandle(Handle);
        Handle = INVALID_HANDLE_VALUE;
    }

    void Consume(DWORD count)
    {
        if (count == 0) {
            return;
        }
        Stats.Read += count;
        if (!Check.Feed(ReadBuffer.data(), count)) {
            ++Stats.Mismatches;
            Stats.Note("byte " + std::to_string(Check.BytesRead()) + " of the stream read back was not written there" +
                       " (read 0x" + ToHex(ReadBuffer[Check.MismatchAt()]) + ")");
            Broken = true;
        }
        Stats.ResentDelivered = Check.PossiblyTakenDelivered();
    }

    static std::string ToHex(uint8_t value)
    {
        static const char digits[] = "0123456789abcdef";
        return {digits[value >> 4], digits[value & 15]};
    }

    // Keeps one read posted; it takes what the port holds or waits for data.
    void PostRead()
    {
        while (!ReadPending && !Broken && !Gone) {
            DWORD got = 0;
            if (ReadFile(Handle, ReadBuffer.data(), kReadBufferSize, &got, &ReadOverlapped)) {
                Consume(got);
                continue;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                ReadPending = true;
            } else {
                ReadFailed(error);
            }
        }
    }

    void ReadFailed(DWORD error)
    {
        if (Control.Removed) {
            Expected(error, "a read ended with it after the removal");
            Gone = true;
        } else {
            Unexpected("read failed: " + Describe(error));
            Broken = true;
        }
    }

    // True when the posted read ended within the wait.
    bool AwaitRead(std::chrono::milliseconds wait)
    {
        DWORD got = 0;
        if (GetOverlappedResultEx(Handle, &ReadOverlapped, &got, static_cast<DWORD>(wait.count()), FALSE)) {
            ReadPending = false;
            Consume(got);
            return true;
        }
        // A zero wait on a read still in progress answers ERROR_IO_INCOMPLETE.
        const DWORD error = GetLastError();
        if (error == WAIT_TIMEOUT || error == ERROR_IO_INCOMPLETE) {
            return false;
        }
        ReadPending = false;
        ReadFailed(error);
        return true;
    }

    void WriteBlock()
    {
        std::uniform_int_distribution<size_t> sizes(Settings.MinSize, Settings.MaxSize);
        const size_t length = sizes(Rng);
        for (size_t i = 0; i < length; ++i) {
            Block[i] = static_cast<uint8_t>(Rng());
        }

        size_t offset = 0;
        int failuresInARow = 0;
        int emptyWrites = 0;
        auto lastTaken = Clock::now();
        while (offset < length && !Broken && !Gone) {
            Conditions.BeforeWrite(Rng);
            PostRead();
            if (Broken || Gone) {
                return;
            }
            const size_t remaining = length - offset;
            DWORD accepted = 0;
            const DWORD error = Write(Block.data() + offset, remaining, accepted);
            ++Stats.Writes;
            Check.ExpectAccepted(Block.data() + offset, accepted);
            Stats.Accepted += accepted;
            if (const auto acknowledged = Conditions.AcknowledgedChunks(remaining, accepted, error)) {
                Stats.AckedChunks += *acknowledged;
            }

            if (error == ERROR_BUSY && Conditions.BusyExpected() && !Control.Removed) {
                ++Stats.BusyWrites;
                if (accepted != 0) {
                    lastTaken = Clock::now();
                } else if (Clock::now() - lastTaken > kLoopbackLimit) {
                    Unexpected("busy writes took nothing for " + std::to_string(kLoopbackLimit.count()) +
                               " s; the port is given up");
                    Broken = true;
                } else {
                    // The FIFO drains at the line rate; the loopback is read meanwhile.
                    PostRead();
                    if (ReadPending) {
                        AwaitRead(std::chrono::milliseconds(1));
                    }
                }
                // The rest goes at once: what this block has outstanding
                // never exceeds the block, which the port's ring holds.
                offset += accepted;
                continue;
            }
            if (error != ERROR_SUCCESS) {
                const std::string what = "write of " + std::to_string(remaining) + " bytes failed after " +
                                         std::to_string(accepted);
                if (ExpectedWriteError(error)) {
                    Expected(error, what);
                } else {
                    Unexpected(what + ": " + Describe(error));
                }
                if (Conditions.FailedChunkMayArrive(error)) {
                    Check.ExpectPossibly(Block.data() + offset + accepted,
                                         std::min(kChunkSize, remaining - accepted));
                }
                failuresInARow = accepted != 0 ? 0 : failuresInARow + 1;
                if (Control.Removed) {
                    Gone = true;
                } else if (failuresInARow == kFailuresInARow) {
                    Unexpected(std::to_string(kFailuresInARow) + " writes in a row failed taking nothing; the port is "
                               "given up");
                    Broken = true;
                }
            } else {
                failuresInARow = 0;
                if (accepted < remaining) {
                    ++Stats.ShortWrites;
                    if (!Conditions.ShortWriteExpected()) {
                        Unexpected("write of " + std::to_string(remaining) + " bytes took only " +
                                   std::to_string(accepted));
                    }
                }
                emptyWrites = accepted == 0 ? emptyWrites + 1 : 0;
                if (emptyWrites == 3) {
                    Unexpected("three writes in a row took nothing; the port is given up");
                    Broken = true;
                }
            }
            offset += accepted;
            AwaitLoopback();
        }
    }

    // Writes and waits for the result; returns the Win32 error, or
    // ERROR_SUCCESS, with the count the driver reported in `accepted`.
    DWORD Write(const uint8_t* data, size_t length, DWORD& accepted)
    {
        // Its own event: the read is in progress on the same handle, and a
        // wait on the handle itself would end with whichever completes first.
        OVERLAPPED overlapped{};
        overlapped.hEvent = WriteEvent;
        if (WriteFile(Handle, data, static_cast<DWORD>(length), &accepted, &overlapped)) {
            return ERROR_SUCCESS;
        }
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            return error;
        }
        const auto start = Clock::now();
        for (;;) {
            if (GetOverlappedResultEx(Handle, &overlapped, &accepted, static_cast<DWORD>(kPoll.count()), FALSE)) {
                return ERROR_SUCCESS;
            }
            error = GetLastError();
            if (error != WAIT_TIMEOUT && error != ERROR_IO_INCOMPLETE) {
                return error;
            }
            if (Clock::now() - start > WriteLimit) {
                Unexpected("a write did not complete within " + std::to_string(WriteLimit.count()) + " s; cancelled");
                CancelIoEx(Handle, &overlapped);
                if (GetOverlappedResult(Handle, &overlapped, &accepted, TRUE)) {
                    return ERROR_SUCCESS;
                }
                Broken = true;
                return GetLastError();
            }
        }
    }

    // Reads until every accepted byte has come back.
    void AwaitLoopback()
    {
        auto lastProgress = Clock::now();
        uint64_t outstanding = Check.Outstanding();
        while (outstanding != 0 && !Broken && !Gone) {
            // A read that completes at once may take the last bytes; the one
            // posted after it then waits for data that is not coming.
            PostRead();
            if (Broken || Gone) {
                break;
            }
            if (Check.Outstanding() != 0) {
                AwaitRead(kPoll);
            }
            const uint64_t now = Check.Outstanding();
            if (now != outstanding) {
                outstanding = now;
                lastProgress = Clock::now();
            } else if (Clock::now() - lastProgress > kLoopbackLimit && !Control.Removed) {
                Stats.Lost += outstanding;
                Unexpected(std::to_string(outstanding) + " accepted bytes never came back");
                Broken = true;
            }
        }
    }

    // Once the traffic ends nothing may arrive beyond what was accepted (or
    // possibly taken); a duplicated chunk would show here.
    void CheckNothingMoreArrives()
    {
        const auto until = Clock::now() + std::chrono::milliseconds(150);
        while (!Broken && !Gone && Clock::now() < until) {
            PostRead();
            if (ReadPending) {
                AwaitRead(std::chrono::milliseconds(50));
            }
        }
    }

    PortStats& Stats;
    const TrafficOptions& Settings;
    PortConditions& Conditions;
    RunControl& Control;
    const std::chrono::seconds WriteLimit;
    std::mt19937_64 Rng;
    std::vector<uint8_t> Block;
    std::vector<uint8_t> ReadBuffer;
    LoopbackCheck Check;
    HANDLE Handle = INVALID_HANDLE_VALUE;
    OVERLAPPED ReadOverlapped{};
    HANDLE WriteEvent = nullptr;
    bool ReadPending = false;
    bool Broken = false;
    bool Gone = false;
};

} // namespace

void PortStats::Note(const std::string& text)
{
    std::lock_guard<std::mutex> guard(NotesLock);
    if (NotesList.size() < kNotesKept) {
        NotesList.push_back(text);
    } else {
        ++NotesDropped;
    }
}

void PortStats::NoteExpected(const std::string& kind, const std::string& text)
{
    std::lock_guard<std::mutex> guard(NotesLock);
    for (ExpectedKind& entry : ExpectedKinds) {
        if (entry.Kind == kind) {
            ++entry.Count;
            return;
        }
    }
    ExpectedKinds.push_back({kind, 1, text});
}

std::vector<std::string> PortStats::Notes()
{
    std::lock_guard<std::mutex> guard(NotesLock);
    std::vector<std::string> notes;
    for (const ExpectedKind& entry : ExpectedKinds) {
        notes.push_back(std::to_string(entry.Count) + " x " + entry.Kind + " as the scenario expects (first: " +
                        entry.First + ")");
    }
    notes.insert(notes.end(), NotesList.begin(), NotesList.end());
    if (NotesDropped != 0) {
        notes.push_back("... and " + std::to_string(NotesDropped) + " more");
    }
    return notes;
}

void RunPort(PortStats& stats, PortConditions& conditions, const WorkerConfig& config)
{
    PortSession(stats, conditions, config).Run();
}

const char* ChannelName(unsigned port)
{
    if (port < 2) {
        return "CAN FD";
    }
    return port < 6 ? "RS485" : "RS232";
}

} // namespace demo
