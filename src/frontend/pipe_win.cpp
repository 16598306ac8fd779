// The upgrade pipe's system calls on Windows: a named pipe in message mode with overlapped
// I/O, so that every wait can also watch the stop event. pipe.cpp drives them.
#include <vector>

#include "frontend/pipe.h"
#include "frontend/pipe_os.h"
#include "log/log.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"

struct pipe_os::State {
    // The pipe instance (server) or the client's end.
    utils::ScopedKernelHandle handle;
    // A manual-reset event: once set it wakes every wait that follows.
    utils::ScopedKernelHandle stop_signal;
    // The pipe thread's event and record for its overlapped connect.
    utils::ScopedKernelHandle connect_event;
    OVERLAPPED connect_record{};
    utils::ScopedKernelHandle thread;
};

namespace {

using pipe_os::State;

constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;

DWORD WINAPI pipe_thread_main(LPVOID pipe) {
    return Pipe::wait_for_connect(static_cast<Pipe*>(pipe));
}

// Creates an unnamed event; false after a log line.
bool make_event(utils::ScopedKernelHandle& event, bool manual_reset, const char* function) {
    event.reset(CreateEventW(nullptr, manual_reset, FALSE, nullptr));
    if (event.valid()) return true;
    LOG_WARN(function, "Failed to create event, GLE=%lu\n", GetLastError());
    return false;
}

// The record and its event may be released only once the operation is over. Returns
// true when the operation was still running and had to be cancelled.
bool cancel_and_await(HANDLE handle, OVERLAPPED* overlapped) {
    const bool was_running = CancelIoEx(handle, overlapped) != FALSE;
    DWORD ignored = 0;
    GetOverlappedResult(handle, overlapped, &ignored, TRUE);
    return was_running;
}

bool is_broken_connection(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
           error == ERROR_PIPE_NOT_CONNECTED;
}

pipe_os::Instance connect_outcome(BOOL done, DWORD error, bool stopping) {
    if (done || error == ERROR_PIPE_CONNECTED) return pipe_os::Instance::kConnected;
    // A wait that our own stop cancelled is no failure.
    if (stopping && error == ERROR_OPERATION_ABORTED) return pipe_os::Instance::kStopped;
    return pipe_os::Instance::kFailed;
}

}  // namespace

void pipe_os::StateDeleter::operator()(State* state) const { delete state; }

std::unique_ptr<State, pipe_os::StateDeleter> pipe_os::make(const std::string&) {
    return std::unique_ptr<State, StateDeleter>(new State);
}

unsigned long pipe_os::last_error() { return GetLastError(); }

pipe_os::Error pipe_os::classify(unsigned long error) {
    if (error == ERROR_SUCCESS || error == ERROR_IO_PENDING) return Error::kRunning;
    return is_broken_connection(error) ? Error::kBroken : Error::kOther;
}

bool pipe_os::has_handle(const State& state) { return state.handle.valid(); }

bool pipe_os::create_instance(State& state, const std::string& name, uint32_t buffer_size) {
    state.handle.reset(CreateNamedPipeW(widen(name).c_str(), kOpenMode, kPipeMode,
                                        PIPE_UNLIMITED_INSTANCES, buffer_size, buffer_size, 0,
                                        nullptr));
    return state.handle.valid();
}

pipe_os::Open pipe_os::open_client(State& state, const std::string& name) {
    state.handle.reset(CreateFileW(widen(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (state.handle.valid()) return Open::kOpen;
    return GetLastError() == ERROR_FILE_NOT_FOUND ? Open::kNoPipe : Open::kFailed;
}

bool pipe_os::set_message_mode(State& state) {
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (SetNamedPipeHandleState(state.handle.get(), &mode, nullptr, nullptr)) return true;
    LOG_WARN("Pipe::connect_to_server", "Failed to set named pipe mode: %s",
             last_error_text().c_str());
    return false;
}

void pipe_os::close(State& state, bool is_server) {
    if (state.handle.valid() && is_server) DisconnectNamedPipe(state.handle.get());
    state.handle.reset();
}

pipe_os::Instance pipe_os::check_instance(State& state, bool, unsigned long& error) {
    state.connect_record = OVERLAPPED{};
    state.connect_record.hEvent = state.connect_event.get();
    ResetEvent(state.connect_record.hEvent);
    // With a client connected this answers ERROR_PIPE_CONNECTED at once; after the client
    // has closed its end it fails (ERROR_NO_DATA), which is how its departure is noticed.
    const BOOL done = ConnectNamedPipe(state.handle.get(), &state.connect_record);
    error = done ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_PENDING) return Instance::kListening;
    return connect_outcome(done, error, false);
}

bool pipe_os::wait_for_client(State& state) {
    const HANDLE waits[] = {state.connect_record.hEvent, state.stop_signal.get()};
    return WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0;
}

pipe_os::Instance pipe_os::finish_connect(State& state, bool ready, bool stopping, uint32_t,
                                          unsigned long& error) {
    const HANDLE instance = state.handle.get();
    if (!ready) CancelIoEx(instance, &state.connect_record);
    DWORD ignored = 0;
    const BOOL done = GetOverlappedResult(instance, &state.connect_record, &ignored, TRUE);
    error = done ? ERROR_SUCCESS : GetLastError();
    return connect_outcome(done, error, stopping);
}

pipe_os::Write pipe_os::write(State& state, const void* data, uint32_t length) {
    const HANDLE pipe = state.handle.get();
    utils::ScopedKernelHandle event;
    if (!make_event(event, false, "Pipe::send")) return Write::kFailed;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    if (!WriteFile(pipe, data, length, nullptr, &overlapped)) {
        const DWORD error = GetLastError();
        if (!checkLastError()) return is_broken_connection(error) ? Write::kBroken : Write::kFailed;
    }
    if (doPipeWait(pipe, &overlapped, length, state.stop_signal.get())) return Write::kWritten;
    // A write still running after its second (or the stop) is stalled; one that ended in
    // the meantime is not.
    return cancel_and_await(pipe, &overlapped) ? Write::kStalled : Write::kFailed;
}

pipe_os::Read pipe_os::read(State& state, std::string& message, uint32_t buffer_size,
                            uint32_t timeout_ms) {
    const HANDLE pipe = state.handle.get();
    utils::ScopedKernelHandle event;
    if (!make_event(event, true, "Pipe::receive")) return Read::kNothing;
    std::vector<char> piece(buffer_size > 0 ? buffer_size : 1);
    // A message longer than the buffer arrives in pieces (ERROR_MORE_DATA); the rest of
    // it is in the pipe already, so the time limit matters for the first piece only.
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        BOOL done =
            ReadFile(pipe, piece.data(), static_cast<DWORD>(piece.size()), nullptr, &overlapped);
        DWORD error = done ? ERROR_SUCCESS : GetLastError();
        DWORD count = 0;
        if (done || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
            const HANDLE waits[] = {overlapped.hEvent, state.stop_signal.get()};
            const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, timeout_ms);
            if (woke != WAIT_OBJECT_0) CancelIoEx(pipe, &overlapped);
            done = GetOverlappedResult(pipe, &overlapped, &count, TRUE);
            error = done ? ERROR_SUCCESS : GetLastError();
        }
        if (done || error == ERROR_MORE_DATA) message.append(piece.data(), count);
        if (done) return Read::kMessage;
        if (error == ERROR_MORE_DATA) continue;
        // Cancelled: the time ran out or stop was called.
        if (error == ERROR_OPERATION_ABORTED) return Read::kNothing;
        return is_broken_connection(error) ? Read::kGone : Read::kFailed;
    }
}

bool pipe_os::make_stop_signal(State& state) {
    if (!state.stop_signal.valid())
        state.stop_signal.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return state.stop_signal.valid();
}

void pipe_os::signal_stop(State& state) {
    if (state.stop_signal.valid()) SetEvent(state.stop_signal.get());
}

void pipe_os::wait_for_stop(State& state, uint32_t timeout_ms) {
    WaitForSingleObject(state.stop_signal.get(), timeout_ms);
}

bool pipe_os::has_thread(const State& state) { return state.thread.valid(); }

bool pipe_os::start_thread(State& state, Pipe* pipe, uint32_t& thread_id) {
    if (!state.connect_event.valid() && !make_event(state.connect_event, true, "Pipe::run"))
        return false;
    DWORD id = 0;
    state.thread.reset(CreateThread(nullptr, 0, pipe_thread_main, pipe, 0, &id));
    if (!state.thread.valid()) {
        LOG_WARN("Pipe::run", "CreateThread failed, GLE=%d.\n", static_cast<int>(GetLastError()));
        return false;
    }
    thread_id = id;
    return true;
}

void pipe_os::join_thread(State& state) {
    if (!state.thread.valid()) return;
    WaitForSingleObject(state.thread.get(), INFINITE);
    state.thread.reset();
}

bool doPipeWait(HANDLE handle, OVERLAPPED* overlapped, DWORD expected, HANDLE stop_signal) {
    const HANDLE waits[] = {overlapped->hEvent, stop_signal};
    const DWORD count = (stop_signal != nullptr && stop_signal != INVALID_HANDLE_VALUE) ? 2 : 1;
    const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, pipe_os::kWriteLimitMs);
    if (woke == WAIT_OBJECT_0) {
        DWORD transferred = 0;
        if (GetOverlappedResult(handle, overlapped, &transferred, FALSE) && transferred == expected)
            return true;
        LOG_WARN("doPipeWait", "async read failed: %s", last_error_text().c_str());
        return false;
    }
    if (count == 2 && woke == WAIT_OBJECT_0 + 1) return false;
    if (woke == WAIT_TIMEOUT) {
        LOG_WARN("doPipeWait", "connection timeout");
        return false;
    }
    LOG_WARN("doPipeWait", "failed to communicate with client: %s", last_error_text().c_str());
    return false;
}
