// The update service: one updater.exe, registered with the service control manager as
// LocalSystem, that installs an installer a standard user's first run hands it, with no
// prompt. Here: its registration, its folder and files, the request as the first run
// makes it, the service's own start through the dispatcher, and its event-log entries.
// What it does with a request is the driver's (driver/service_phase.cpp).
#pragma once

#include <string>
#include <vector>

#include "service/request.h"
#include "utils/scoped_handle.h"

namespace service {

// Handles of the service control manager and its services.
struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static Handle invalid() { return nullptr; }
    static bool valid(Handle handle) { return handle != nullptr; }
    static void close(Handle handle) { CloseServiceHandle(handle); }
};
using ScopedServiceHandle = utils::ScopedHandle<ServiceHandleTraits>;

extern const wchar_t* const kServiceName;
// The registration's security descriptor: SYSTEM may do what a service needs,
// Administrators everything, interactive users query and start it, never stop, change
// or delete it.
extern const wchar_t* const kServiceSddl;
// The argument that makes updater.exe the service, after its quoted path.
extern const wchar_t* const kServiceArgument;  // L"--service"

// %ProgramFiles%\<vendor>\<service folder>, the Program Files folder as the machine's
// registry names it. 0, or -1 with the last error set.
int service_folder(std::wstring& out);
// The image the service is registered with: "updater.exe" in its folder.
std::wstring service_image(const std::wstring& folder);

// updater.exe --register-service, run elevated by the application's installer: copies
// the running image into the service folder (made with a DACL that lets Administrators and
// SYSTEM write and Users read its files, and refused when it exists and is a link or others may
// write it), and creates the service or brings its registration up to date. A running
// service's image is moved aside first and removed at its next start. 0, or -1 after a
// WARN line.
int register_service();
// updater.exe --unregister-service: stops the service, deletes it and its folder. 0 when
// it is gone or was never there, -1 after a WARN line.
int unregister_service();

// What became of the first run's request.
enum class Answer {
    kStarted,   // the service runs the request
    kMissing,   // no such service (ERROR_SERVICE_DOES_NOT_EXIST)
    kDisabled,  // ERROR_SERVICE_DISABLED, or its start type says so
    kDenied,    // this user may not start it
    kBusy,      // it ran another request for longer than the wait
    kFailed,    // any other error
};
// The text of an answer for log lines: "started", "missing", ...
const char* answer_text(Answer answer);
// Starts the service with exactly `install <id> <path>`. When it is running already, waits
// at most `busy_wait_ms` for it to stop and tries again. `out` keeps the service open for
// has_stopped.
Answer start_request(const Request& request, unsigned long busy_wait_ms, ScopedServiceHandle& out);
// True once the service has stopped, or cannot be asked any more.
bool has_stopped(const ScopedServiceHandle& service);

// A fresh request id, a random GUID in its usual form; empty when no random bytes came.
std::string make_request_id();

// The status file of a request in `folder`, the service folder: "<id>.status".
std::wstring status_path(const std::wstring& folder, const std::string& id);
// Writes the status of request `id` as a new file moved into place, so that a reader
// sees the old status or the new one, never a part. 0, or -1.
int write_status(const std::wstring& folder, const std::string& id, const Status& status);
// Reads it. -1 while there is none or it cannot be read.
int read_status(const std::wstring& folder, const std::string& id, Status& out);

// Opens "update.log" in the service folder for appending, Administrators and SYSTEM
// alone having any right on it. 0, or -1 with the last error set.
int open_service_log(const std::wstring& folder, utils::ScopedKernelHandle& out);
// At the service's start: removes the images that registrations moved aside and the
// status files of requests that ended more than an hour ago.
void remove_leftovers(const std::wstring& folder);

// The service's entry: connects to the service control manager, and on its start calls
// `handle` with the arguments it was started with (its own name left out) and reports
// the service stopped when `handle` returns. -1 when this process was not started as the
// service.
using RequestHandler = int (*)(const std::vector<std::string>& arguments);
int run_dispatcher(RequestHandler handle);

// One entry in the Application event log, under the service's name.
enum class EventKind { kInformation, kWarning, kError };
void report_event(EventKind kind, const std::string& text);

}  // namespace service
