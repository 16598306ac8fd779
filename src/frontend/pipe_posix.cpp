#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "frontend/pipe.h"
#include "log/log.h"
#include "utils/text.h"

// The Windows pipe's states over a Unix-domain SOCK_SEQPACKET socket: "listening" is a
// listening socket bound at the socket path, "connected" the socket accepted from it
// (the listening one is closed then, so a second client finds no pipe, as it finds a busy
// one on Windows), "no instance" neither. The log lines are the Windows ones, with errno
// values where Windows gives its error codes.

namespace {

constexpr int kWriteLimitMs = 1000;
constexpr int kPassPauseMs = 100;

void* pipe_thread_main(void* pipe) {
    Pipe::wait_for_connect(static_cast<Pipe*>(pipe));
    return nullptr;
}

// "\\.\pipe\<name>" -> "<runtime folder>/<name>"; the runtime folder is the user's
// private one when the session has it.
std::string socket_path_for(const std::string& name) {
    const size_t separator = name.find_last_of("\\/");
    const std::string base = separator == std::string::npos ? name : name.substr(separator + 1);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string folder = (runtime != nullptr && *runtime != '\0') ? runtime : "/tmp";
    return folder + "/" + base;
}

// False with errno set when the path cannot be a socket address.
bool make_address(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.back() == '/' || path.size() >= sizeof address.sun_path) {
        errno = path.size() >= sizeof address.sun_path ? ENAMETOOLONG : EINVAL;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool is_broken_connection(int error) {
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN;
}

// poll() that resumes after signals; `timeout_ms` < 0 waits without limit.
int poll_for(pollfd* fds, nfds_t count, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int ready = poll(fds, count, timeout_ms);
        if (ready >= 0 || errno != EINTR) return ready;
        if (timeout_ms < 0) continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
}

}  // namespace

void Pipe::OwnedHandle::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        const int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

Pipe::Pipe(const std::string& name, bool is_server, uint32_t buffer_size)
    : is_server(is_server),
      buffer_size(buffer_size),
      name(name),
      socket_path(socket_path_for(name)) {}

Pipe::~Pipe() { stop(); }

int Pipe::open() { return is_server ? create_server() : connect_to_server(); }

int Pipe::create_server() {
    if (!is_server) return -1;
    std::lock_guard<std::mutex> guard(lock);
    if (handle.valid()) return 0;
    sockaddr_un address;
    if (make_address(socket_path, address)) {
        handle.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        // A socket file left behind by a process that died would make bind fail; a live
        // server of the same name cannot exist beside us (the single-instance lock).
        struct stat status;
        if (handle.valid() && lstat(socket_path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode))
            unlink(socket_path.c_str());
        if (handle.valid() &&
            bind(handle.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            bound = true;
            // Backlog 0 still lets one client wait to be taken; a second one is refused at
            // once (EAGAIN to its non-blocking connect), as a busy pipe refuses it on Windows.
            if (listen(handle.get(), 0) == 0) return 0;
        }
    }
    LOG_WARN("Pipe::create_server", "Failed to create named pipe, GLE=%lu\n",
             static_cast<unsigned long>(errno));
    drop_peer();
    return -1;
}

int Pipe::connect_to_server() {
    if (is_server) return -1;
    if (!make_stop_signal()) return -1;
    std::lock_guard<std::mutex> guard(lock);
    sockaddr_un address;
    // Non-blocking, so that a server whose queue is full refuses at once (EAGAIN) instead
    // of holding us until it takes the connection.
    handle.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!handle.valid() || !make_address(socket_path, address) ||
        connect(handle.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        // No server is running: expected, and not worth a line.
        if (errno != ENOENT)
            LOG_WARN("Pipe::connect_to_server", "Failed to create named pipe: %s",
                     last_error_text().c_str());
        handle.reset();
        connected = false;
        return -1;
    }
    // SOCK_SEQPACKET keeps message boundaries: there is no read mode to set.
    connected = true;
    return 0;
}

int Pipe::run() {
    if (!is_server) return -1;
    if (thread.valid()) return 0;
    if (!make_stop_signal()) return -1;
    const int error = pthread_create(&thread.id, nullptr, pipe_thread_main, this);
    if (error != 0) {
        errno = error;
        LOG_WARN("Pipe::run", "CreateThread failed, GLE=%d.\n", error);
        return -1;
    }
    thread.started = true;
    return 0;
}

uint32_t Pipe::wait_for_connect(Pipe* pipe) {
    if (pipe == nullptr) return 0xFFFFFFFF;
    while (!pipe->stop_requested) {
        pipe->create_server();
        pipe->serve_instance();
        pollfd stop = {pipe->stop_signal.get(), POLLIN, 0};
        poll_for(&stop, 1, kPassPauseMs);
    }
    return 0;
}

void Pipe::serve_instance() {
    std::unique_lock<std::mutex> guard(lock);
    if (!handle.valid() || !is_server) return;
    int error = 0;
    if (connected) {
        // The client has left once its end reports a hang-up (a closed SOCK_SEQPACKET peer
        // shuts the socket both ways); data it may have sent is ignored.
        pollfd peer = {handle.get(), 0, 0};
        const int ready = poll(&peer, 1, 0);
        if (ready == 0 || (ready > 0 && (peer.revents & (POLLHUP | POLLERR)) == 0)) return;
        error = ready < 0 ? errno : EPIPE;
    } else {
        // Listening. Without a client no send touches the instance, and stop waits for
        // this thread before it closes anything, so the socket stays put while unlocked.
        const int listener = handle.get();
        guard.unlock();
        pollfd waits[] = {{listener, POLLIN, 0}, {stop_signal.get(), POLLIN, 0}};
        const int ready = poll_for(waits, 2, -1);
        guard.lock();
        // The stop closes the instance; waking for it is no failure.
        if (stop_requested) return;
        const int client = ready < 0 ? -1 : accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            // Only the buffer of this one client bounds what a slow reader can hold up.
            const int size = static_cast<int>(buffer_size);
            setsockopt(client, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            unlink(socket_path.c_str());
            bound = false;
            handle.reset(client);
            connected = true;
            return;
        }
        // A client that gave up before it was taken leaves nothing to accept.
        if (ready >= 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED))
            return;
        error = errno;
    }
    LOG_WARN("Pipe::wait_for_connect", "Failed on ConnectNamedPipe(), GLE=%lu\n",
             static_cast<unsigned long>(error));
    drop_peer();
}

void Pipe::drop_peer() {
    if (bound) unlink(socket_path.c_str());
    bound = false;
    handle.reset();
    connected = false;
}

bool Pipe::send(const void* data, uint32_t length) {
    if (!connected) return false;
    std::lock_guard<std::mutex> guard(lock);
    // The pipe thread may have closed the instance while we waited for the lock.
    if (!connected || !handle.valid()) return false;
    const ssize_t sent = ::send(handle.get(), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<uint32_t>(sent) == length;
    const int error = errno;
    if (!checkLastError()) {
        // The client has gone. Until the pipe thread notices, every message would fail and
        // be logged again: it is dropped now, and the next sends return at once.
        if (is_broken_connection(error)) drop_peer();
        return false;
    }
    if (doPipeWait(handle.get(), data, length, stop_signal.get())) return true;
    // A client that has not made room within a second does not read; every later message
    // would cost another second, so that client goes.
    if (errno == ETIMEDOUT || errno == ECANCELED) drop_peer();
    return false;
}

int Pipe::receive(std::string& message, uint32_t timeout_ms) {
    if (is_server) return -1;
    std::lock_guard<std::mutex> guard(lock);
    if (!connected || !handle.valid()) return -1;
    pollfd waits[] = {{handle.get(), POLLIN, 0}, {stop_signal.get(), POLLIN, 0}};
    const int limit = timeout_ms > 0x7FFFFFFFu ? -1 : static_cast<int>(timeout_ms);
    const int ready = poll_for(waits, 2, limit);
    // Time out: the connection stays. Stop: stop closes it.
    if (ready == 0 || (ready > 0 && (waits[1].revents & POLLIN) != 0)) return -1;
    int error = errno;
    if (ready > 0) {
        // The length of the next message, without taking it.
        const ssize_t size = recv(handle.get(), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -1;
        // Nothing to read and a hang-up: the server has gone.
        const bool ended = size == 0 && (waits[0].revents & (POLLHUP | POLLERR)) != 0;
        if (size >= 0 && !ended) {
            std::string text(static_cast<size_t>(size), '\0');
            const ssize_t taken = recv(handle.get(), &text[0], text.size(), MSG_DONTWAIT);
            if (taken == size) {
                message.swap(text);
                return static_cast<int>(message.size());
            }
        }
        error = ended ? EPIPE : errno;
    }
    errno = error;
    if (!is_broken_connection(error))
        LOG_WARN("Pipe::receive", "Failed to read from named pipe: %s", last_error_text().c_str());
    drop_peer();
    return -1;
}

void Pipe::stop() {
    stop_requested = true;
    signal_stop();
    if (thread.valid()) {
        pthread_join(thread.id, nullptr);
        thread.started = false;
    }
    std::lock_guard<std::mutex> guard(lock);
    drop_peer();
}

bool Pipe::make_stop_signal() {
    if (stop_signal.valid()) return true;
    stop_signal.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (stop_signal.valid()) return true;
    LOG_WARN("Pipe::make_stop_signal", "Failed to create event, GLE=%lu\n",
             static_cast<unsigned long>(errno));
    return false;
}

void Pipe::signal_stop() {
    // Never read back: the eventfd stays readable and wakes every poll that follows.
    if (stop_signal.valid()) eventfd_write(stop_signal.get(), 1);
}

bool doPipeWait(int fd, const void* data, uint32_t expected, int stop_signal) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteLimitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd waits[] = {{fd, POLLOUT, 0}, {stop_signal, POLLIN, 0}};
        const int ready = left.count() > 0 ? poll_for(waits, stop_signal >= 0 ? 2 : 1,
                                                      static_cast<int>(left.count()))
                                           : 0;
        if (ready < 0) {
            LOG_WARN("doPipeWait", "failed to communicate with client: %s",
                     last_error_text().c_str());
            return false;
        }
        if (ready == 0) {
            LOG_WARN("doPipeWait", "connection timeout");
            errno = ETIMEDOUT;
            return false;
        }
        if (waits[0].revents != 0) {
            const ssize_t sent = send(fd, data, expected, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent >= 0 && static_cast<uint32_t>(sent) == expected) return true;
            // Another writer of the same socket may have taken the room first.
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            LOG_WARN("doPipeWait", "async read failed: %s", last_error_text().c_str());
            return false;
        }
        errno = ECANCELED;
        return false;
    }
}

bool checkLastError() {
    const int error = errno;
    if (error == 0 || error == EAGAIN || error == EWOULDBLOCK) return true;
    if (is_broken_connection(error))
        LOG_WARN("checkLastError", "connection broken with error: %s", last_error_text().c_str());
    else
        LOG_WARN("checkLastError", "failed to communicate with client: %s",
                 last_error_text().c_str());
    return false;
}
