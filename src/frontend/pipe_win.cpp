#include <vector>

#include "frontend/pipe.h"
#include "log/log.h"
#include "utils/text.h"

namespace {

constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
constexpr DWORD kWriteLimitMs = 1000;
constexpr DWORD kPassPauseMs = 100;

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

}  // namespace

Pipe::Pipe(const std::string& name, bool is_server, uint32_t buffer_size)
    : is_server(is_server), buffer_size(buffer_size), name(name) {}

Pipe::~Pipe() { stop(); }

int Pipe::open() { return is_server ? create_server() : connect_to_server(); }

int Pipe::create_server() {
    if (!is_server) return -1;
    std::lock_guard<std::mutex> guard(lock);
    if (handle.valid()) return 0;
    handle.reset(CreateNamedPipeA(name.c_str(), kOpenMode, kPipeMode, PIPE_UNLIMITED_INSTANCES,
                                  buffer_size, buffer_size, 0, nullptr));
    if (!handle.valid()) {
        LOG_WARN("Pipe::create_server", "Failed to create named pipe, GLE=%lu\n", GetLastError());
        return -1;
    }
    return 0;
}

int Pipe::connect_to_server() {
    if (is_server) return -1;
    if (!make_stop_signal()) return -1;
    std::lock_guard<std::mutex> guard(lock);
    handle.reset(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr));
    if (!handle.valid()) {
        // No server is running: expected, and not worth a line.
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            LOG_WARN("Pipe::connect_to_server", "Failed to create named pipe: %s",
                     last_error_text().c_str());
        connected = false;
        return -1;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(handle.get(), &mode, nullptr, nullptr)) {
        LOG_WARN("Pipe::connect_to_server", "Failed to set named pipe mode: %s",
                 last_error_text().c_str());
        return -1;
    }
    connected = true;
    return 0;
}

int Pipe::run() {
    if (!is_server) return -1;
    if (thread.valid()) return 0;
    if (!make_stop_signal()) return -1;
    if (!connect_event.valid() && !make_event(connect_event, true, "Pipe::run")) return -1;
    DWORD id = 0;
    thread.handle.reset(CreateThread(nullptr, 0, pipe_thread_main, this, 0, &id));
    if (!thread.valid()) {
        LOG_WARN("Pipe::run", "CreateThread failed, GLE=%d.\n", static_cast<int>(GetLastError()));
        return -1;
    }
    thread_id = id;
    return 0;
}

uint32_t Pipe::wait_for_connect(Pipe* pipe) {
    if (pipe == nullptr) return 0xFFFFFFFF;
    while (!pipe->stop_requested) {
        pipe->create_server();
        pipe->serve_instance();
        WaitForSingleObject(pipe->stop_signal.get(), kPassPauseMs);
    }
    return 0;
}

void Pipe::serve_instance() {
    std::unique_lock<std::mutex> guard(lock);
    if (!handle.valid() || !is_server) return;
    const HANDLE instance = handle.get();
    OVERLAPPED overlapped{};
    overlapped.hEvent = connect_event.get();
    ResetEvent(overlapped.hEvent);
    // With a client connected this answers ERROR_PIPE_CONNECTED at once; after the client
    // has closed its end it fails (ERROR_NO_DATA), which is how its departure is noticed.
    BOOL done = ConnectNamedPipe(instance, &overlapped);
    DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_PENDING) {
        // Listening. Without a client no send touches the instance, and stop waits for
        // this thread before it closes anything, so the handle stays put while unlocked.
        connected = false;
        guard.unlock();
        const HANDLE waits[] = {overlapped.hEvent, stop_signal.get()};
        const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        guard.lock();
        if (woke != WAIT_OBJECT_0) CancelIoEx(instance, &overlapped);
        DWORD ignored = 0;
        done = GetOverlappedResult(instance, &overlapped, &ignored, TRUE);
        error = done ? ERROR_SUCCESS : GetLastError();
    }
    if (done || error == ERROR_PIPE_CONNECTED) {
        connected = true;
        return;
    }
    connected = false;
    // A wait that our own stop cancelled is no failure.
    if (!(stop_requested && error == ERROR_OPERATION_ABORTED))
        LOG_WARN("Pipe::wait_for_connect", "Failed on ConnectNamedPipe(), GLE=%lu\n", error);
    handle.reset();
}

void Pipe::drop_peer() {
    if (handle.valid() && is_server) DisconnectNamedPipe(handle.get());
    handle.reset();
    connected = false;
}

bool Pipe::send(const void* data, uint32_t length) {
    if (!connected) return false;
    std::lock_guard<std::mutex> guard(lock);
    // The pipe thread may have closed the instance while we waited for the lock.
    if (!connected || !handle.valid()) return false;
    const HANDLE pipe = handle.get();
    utils::ScopedKernelHandle event;
    if (!make_event(event, false, "Pipe::send")) return false;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    if (!WriteFile(pipe, data, length, nullptr, &overlapped)) {
        const DWORD error = GetLastError();
        if (!checkLastError()) {
            // The client has gone. Until the pipe thread notices, every message would
            // fail and be logged again: it is dropped now, and the next sends return at once.
            if (is_broken_connection(error)) drop_peer();
            return false;
        }
    }
    if (doPipeWait(pipe, &overlapped, length, stop_signal.get())) return true;
    // A write still running after its second belongs to a client that does not read;
    // every later message would cost another second, so that client goes.
    if (cancel_and_await(pipe, &overlapped)) drop_peer();
    return false;
}

int Pipe::receive(std::string& message, uint32_t timeout_ms) {
    if (is_server) return -1;
    std::lock_guard<std::mutex> guard(lock);
    if (!connected || !handle.valid()) return -1;
    const HANDLE pipe = handle.get();
    utils::ScopedKernelHandle event;
    if (!make_event(event, true, "Pipe::receive")) return -1;
    std::vector<char> piece(buffer_size > 0 ? buffer_size : 1);
    std::string text;
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
            const HANDLE waits[] = {overlapped.hEvent, stop_signal.get()};
            const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, timeout_ms);
            if (woke != WAIT_OBJECT_0) CancelIoEx(pipe, &overlapped);
            done = GetOverlappedResult(pipe, &overlapped, &count, TRUE);
            error = done ? ERROR_SUCCESS : GetLastError();
        }
        if (done || error == ERROR_MORE_DATA) text.append(piece.data(), count);
        if (done) {
            message.swap(text);
            return static_cast<int>(message.size());
        }
        if (error == ERROR_MORE_DATA) continue;
        // Cancelled: the time ran out (the connection stays) or stop was called.
        if (error == ERROR_OPERATION_ABORTED) return -1;
        if (!is_broken_connection(error))
            LOG_WARN("Pipe::receive", "Failed to read from named pipe: %s",
                     last_error_text().c_str());
        drop_peer();
        return -1;
    }
}

void Pipe::stop() {
    stop_requested = true;
    signal_stop();
    if (thread.valid()) {
        WaitForSingleObject(thread.handle.get(), INFINITE);
        thread.handle.reset();
    }
    std::lock_guard<std::mutex> guard(lock);
    drop_peer();
}

bool Pipe::make_stop_signal() {
    // Manual reset: once set it wakes every wait that follows.
    return stop_signal.valid() || make_event(stop_signal, true, "Pipe::make_stop_signal");
}

void Pipe::signal_stop() {
    if (stop_signal.valid()) SetEvent(stop_signal.get());
}

bool doPipeWait(HANDLE handle, OVERLAPPED* overlapped, DWORD expected, HANDLE stop_signal) {
    const HANDLE waits[] = {overlapped->hEvent, stop_signal};
    const DWORD count = (stop_signal != nullptr && stop_signal != INVALID_HANDLE_VALUE) ? 2 : 1;
    const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, kWriteLimitMs);
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

bool checkLastError() {
    const DWORD error = GetLastError();
    if (error == ERROR_SUCCESS || error == ERROR_IO_PENDING) return true;
    if (is_broken_connection(error))
        LOG_WARN("checkLastError", "connection broken with error: %s", last_error_text().c_str());
    else
        LOG_WARN("checkLastError", "failed to communicate with client: %s",
                 last_error_text().c_str());
    return false;
}
