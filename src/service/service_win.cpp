#include "brand.h"
#include "fs/file_tree.h"
#include "fs/folder_rights.h"
#include "integrity/digest_text.h"
#include "log/log.h"
#include "service/service.h"
#include "utils/install_location.h"
#include "utils/paths.h"
#include "utils/system_calls.h"
#include "utils/text.h"
#include "utils/win.h"

namespace service {

const wchar_t* const kServiceName = BRAND_SERVICE_NAME_W;
const wchar_t* const kServiceSddl =
    L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWRPLORC;;;IU)";
const wchar_t* const kServiceArgument = L"--service";

namespace {

using fs::make_descriptor;
using fs::SecurityDescriptor;
using utils::system_calls;

constexpr const char* kFunction = "service::register_service";
// The service folder: Administrators and SYSTEM write. Users may pass through it and read
// the files in it, which inherit that, but not list it: a request's status is read by the
// one who knows its id, the first run that made it.
const wchar_t* const kFolderSddl =
    L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;;FX;;;BU)(A;OIIO;FR;;;BU)";
// The service's log: Administrators and SYSTEM alone.
const wchar_t* const kLogSddl = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)";
const wchar_t* const kImageName = L"updater.exe";
const wchar_t* const kAsideSuffix = L".aside";
const wchar_t* const kStatusSuffix = L".status";
const wchar_t* const kLogName = L"update.log";
// How long unregistering waits for the service to stop.
constexpr DWORD kStopWaitMs = 30000;

bool ends_with(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The folder, made when missing, and then held to the rule of an install folder: no link
// on the way, and, where the system keeps rights, nobody but the administrators may
// write it. A folder someone else made before us fails that.
int make_service_folder(std::wstring& folder) {
    if (service_folder(folder) < 0) {
        LOG_WARN(kFunction, "The Program Files folder is not known: %s", last_error_text().c_str());
        return -1;
    }
    const size_t slash = folder.find_last_of(L'\\');
    const std::wstring vendor = folder.substr(0, slash);
    // The vendor's folder takes the rights of Program Files, which only administrators
    // write; the service's own folder gets its own.
    if (!system_calls().create_directory_w(vendor.c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
        LOG_WARN(kFunction, "Failed to make %s: %s", narrow(vendor).c_str(),
                 last_error_text().c_str());
        return -1;
    }
    const SecurityDescriptor descriptor = make_descriptor(kFolderSddl);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    if (!descriptor || (!system_calls().create_directory_w(folder.c_str(), &attributes) &&
                        GetLastError() != ERROR_ALREADY_EXISTS)) {
        LOG_WARN(kFunction, "Failed to make %s: %s", narrow(folder).c_str(),
                 last_error_text().c_str());
        return -1;
    }
    std::wstring refused;
    if (fs::check_folder_and_above(folder, fs::FolderUse::kWrittenInto, refused) < 0) {
        LOG_WARN(kFunction, "The service folder %s is refused at %s: %s", narrow(folder).c_str(),
                 narrow(refused).c_str(), last_error_text().c_str());
        return -1;
    }
    return 0;
}

// Puts this running image in the folder as updater.exe. One that is there already may be
// running as the service: it moves aside under a fresh name, which the next start removes.
int place_image(const std::wstring& folder, std::wstring& image) {
    image = service_image(folder);
    std::wstring own;
    if (utils::get_current_image_path(own) < 0) {
        LOG_WARN(kFunction, "Failed to get current exe path: %s", last_error_text().c_str());
        return -1;
    }
    // Registering the service's own image again changes the registration only.
    if (fs::same_file(own, image)) return 0;
    if (fs::exists(image)) {
        const std::string id = make_request_id();
        const std::wstring aside = folder + L"\\" + widen(id) + kAsideSuffix;
        if (id.empty() || !system_calls().move_file_ex_w(image.c_str(), aside.c_str(), 0)) {
            LOG_WARN(kFunction, "Failed to move %s aside: %s", narrow(image).c_str(),
                     last_error_text().c_str());
            return -1;
        }
    }
    // The new file inherits the folder's rights.
    if (!system_calls().copy_file_w(own.c_str(), image.c_str(), TRUE)) {
        LOG_WARN(kFunction, "Failed to copy %s to %s: %s", narrow(own).c_str(),
                 narrow(image).c_str(), last_error_text().c_str());
        return -1;
    }
    return 0;
}

// The registration's parameters, created or changed: the service runs in a process of its
// own as LocalSystem, starts only when asked, and its path is quoted, so that no
// "C:\Program.exe" is run in its stead.
int write_registration(SC_HANDLE manager, const std::wstring& image, ScopedServiceHandle& out) {
    const std::wstring command = L"\"" + image + L"\" " + kServiceArgument;
    out.reset(system_calls().create_service_w(
        manager, kServiceName, BRAND_SERVICE_DISPLAY_NAME_W, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr));
    if (out) return 0;
    if (GetLastError() != ERROR_SERVICE_EXISTS) return -1;
    out.reset(system_calls().open_service_w(manager, kServiceName, SERVICE_ALL_ACCESS));
    if (!out) return -1;
    return system_calls().change_service_config_w(out.get(), SERVICE_WIN32_OWN_PROCESS,
                                                  SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                  command.c_str(), nullptr, nullptr, nullptr,
                                                  L"LocalSystem", L"", BRAND_SERVICE_DISPLAY_NAME_W)
               ? 0
               : -1;
}

// The description, no failure actions (a failed request is not run again behind the
// user's back), and who may do what with the service.
int write_settings(SC_HANDLE service) {
    std::wstring description = BRAND_SERVICE_DESCRIPTION_W;
    SERVICE_DESCRIPTIONW described{&description[0]};
    SERVICE_FAILURE_ACTIONSW failure_actions{};
    const SecurityDescriptor descriptor = make_descriptor(kServiceSddl);
    return system_calls().change_service_config2_w(service, SERVICE_CONFIG_DESCRIPTION,
                                                   &described) &&
                   system_calls().change_service_config2_w(service, SERVICE_CONFIG_FAILURE_ACTIONS,
                                                           &failure_actions) &&
                   descriptor &&
                   system_calls().set_service_object_security(service, DACL_SECURITY_INFORMATION,
                                                              descriptor.get())
               ? 0
               : -1;
}

bool wait_until_stopped(SC_HANDLE service, DWORD wait_ms) {
    for (DWORD waited = 0;; waited += 100) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (!system_calls().query_service_status_ex(service, SC_STATUS_PROCESS_INFO,
                                                    reinterpret_cast<BYTE*>(&status), sizeof status,
                                                    &needed))
            return true;
        if (status.dwCurrentState == SERVICE_STOPPED) return true;
        if (waited >= wait_ms) return false;
        Sleep(100);
    }
}

// The dispatcher's state: one service in this process.
RequestHandler g_handler = nullptr;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
    // A request runs to its end: stopping halfway would leave the install folder half
    // written. Nothing but the question how it goes is accepted.
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void set_state(DWORD state, DWORD exit_code) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = 0;
    status.dwWin32ExitCode = exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exit_code;
    SetServiceStatus(g_status_handle, &status);
}

void WINAPI service_main(DWORD argc, wchar_t** argv) {
    g_status_handle = RegisterServiceCtrlHandlerExW(kServiceName, on_control, nullptr);
    if (g_status_handle == nullptr) return;
    set_state(SERVICE_RUNNING, 0);
    // The system puts the service's name before the caller's arguments.
    std::vector<std::string> arguments;
    for (DWORD i = 0; i < argc; ++i) {
        if (i == 0 && _wcsicmp(argv[0], kServiceName) == 0) continue;
        arguments.push_back(narrow(argv[i]));
    }
    const int result = g_handler(arguments);
    set_state(SERVICE_STOPPED, result == 0 ? 0 : 1);
}

}  // namespace

int service_folder(std::wstring& out) {
    const std::wstring program_files = find_program_files_folder();
    if (program_files.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return -1;
    }
    out = program_files + L"\\" BRAND_DATA_FOLDER_VENDOR_W L"\\" BRAND_SERVICE_FOLDER_W;
    return 0;
}

std::wstring service_image(const std::wstring& folder) { return folder + L"\\" + kImageName; }

int register_service() {
    std::wstring folder;
    std::wstring image;
    if (make_service_folder(folder) < 0 || place_image(folder, image) < 0) return -1;
    ScopedServiceHandle manager(
        system_calls().open_sc_manager_w(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    ScopedServiceHandle service;
    if (!manager || write_registration(manager.get(), image, service) < 0 ||
        write_settings(service.get()) < 0) {
        LOG_WARN(kFunction, "Failed to register the service %s: %s", narrow(kServiceName).c_str(),
                 last_error_text().c_str());
        return -1;
    }
    LOG_INFO(kFunction, "The service %s runs %s.\n", narrow(kServiceName).c_str(),
             narrow(image).c_str());
    return 0;
}

int unregister_service() {
    constexpr const char* kUnregister = "service::unregister_service";
    ScopedServiceHandle manager(
        system_calls().open_sc_manager_w(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScopedServiceHandle service(
        manager ? system_calls().open_service_w(manager.get(), kServiceName,
                                                SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)
                : nullptr);
    if (!service && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        LOG_WARN(kUnregister, "Failed to open the service %s: %s", narrow(kServiceName).c_str(),
                 last_error_text().c_str());
        return -1;
    }
    if (service) {
        SERVICE_STATUS status{};
        system_calls().control_service(service.get(), SERVICE_CONTROL_STOP, &status);
        if (!wait_until_stopped(service.get(), kStopWaitMs))
            LOG_WARN(kUnregister, "The service %s does not stop: it goes once it has.\n",
                     narrow(kServiceName).c_str());
        if (!system_calls().delete_service(service.get()) &&
            GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
            LOG_WARN(kUnregister, "Failed to delete the service %s: %s",
                     narrow(kServiceName).c_str(), last_error_text().c_str());
            return -1;
        }
    }
    std::wstring folder;
    if (service_folder(folder) == 0 && fs::exists(folder) && fs::delete_tree(folder) < 0) {
        LOG_WARN(kUnregister, "Failed to remove %s: %s", narrow(folder).c_str(),
                 last_error_text().c_str());
        return -1;
    }
    return 0;
}

const char* answer_text(Answer answer) {
    switch (answer) {
        case Answer::kStarted:
            return "started";
        case Answer::kMissing:
            return "not installed";
        case Answer::kDisabled:
            return "disabled";
        case Answer::kDenied:
            return "not to be started by this user";
        case Answer::kBusy:
            return "busy with another request";
        case Answer::kFailed:
            break;
    }
    return "failed to start";
}

Answer start_request(const Request& request, unsigned long busy_wait_ms, ScopedServiceHandle& out) {
    const auto answer_of = [](DWORD error) {
        switch (error) {
            case ERROR_SERVICE_DOES_NOT_EXIST:
                return Answer::kMissing;
            case ERROR_SERVICE_DISABLED:
                return Answer::kDisabled;
            case ERROR_ACCESS_DENIED:
                return Answer::kDenied;
            default:
                return Answer::kFailed;
        }
    };
    ScopedServiceHandle manager(
        system_calls().open_sc_manager_w(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return answer_of(GetLastError());
    ScopedServiceHandle service(system_calls().open_service_w(
        manager.get(), kServiceName, SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) return answer_of(GetLastError());
    // A disabled service is known before it is started.
    union {
        QUERY_SERVICE_CONFIGW config;
        BYTE bytes[8192];
    } config{};
    DWORD needed = 0;
    if (system_calls().query_service_config_w(service.get(), &config.config, sizeof config,
                                              &needed) &&
        config.config.dwStartType == SERVICE_DISABLED)
        return Answer::kDisabled;
    const std::wstring verb = widen(kInstallVerb);
    const std::wstring id = widen(request.id);
    const std::wstring installer = widen(request.installer);
    const wchar_t* arguments[] = {verb.c_str(), id.c_str(), installer.c_str()};
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (system_calls().start_service_w(service.get(), 3, arguments)) {
            out = std::move(service);
            return Answer::kStarted;
        }
        if (GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) return answer_of(GetLastError());
        // Another user's request: the service runs one at a time.
        if (attempt == 0 && !wait_until_stopped(service.get(), busy_wait_ms)) break;
    }
    return Answer::kBusy;
}

bool has_stopped(const ScopedServiceHandle& service) {
    return wait_until_stopped(service.get(), 0);
}

std::string make_request_id() {
    unsigned char bytes[16];
    if (!BCRYPT_SUCCESS(system_calls().bcrypt_gen_random(nullptr, bytes, sizeof bytes,
                                                         BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return "";
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // the usual variant
    const std::string hex = digest_hex(bytes, sizeof bytes);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
           hex.substr(16, 4) + "-" + hex.substr(20);
}

std::wstring status_path(const std::wstring& folder, const std::string& id) {
    return folder + L"\\" + widen(id) + kStatusSuffix;
}

int write_status(const std::wstring& folder, const std::string& id, const Status& status) {
    const std::wstring path = status_path(folder, id);
    const std::wstring next = path + L".next";
    if (fs::write_file(next, status_text(status), CREATE_ALWAYS) < 0) return -1;
    // The first run reads the status without sharing its deletion: the move waits out the
    // few milliseconds of a read, at most a second in all, so that no outcome is lost.
    for (int attempt = 0;; ++attempt) {
        if (system_calls().move_file_ex_w(next.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
            return 0;
        const DWORD error = GetLastError();
        if (attempt == 40 || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED))
            break;
        Sleep(25);
    }
    fs::delete_or_schedule(next, false);
    return -1;
}

int read_status(const std::wstring& folder, const std::string& id, Status& out) {
    std::string text;
    if (fs::read_small_file(status_path(folder, id), text) < 0) return -1;
    return read_status_text(text, out) ? 0 : -1;
}

int open_service_log(const std::wstring& folder, utils::ScopedKernelHandle& out) {
    const SecurityDescriptor descriptor = make_descriptor(kLogSddl);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    if (!descriptor) return -1;
    return fs::open_file(folder + L"\\" + kLogName, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ,
                         OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, &attributes, out);
}

void remove_leftovers(const std::wstring& folder) {
    // A status stays an hour: its first run reads it as soon as the service stops, but a
    // request started just then must not take it away first.
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const auto age_seconds = [&now](const FILETIME& then) {
        const auto ticks = [](const FILETIME& time) {
            return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                   time.dwLowDateTime;
        };
        return ticks(now) > ticks(then) ? (ticks(now) - ticks(then)) / 10000000ull : 0ull;
    };
    WIN32_FIND_DATAW found{};
    utils::ScopedFindHandle search(system_calls().find_first_file_ex_w(
        (folder + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
    if (!search) return;
    do {
        const std::wstring name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            (ends_with(name, kAsideSuffix) ||
             (ends_with(name, kStatusSuffix) && age_seconds(found.ftLastWriteTime) > 3600)))
            fs::delete_or_schedule(folder + L"\\" + name, false);
    } while (system_calls().find_next_file_w(search.get(), &found));
}

int run_dispatcher(RequestHandler handle) {
    g_handler = handle;
    std::wstring name = kServiceName;
    const SERVICE_TABLE_ENTRYW table[] = {{&name[0], service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : -1;
}

void report_event(EventKind kind, const std::string& text) {
    HANDLE source = RegisterEventSourceW(nullptr, kServiceName);
    if (source == nullptr) return;
    const WORD type = kind == EventKind::kError     ? EVENTLOG_ERROR_TYPE
                      : kind == EventKind::kWarning ? EVENTLOG_WARNING_TYPE
                                                    : EVENTLOG_INFORMATION_TYPE;
    const std::wstring wide = widen(text);
    const wchar_t* strings[] = {wide.c_str()};
    system_calls().report_event_w(source, type, 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

}  // namespace service
