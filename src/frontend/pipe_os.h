// The operating system's side of the upgrade pipe: the calls that the state machine in
// pipe.cpp makes. pipe_win.cpp implements them with a named pipe, pipe_posix.cpp with a
// Unix-domain socket. Private to the frontend library.
//
// Every call works on one State: the instance (server) or the client's end, the stop
// signal and the pipe thread. The caller holds the Pipe's lock around every call that
// touches the instance or end, except wait_for_client. "The last error" is the calling
// thread's GetLastError() (Windows) or errno (POSIX).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "frontend/pipe.h"

namespace pipe_os {

// How long one send may wait for the client to take its message, in milliseconds.
constexpr uint32_t kWriteLimitMs = 1000;

// A State for the pipe `name` ("\\.\pipe\<name>") that holds no system object yet.
std::unique_ptr<State, StateDeleter> make(const std::string& name);

// The calling thread's last error.
unsigned long last_error();

enum class Error {
    kRunning,  // nothing failed, or the operation still runs
    kBroken,   // the peer has gone
    kOther,
};
Error classify(unsigned long error);

// An instance or a client's end exists.
bool has_handle(const State& state);

// Server: creates an instance of `name` with buffers of `buffer_size` bytes, ready for a
// client. False with the last error set; the caller then closes what was made.
bool create_instance(State& state, const std::string& name, uint32_t buffer_size);

enum class Open {
    kOpen,
    kNoPipe,  // no server offers the pipe: expected, and the last error is not reported
    kFailed,  // the last error says why
};
// Client: opens the end of an existing pipe. Anything but kOpen leaves no end open.
Open open_client(State& state, const std::string& name);
// Client: makes the end deliver whole messages. False after a log line.
bool set_message_mode(State& state);

// Closes the instance or the end; a server disconnects its client first.
void close(State& state, bool is_server);

// The pipe thread's view of the instance in one pass.
enum class Instance {
    kConnected,  // a client is connected
    kListening,  // no client yet: wait_for_client, then finish_connect
    kUnchanged,  // nothing to do in this pass
    kStopped,    // our stop ended the wait: the instance closes, with no line
    kFailed,     // the instance failed or its client left (`error`): the instance closes
};
// Begins a connect on the instance, or checks on the client that `connected` says is there.
Instance check_instance(State& state, bool connected, unsigned long& error);
// Waits without the Pipe's lock until the instance has news (a client came, or the connect
// ended) or the stop signal is set. True for the instance's news; false after the stop
// signal or a failed wait (with the last error set).
bool wait_for_client(State& state);
// Ends the connect that check_instance began; `ready` is wait_for_client's result and
// `stopping` tells whether stop was called. A client taken gets a send buffer of
// `buffer_size` bytes where the platform sets one.
Instance finish_connect(State& state, bool ready, bool stopping, uint32_t buffer_size,
                        unsigned long& error);

enum class Write {
    kWritten,  // all of the message, within the one-second limit
    kFailed,   // logged where it needs a line; the client stays
    kBroken,   // the client has gone (logged by checkLastError)
    kStalled,  // the client did not take the message in time, or stop cut the wait short
};
// Writes one message of `length` bytes through the instance.
Write write(State& state, const void* data, uint32_t length);

enum class Read {
    kMessage,  // a whole message is in `message`
    kNothing,  // none came in time, or stop was called: the connection stays as it is
    kGone,     // the server has gone or dropped this client
    kFailed,   // the last error says why
};
// Client: waits at most `timeout_ms` for one message, read in pieces of `buffer_size`
// bytes where the platform needs pieces, and appends it to `message`.
Read read(State& state, std::string& message, uint32_t buffer_size, uint32_t timeout_ms);

// Creates the stop signal unless it exists. False with the last error set.
bool make_stop_signal(State& state);
// Sets the stop signal for good: every wait of this State watches it.
void signal_stop(State& state);
// Waits `timeout_ms` or until the stop signal is set.
void wait_for_stop(State& state, uint32_t timeout_ms);

bool has_thread(const State& state);
// Starts the pipe thread on Pipe::wait_for_connect(pipe) and gives its id (Windows; POSIX
// leaves `thread_id` alone). False after a log line.
bool start_thread(State& state, Pipe* pipe, uint32_t& thread_id);
// Waits for the pipe thread to end, if it runs.
void join_thread(State& state);

}  // namespace pipe_os
