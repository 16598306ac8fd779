// The pipe's state machine, the same on every platform: when an instance exists, when a
// client counts as connected, when one is dropped, and how a stop ends it all. The system
// calls behind it are in pipe_win.cpp and pipe_posix.cpp (see pipe_os.h).
#include "frontend/pipe.h"

#include "frontend/pipe_os.h"
#include "log/log.h"
#include "utils/text.h"

namespace {

// The pause between two passes of the pipe thread. It bounds how late the thread notices
// a connected client's departure (when no send notices it first), and paces the retries
// after an instance could not be made.
constexpr uint32_t kPassPauseMs = 100;

}  // namespace

Pipe::Pipe(const std::string& name, bool is_server, uint32_t buffer_size)
    : is_server(is_server), buffer_size(buffer_size), name(name), os(pipe_os::make(name)) {}

Pipe::~Pipe() { stop(); }

int Pipe::open() { return is_server ? create_server() : connect_to_server(); }

int Pipe::create_server() {
    if (!is_server) return -1;
    std::lock_guard<std::mutex> guard(lock);
    if (pipe_os::has_handle(*os)) return 0;
    if (pipe_os::create_instance(*os, name, buffer_size)) return 0;
    LOG_WARN("Pipe::create_server", "Failed to create named pipe, GLE=%lu\n",
             pipe_os::last_error());
    drop_peer();
    return -1;
}

int Pipe::connect_to_server() {
    if (is_server) return -1;
    if (!make_stop_signal()) return -1;
    std::lock_guard<std::mutex> guard(lock);
    const pipe_os::Open opened = pipe_os::open_client(*os, name);
    if (opened != pipe_os::Open::kOpen) {
        // No server is running: expected, and not worth a line.
        if (opened == pipe_os::Open::kFailed)
            LOG_WARN("Pipe::connect_to_server", "Failed to create named pipe: %s",
                     last_error_text().c_str());
        connected = false;
        return -1;
    }
    if (!pipe_os::set_message_mode(*os)) return -1;
    connected = true;
    return 0;
}

int Pipe::run() {
    if (!is_server) return -1;
    if (pipe_os::has_thread(*os)) return 0;
    if (!make_stop_signal()) return -1;
    return pipe_os::start_thread(*os, this, thread_id) ? 0 : -1;
}

uint32_t Pipe::wait_for_connect(Pipe* pipe) {
    if (pipe == nullptr) return 0xFFFFFFFF;
    while (!pipe->stop_requested) {
        pipe->create_server();
        pipe->serve_instance();
        pipe_os::wait_for_stop(*pipe->os, kPassPauseMs);
    }
    return 0;
}

void Pipe::serve_instance() {
    std::unique_lock<std::mutex> guard(lock);
    if (!pipe_os::has_handle(*os) || !is_server) return;
    unsigned long error = 0;
    pipe_os::Instance instance = pipe_os::check_instance(*os, connected, error);
    if (instance == pipe_os::Instance::kListening) {
        // Without a client no send touches the instance, and stop waits for this thread
        // before it closes anything, so the instance stays put while unlocked.
        connected = false;
        guard.unlock();
        const bool ready = pipe_os::wait_for_client(*os);
        guard.lock();
        instance = pipe_os::finish_connect(*os, ready, stop_requested, buffer_size, error);
    }
    switch (instance) {
        case pipe_os::Instance::kConnected:
            connected = true;
            return;
        case pipe_os::Instance::kFailed:
            LOG_WARN("Pipe::wait_for_connect", "Failed on ConnectNamedPipe(), GLE=%lu\n", error);
            drop_peer();
            return;
        case pipe_os::Instance::kStopped:
            drop_peer();
            return;
        case pipe_os::Instance::kListening:
        case pipe_os::Instance::kUnchanged:
            return;
    }
}

void Pipe::drop_peer() {
    pipe_os::close(*os, is_server);
    connected = false;
}

bool Pipe::send(const void* data, uint32_t length) {
    if (!connected) return false;
    std::lock_guard<std::mutex> guard(lock);
    // The pipe thread may have closed the instance while we waited for the lock.
    if (!connected || !pipe_os::has_handle(*os)) return false;
    switch (pipe_os::write(*os, data, length)) {
        case pipe_os::Write::kWritten:
            return true;
        case pipe_os::Write::kBroken:
            // The client has gone. Until the pipe thread notices, every message would
            // fail and be logged again: it is dropped now, and the next sends return at once.
        case pipe_os::Write::kStalled:
            // A client that has not taken a message within a second does not read; every
            // later message would cost another second, so that client goes.
            drop_peer();
            return false;
        case pipe_os::Write::kFailed:
            return false;
    }
    return false;
}

int Pipe::receive(std::string& message, uint32_t timeout_ms) {
    if (is_server) return -1;
    std::lock_guard<std::mutex> guard(lock);
    if (!connected || !pipe_os::has_handle(*os)) return -1;
    std::string text;
    switch (pipe_os::read(*os, text, buffer_size, timeout_ms)) {
        case pipe_os::Read::kMessage:
            message.swap(text);
            return static_cast<int>(message.size());
        case pipe_os::Read::kNothing:
            // Out of time, the connection stays; or stopped, and stop closes it.
            return -1;
        case pipe_os::Read::kFailed:
            LOG_WARN("Pipe::receive", "Failed to read from named pipe: %s",
                     last_error_text().c_str());
            break;
        case pipe_os::Read::kGone:
            break;
    }
    drop_peer();
    return -1;
}

void Pipe::stop() {
    stop_requested = true;
    pipe_os::signal_stop(*os);
    pipe_os::join_thread(*os);
    std::lock_guard<std::mutex> guard(lock);
    drop_peer();
}

bool Pipe::make_stop_signal() {
    if (pipe_os::make_stop_signal(*os)) return true;
    LOG_WARN("Pipe::make_stop_signal", "Failed to create event, GLE=%lu\n", pipe_os::last_error());
    return false;
}

bool checkLastError() {
    switch (pipe_os::classify(pipe_os::last_error())) {
        case pipe_os::Error::kRunning:
            return true;
        case pipe_os::Error::kBroken:
            LOG_WARN("checkLastError", "connection broken with error: %s",
                     last_error_text().c_str());
            return false;
        case pipe_os::Error::kOther:
            break;
    }
    LOG_WARN("checkLastError", "failed to communicate with client: %s", last_error_text().c_str());
    return false;
}
