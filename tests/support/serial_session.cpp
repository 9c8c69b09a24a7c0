#include "support/serial_session.h"

#include "support/overlapped.h"

namespace test {

namespace {

// Generous: an operation that has not ended by then is taken as hung and cancelled.
constexpr DWORD kBoundMs = 10'000;

bool Finish(HANDLE port, OVERLAPPED& operation, DWORD& transferred)
{
    if (GetOverlappedResultEx(port, &operation, &transferred, kBoundMs, FALSE)) {
        return true;
    }
    if (GetLastError() == WAIT_TIMEOUT) {
        CancelIoEx(port, &operation);
        GetOverlappedResultEx(port, &operation, &transferred, kBoundMs, FALSE);
    }
    return false;
}

std::vector<uint8_t> ReadUpTo(HANDLE port, size_t count)
{
    std::vector<uint8_t> data;
    while (data.size() < count) {
        std::vector<uint8_t> chunk(count - data.size());
        EventOverlapped operation;
        DWORD got = 0;
        BOOL done = ReadFile(port, chunk.data(), static_cast<DWORD>(chunk.size()), &got, &operation);
        if (!done && GetLastError() == ERROR_IO_PENDING) {
            done = Finish(port, operation, got);
        }
        if (!done || got == 0) {
            break;
        }
        data.insert(data.end(), chunk.begin(), chunk.begin() + got);
    }
    return data;
}

} // namespace

std::vector<SessionOutcome> RunSession(const std::vector<SessionStep>& steps)
{
    std::vector<SessionOutcome> outcomes;
    for (const SessionStep& step : steps) {
        SessionOutcome outcome;
        const HANDLE port = CreateFileA(step.ComName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        outcome.Opened = port != INVALID_HANDLE_VALUE;
        if (outcome.Opened) {
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            if (GetCommState(port, &dcb)) {
                dcb.BaudRate = 57600;
                dcb.ByteSize = 8;
                dcb.Parity = NOPARITY;
                dcb.StopBits = ONESTOPBIT;
                outcome.Configured = SetCommState(port, &dcb) == TRUE;
            }
            if (step.BeforeWrite) {
                step.BeforeWrite();
            }
            EventOverlapped write;
            BOOL done = WriteFile(port, step.Block.data(), static_cast<DWORD>(step.Block.size()), &outcome.Written,
                                  &write);
            if (!done && GetLastError() == ERROR_IO_PENDING) {
                done = Finish(port, write, outcome.Written);
            }
            if (!done) {
                outcome.WriteError = GetLastError();
            }
            outcome.Read = ReadUpTo(port, outcome.Written);
            CloseHandle(port);
        }
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

} // namespace test
