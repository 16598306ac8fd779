#include <atomic>
#include <vector>

#include "child_output.h"
#include "utils/scoped_handle.h"

namespace {

using utils::ScopedKernelHandle;

constexpr DWORD kPipeBufferBytes = 64 * 1024;
constexpr DWORD kDrainMs = 2000;

// An inbound pipe whose reading end (ours, overlapped) waits for the child's end to
// write. A named pipe rather than CreatePipe: anonymous pipes cannot be read overlapped,
// and a blocked synchronous read could not be given up.
bool make_output_pipe(ScopedKernelHandle& read_end, ScopedKernelHandle& write_end) {
    static std::atomic<unsigned> serial{0};
    const std::wstring name = L"\\\\.\\pipe\\upgrade-watch-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(serial++);
    read_end.reset(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        kPipeBufferBytes, 0, nullptr));
    if (!read_end.valid()) return false;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    write_end.reset(CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, &inherit,
                                OPEN_EXISTING, 0, nullptr));
    return write_end.valid();
}

// Starts the child with its standard output on `write_end`, its input on NUL and its
// errors on ours. Null, with `result.error` set, when it could not be started.
HANDLE start_child(std::wstring& command_line, HANDLE write_end, ChildResult& result) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    ScopedKernelHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inherit, OPEN_EXISTING, 0, nullptr));
    HANDLE error_out = nullptr;
    ScopedKernelHandle error_copy;
    const HANDLE own_error = GetStdHandle(STD_ERROR_HANDLE);
    if (own_error != nullptr && own_error != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), own_error, GetCurrentProcess(), &error_out, 0, TRUE,
                        DUPLICATE_SAME_ACCESS))
        error_copy.reset(error_out);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = write_end;
    startup.hStdError = error_copy.get();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        result.error = GetLastError();
        return nullptr;
    }
    result.started = true;
    CloseHandle(process.hThread);
    return process.hProcess;
}

void note_end(HANDLE child, ChildResult& result) {
    result.ended = true;
    DWORD code = 0;
    GetExitCodeProcess(child, &code);
    result.exit_code = code;
}

// Waits for one overlapped read of the output to complete, noting the child's end on the
// way. False when the reading stops: on `stop_event` (then `stopped` is set), or when the
// output has paused long after the child's end; the read is then given up.
bool await_read(HANDLE read_end, OVERLAPPED& overlapped, HANDLE stop_event, HANDLE child,
                ChildResult& result, bool& stopped) {
    for (;;) {
        HANDLE waits[] = {overlapped.hEvent, stop_event, child};
        const DWORD count = result.ended ? 2 : 3;
        const DWORD woke =
            WaitForMultipleObjects(count, waits, FALSE, result.ended ? kDrainMs : INFINITE);
        if (woke == WAIT_OBJECT_0) return true;
        if (woke == WAIT_OBJECT_0 + 2) {
            note_end(child, result);
            continue;
        }
        // Keeps what the read may have completed meanwhile.
        stopped = woke == WAIT_OBJECT_0 + 1;
        CancelIoEx(read_end, &overlapped);
        return false;
    }
}

// Hands the output to `on_output` until it ends, the reading stops, or `stop_event` is
// set. True when stopped.
bool pump_output(HANDLE read_end, HANDLE event, HANDLE stop_event, HANDLE child,
                 ChildResult& result, const std::function<void(const char*, size_t)>& on_output) {
    std::vector<char> buffer(4096);
    bool reading = true;
    bool stopped = false;
    while (reading && !stopped) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        ResetEvent(event);
        if (!ReadFile(read_end, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                      &overlapped) &&
            GetLastError() != ERROR_IO_PENDING)
            break;  // the end of the output (ERROR_BROKEN_PIPE) or a broken pipe
        reading = await_read(read_end, overlapped, stop_event, child, result, stopped);
        DWORD received = 0;
        const BOOL done = GetOverlappedResult(read_end, &overlapped, &received, TRUE);
        if (done && received > 0) on_output(buffer.data(), received);
        if (!done && GetLastError() != ERROR_MORE_DATA) reading = false;
    }
    return stopped;
}

}  // namespace

ChildResult run_with_output(std::wstring command_line, HANDLE stop_event,
                            const std::function<void(const char*, size_t)>& on_output) {
    ChildResult result;
    ScopedKernelHandle read_end;
    ScopedKernelHandle write_end;
    ScopedKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event.valid() || !make_output_pipe(read_end, write_end)) {
        result.error = GetLastError();
        return result;
    }
    ScopedKernelHandle child(start_child(command_line, write_end.get(), result));
    if (!child.valid()) return result;
    // Only the child holds the writing end now, so its end (and that of everyone who
    // inherited it) ends the output.
    write_end.reset();

    const bool stopped =
        pump_output(read_end.get(), event.get(), stop_event, child.get(), result, on_output);
    if (!result.ended && !stopped) {
        // The output ended first (the child closed it); wait for the end itself.
        HANDLE waits[] = {child.get(), stop_event};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0)
            note_end(child.get(), result);
    }
    return result;
}
