// The upgrade pipe's system calls on POSIX, which pipe.cpp drives: the Windows pipe's
// states over a Unix-domain SOCK_SEQPACKET socket. "Listening" is a listening socket bound
// at the socket path, "connected" the socket accepted from it (the listening one is closed
// then, so a second client finds no pipe, as it finds a busy one on Windows), "no instance"
// neither. The log lines are the Windows ones, with errno values where Windows gives its
// error codes; the stop signal is an eventfd that every poll also watches.
#include <poll.h>
#include <pthread.h>
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
#include "frontend/pipe_os.h"
#include "log/log.h"
#include "utils/text.h"

namespace {

// A file descriptor with a single owner; closing keeps errno.
class OwnedFd {
public:
    OwnedFd() = default;
    ~OwnedFd() { reset(); }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0 && fd_ != fd) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace

struct pipe_os::State {
    explicit State(std::string path) : socket_path(std::move(path)) {}

    // The listening or accepted socket (server) or the client's end.
    OwnedFd handle;
    OwnedFd stop_signal;
    // The socket file's path, derived from the pipe name.
    const std::string socket_path;
    // The socket file exists and belongs to the listening socket in `handle`; it is
    // removed when that socket accepts a client or closes.
    bool bound = false;
    pthread_t thread{};
    bool thread_started = false;
};

namespace {

using pipe_os::State;

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

void pipe_os::StateDeleter::operator()(State* state) const { delete state; }

std::unique_ptr<State, pipe_os::StateDeleter> pipe_os::make(const std::string& name) {
    return std::unique_ptr<State, StateDeleter>(new State(socket_path_for(name)));
}

unsigned long pipe_os::last_error() { return static_cast<unsigned long>(errno); }

pipe_os::Error pipe_os::classify(unsigned long error) {
    const int code = static_cast<int>(error);
    if (code == 0 || code == EAGAIN || code == EWOULDBLOCK) return Error::kRunning;
    return is_broken_connection(code) ? Error::kBroken : Error::kOther;
}

bool pipe_os::has_handle(const State& state) { return state.handle.valid(); }

bool pipe_os::create_instance(State& state, const std::string&, uint32_t) {
    sockaddr_un address;
    if (!make_address(state.socket_path, address)) return false;
    state.handle.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!state.handle.valid()) return false;
    // A socket file left behind by a process that died would make bind fail; a live
    // server of the same name cannot exist beside us (the single-instance lock).
    struct stat status;
    if (lstat(state.socket_path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode))
        unlink(state.socket_path.c_str());
    if (bind(state.handle.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return false;
    state.bound = true;
    // Backlog 0 still lets one client wait to be taken; a second one is refused at once
    // (EAGAIN to its non-blocking connect), as a busy pipe refuses it on Windows.
    return listen(state.handle.get(), 0) == 0;
}

pipe_os::Open pipe_os::open_client(State& state, const std::string&) {
    sockaddr_un address;
    // Non-blocking, so that a server whose queue is full refuses at once (EAGAIN) instead
    // of holding us until it takes the connection.
    state.handle.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (state.handle.valid() && make_address(state.socket_path, address) &&
        connect(state.handle.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return Open::kOpen;
    state.handle.reset();
    return errno == ENOENT ? Open::kNoPipe : Open::kFailed;
}

// SOCK_SEQPACKET keeps message boundaries: there is no read mode to set.
bool pipe_os::set_message_mode(State&) { return true; }

void pipe_os::close(State& state, bool) {
    if (state.bound) unlink(state.socket_path.c_str());
    state.bound = false;
    state.handle.reset();
}

pipe_os::Instance pipe_os::check_instance(State& state, bool connected, unsigned long& error) {
    if (!connected) return Instance::kListening;
    // The client has left once its end reports a hang-up (a closed SOCK_SEQPACKET peer
    // shuts the socket both ways); data it may have sent is ignored.
    pollfd peer = {state.handle.get(), 0, 0};
    const int ready = poll(&peer, 1, 0);
    if (ready == 0 || (ready > 0 && (peer.revents & (POLLHUP | POLLERR)) == 0))
        return Instance::kUnchanged;
    error = ready < 0 ? static_cast<unsigned long>(errno) : EPIPE;
    return Instance::kFailed;
}

bool pipe_os::wait_for_client(State& state) {
    pollfd waits[] = {{state.handle.get(), POLLIN, 0}, {state.stop_signal.get(), POLLIN, 0}};
    return poll_for(waits, 2, -1) > 0 && waits[0].revents != 0;
}

pipe_os::Instance pipe_os::finish_connect(State& state, bool ready, bool stopping,
                                          uint32_t buffer_size, unsigned long& error) {
    if (stopping) return Instance::kStopped;
    const int client = ready ? accept4(state.handle.get(), nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (client >= 0) {
        // Only the buffer of this one client bounds what a slow reader can hold up.
        const int size = static_cast<int>(buffer_size);
        setsockopt(client, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        unlink(state.socket_path.c_str());
        state.bound = false;
        state.handle.reset(client);
        return Instance::kConnected;
    }
    // A client that gave up before it was taken leaves nothing to accept.
    if (ready && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED))
        return Instance::kUnchanged;
    error = static_cast<unsigned long>(errno);
    return Instance::kFailed;
}

pipe_os::Write pipe_os::write(State& state, const void* data, uint32_t length) {
    const int fd = state.handle.get();
    const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<uint32_t>(sent) == length ? Write::kWritten : Write::kFailed;
    const int error = errno;
    if (!checkLastError()) return is_broken_connection(error) ? Write::kBroken : Write::kFailed;
    if (doPipeWait(fd, data, length, state.stop_signal.get())) return Write::kWritten;
    // Out of time or stopped: the client has not made room within its second.
    return errno == ETIMEDOUT || errno == ECANCELED ? Write::kStalled : Write::kFailed;
}

pipe_os::Read pipe_os::read(State& state, std::string& message, uint32_t, uint32_t timeout_ms) {
    pollfd waits[] = {{state.handle.get(), POLLIN, 0}, {state.stop_signal.get(), POLLIN, 0}};
    const int limit = timeout_ms > 0x7FFFFFFFu ? -1 : static_cast<int>(timeout_ms);
    const int ready = poll_for(waits, 2, limit);
    if (ready == 0 || (ready > 0 && (waits[1].revents & POLLIN) != 0)) return Read::kNothing;
    int error = errno;
    if (ready > 0) {
        // The length of the next message, without taking it.
        const ssize_t size =
            recv(state.handle.get(), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Read::kNothing;
        // Nothing to read and a hang-up: the server has gone.
        const bool ended = size == 0 && (waits[0].revents & (POLLHUP | POLLERR)) != 0;
        if (size >= 0 && !ended) {
            message.resize(static_cast<size_t>(size));
            const ssize_t taken =
                recv(state.handle.get(), &message[0], message.size(), MSG_DONTWAIT);
            if (taken == size) return Read::kMessage;
        }
        error = ended ? EPIPE : errno;
    }
    errno = error;
    return is_broken_connection(error) ? Read::kGone : Read::kFailed;
}

bool pipe_os::make_stop_signal(State& state) {
    // Never read back: the eventfd stays readable and wakes every poll that follows.
    if (!state.stop_signal.valid()) state.stop_signal.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return state.stop_signal.valid();
}

void pipe_os::signal_stop(State& state) {
    if (state.stop_signal.valid()) eventfd_write(state.stop_signal.get(), 1);
}

void pipe_os::wait_for_stop(State& state, uint32_t timeout_ms) {
    pollfd stop = {state.stop_signal.get(), POLLIN, 0};
    poll_for(&stop, 1, static_cast<int>(timeout_ms));
}

bool pipe_os::has_thread(const State& state) { return state.thread_started; }

bool pipe_os::start_thread(State& state, Pipe* pipe, uint32_t&) {
    const int error = pthread_create(&state.thread, nullptr, pipe_thread_main, pipe);
    if (error != 0) {
        errno = error;
        LOG_WARN("Pipe::run", "CreateThread failed, GLE=%d.\n", error);
        return false;
    }
    state.thread_started = true;
    return true;
}

void pipe_os::join_thread(State& state) {
    if (!state.thread_started) return;
    pthread_join(state.thread, nullptr);
    state.thread_started = false;
}

bool doPipeWait(int fd, const void* data, uint32_t expected, int stop_signal) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(pipe_os::kWriteLimitMs);
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
