// The upgrade pipe: a message pipe on which a front end receives progress from the
// updater. The server end keeps one pipe instance at a time, so it serves one client at a
// time; its pipe thread waits for a client, notices when it leaves and offers a new
// instance. Messages flow from the server to the client only.
//
// Windows: a named pipe (PIPE_TYPE_MESSAGE, overlapped I/O). POSIX: a Unix-domain
// SOCK_SEQPACKET socket, which keeps message boundaries too, bound at the last component
// of the pipe name in $XDG_RUNTIME_DIR (or /tmp); the socket file exists while an instance
// is waiting for a client.
//
// Threads: construction, open, run, stop and destruction belong to the owner's thread.
// send (server) and receive (client) may also run on one other thread at a time; a stop
// cuts such a running send or receive short. Every failure is logged once where it
// happens (WARN); "no client" and "no such pipe" are not failures.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#ifdef _WIN32
#include "utils/win.h"
#endif

namespace pipe_os {
// The operating system's side of a Pipe: its instance or client end, its stop signal and
// its pipe thread. Defined by pipe_win.cpp or pipe_posix.cpp (see frontend/pipe_os.h).
struct State;
struct StateDeleter {
    void operator()(State* state) const;
};
}  // namespace pipe_os

class Pipe {
public:
    // Remembers the full pipe name ("\\.\pipe\<name>") and the mode; the buffer size is
    // the pipe's inbound and outbound buffer in bytes. No system object is created yet.
    explicit Pipe(const std::string& name, bool is_server = true, uint32_t buffer_size = 1024);
    // Stops the pipe thread if it still runs, drops the client and closes the pipe.
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // create_server for a server, connect_to_server for a client: 0 or -1.
    int open();

    // Server: creates a pipe instance unless one exists already. 0 when an instance exists
    // afterwards; -1 after a log line, or at once for a client Pipe.
    int create_server();

    // Client: opens the existing pipe in message read mode. 0 when connected. -1 for a
    // server Pipe or a failure; a missing pipe (no server) is expected and not logged.
    int connect_to_server();

    // Server: starts the pipe thread, which keeps an instance waiting for a client and
    // offers a new one when a client leaves or is dropped. 0 when the thread runs (also
    // when it ran already); -1 after a log line, or at once for a client Pipe.
    int run();

    // Writes one message of `length` bytes. True when all of it was written within one
    // second. False at once without a client. A write that fails is logged; a write that
    // times out is cancelled and its client dropped, so that a client that stops reading
    // costs one second once, not one per message. Nothing is queued or retried.
    bool send(const void* data, uint32_t length);

    // Client: waits at most `timeout_ms` for one message and returns it whole in
    // `message`, with its length as the result (messages of any length, in pieces of
    // buffer_size bytes). -1 when none came: after a time-out the Pipe stays connected;
    // when the server has gone, dropped this client or stop was called, the pipe is
    // closed and is_connected() is false (open() connects again). `message` is left
    // untouched on -1. A server Pipe returns -1 at once.
    int receive(std::string& message, uint32_t timeout_ms);

    // Ends the pipe thread from any state, waiting for it, drops a connected client and
    // closes the pipe (both modes). A stopped Pipe stays stopped; it can be destroyed or
    // stopped again.
    void stop();

    // A peer is connected (as far as the last check of the pipe thread, a send or a
    // receive knows).
    bool is_connected() const { return connected; }

    // The pipe thread's routine; `pipe` is the Pipe it serves. Exit code 0, or 0xFFFFFFFF
    // for a null `pipe`.
    static uint32_t wait_for_connect(Pipe* pipe);

private:
    // One pass of the pipe thread over the instance: waits for a client while the
    // instance listens (until a client or a stop arrives), confirms a connected client,
    // or closes the instance when its client has left.
    void serve_instance();
    // Disconnects the peer and closes the instance. The caller holds `lock`.
    void drop_peer();
    // Creates the stop signal if there is none yet; false after a log line.
    bool make_stop_signal();

    const bool is_server;
    std::atomic<bool> connected{false};
    std::atomic<bool> stop_requested{false};
    const uint32_t buffer_size;
    const std::string name;
    // Windows: the thread's id. POSIX: 0.
    uint32_t thread_id = 0;

    // Guards the instance or client end in `os` and the I/O through it. A holder never
    // waits longer than one send's second or one receive's time-out, and every such wait
    // ends early on stop.
    std::mutex lock;
    // The instance (server) or the client's end, the stop signal (set once by stop, never
    // reset) and the pipe thread. The instance or end is created and closed under `lock`
    // and read by other threads only under `lock`, so no send uses a handle being closed.
    const std::unique_ptr<pipe_os::State, pipe_os::StateDeleter> os;
};

// The wait behind every overlapped write. Waits at most 1000 ms for the record's event
// (and for `stop_signal` when given) and checks that `expected` bytes were transferred.
// True on success; false after a log line, or without one when the stop signal came
// first. On false the operation may still be running: the caller cancels it and awaits
// its completion before releasing the record.
//
// checkLastError classifies the calling thread's last system error after a call that did
// not complete at once: true when the operation is still running (or nothing failed);
// false after a log line ("connection broken with error" or "failed to communicate with
// client").
#ifdef _WIN32
bool doPipeWait(HANDLE handle, OVERLAPPED* overlapped, DWORD expected,
                HANDLE stop_signal = nullptr);
#else
// POSIX: `fd` is a connected SOCK_SEQPACKET socket whose send queue was full (EAGAIN);
// waits at most 1000 ms for room and sends `data` as one message. On a time-out errno is
// ETIMEDOUT, after a stop ECANCELED.
bool doPipeWait(int fd, const void* data, uint32_t expected, int stop_signal = -1);
#endif
bool checkLastError();
