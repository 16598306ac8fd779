// The update service's registration and the first run's request, on the system's real
// service control manager, seen through the system-call table: Wine keeps no service's
// security descriptor and lets every process do everything, so what is asked of the
// system is compared here, call by call.
#include "service/service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "brand.h"
#include "system_call_override.h"
#include "utils/paths.h"
#include "utils/text.h"
// After win.h (through service.h), which it needs.
#include <sddl.h>

namespace {

namespace fs = std::filesystem;
using test::SystemCallOverride;
using utils::SystemCalls;

// What the registration asked of the system.
struct Asked {
    std::vector<std::wstring> created;  // "<name>|<display>|<type>|<start>|<command>|<account>"
    std::vector<std::wstring> changed;  // "<type>|<start>|<command>|<account>"
    std::vector<std::wstring> security;
    std::vector<std::wstring> description;
    std::vector<DWORD> failure_actions;  // their count
    std::vector<std::vector<std::wstring>> started;
} g_asked;

std::wstring text_or_null(const wchar_t* text) { return text == nullptr ? L"(null)" : text; }

SC_HANDLE WINAPI record_create(SC_HANDLE manager, const wchar_t* name, const wchar_t* display,
                               DWORD access, DWORD type, DWORD start, DWORD error,
                               const wchar_t* command, const wchar_t* group, DWORD* tag,
                               const wchar_t* dependencies, const wchar_t* account,
                               const wchar_t* password) {
    g_asked.created.push_back(std::wstring(name) + L"|" + display + L"|" + std::to_wstring(type) +
                              L"|" + std::to_wstring(start) + L"|" + command + L"|" +
                              text_or_null(account));
    return CreateServiceW(manager, name, display, access, type, start, error, command, group, tag,
                          dependencies, account, password);
}

BOOL WINAPI record_change(SC_HANDLE service, DWORD type, DWORD start, DWORD error,
                          const wchar_t* command, const wchar_t* group, DWORD* tag,
                          const wchar_t* dependencies, const wchar_t* account,
                          const wchar_t* password, const wchar_t* display) {
    g_asked.changed.push_back(std::to_wstring(type) + L"|" + std::to_wstring(start) + L"|" +
                              text_or_null(command) + L"|" + text_or_null(account));
    return ChangeServiceConfigW(service, type, start, error, command, group, tag, dependencies,
                                account, password, display);
}

BOOL WINAPI record_security(SC_HANDLE service, SECURITY_INFORMATION what,
                            PSECURITY_DESCRIPTOR descriptor) {
    wchar_t* sddl = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what,
                                                             &sddl, nullptr)) {
        g_asked.security.push_back(sddl);
        LocalFree(sddl);
    }
    return SetServiceObjectSecurity(service, what, descriptor);
}

BOOL WINAPI record_config2(SC_HANDLE service, DWORD level, void* information) {
    if (level == SERVICE_CONFIG_DESCRIPTION)
        g_asked.description.push_back(
            static_cast<SERVICE_DESCRIPTIONW*>(information)->lpDescription);
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS)
        g_asked.failure_actions.push_back(
            static_cast<SERVICE_FAILURE_ACTIONSW*>(information)->cActions);
    return ChangeServiceConfig2W(service, level, information);
}

bool service_exists() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, service::kServiceName, SERVICE_QUERY_STATUS);
    const bool exists = service != nullptr;
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return exists;
}

// Registered for the length of a test, unregistered at its end.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_asked = Asked();
        ASSERT_EQ(service::service_folder(folder_), 0);
        ASSERT_FALSE(service_exists());
    }
    void TearDown() override { service::unregister_service(); }

    std::wstring folder_;
};

TEST_F(ServiceTest, RegistersItsQuotedImageAsLocalSystemThatUsersMayOnlyStart) {
    SystemCallOverride<decltype(&::CreateServiceW)> create(&SystemCalls::create_service_w,
                                                           record_create);
    SystemCallOverride<decltype(&::ChangeServiceConfigW)> change(
        &SystemCalls::change_service_config_w, record_change);
    SystemCallOverride<decltype(&::SetServiceObjectSecurity)> security(
        &SystemCalls::set_service_object_security, record_security);
    SystemCallOverride<decltype(&::ChangeServiceConfig2W)> config2(
        &SystemCalls::change_service_config2_w, record_config2);
    const std::wstring image = folder_ + L"\\updater.exe";
    const std::wstring command = L"\"" + image + L"\" --service";
    // Interactive users may query and start it, never stop, change or delete it.
    const std::wstring sddl =
        L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
        L"(A;;CCLCSWRPLORC;;;IU)";

    ASSERT_EQ(service::register_service(), 0);
    EXPECT_TRUE(service_exists());
    ASSERT_EQ(g_asked.created.size(), 1u);
    EXPECT_EQ(g_asked.created[0],
              std::wstring(BRAND_SERVICE_NAME_W L"|" BRAND_SERVICE_DISPLAY_NAME_W L"|16|3|") +
                  command + L"|(null)");
    EXPECT_TRUE(g_asked.changed.empty());
    EXPECT_EQ(g_asked.security, std::vector<std::wstring>{sddl});
    EXPECT_EQ(g_asked.description, std::vector<std::wstring>{BRAND_SERVICE_DESCRIPTION_W});
    EXPECT_EQ(g_asked.failure_actions, std::vector<DWORD>{0});
    std::wstring own;
    ASSERT_EQ(utils::get_current_image_path(own), 0);
    EXPECT_EQ(fs::file_size(image), fs::file_size(own));

    // Again, as a newer installer of the application registers it: the registration is
    // brought up to date, and the image there before moves aside for the next start to
    // remove.
    g_asked = Asked();
    ASSERT_EQ(service::register_service(), 0);
    ASSERT_EQ(g_asked.created.size(), 1u);
    EXPECT_EQ(g_asked.changed, std::vector<std::wstring>{L"16|3|" + command + L"|LocalSystem"});
    EXPECT_EQ(g_asked.security, std::vector<std::wstring>{sddl});
    size_t aside = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_))
        aside += entry.path().extension() == ".aside";
    EXPECT_EQ(aside, 1u);
    EXPECT_TRUE(fs::exists(image));
    service::remove_leftovers(folder_);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);

    ASSERT_EQ(service::unregister_service(), 0);
    EXPECT_FALSE(service_exists());
    EXPECT_FALSE(fs::exists(folder_));
    // Nothing to unregister is no failure.
    EXPECT_EQ(service::unregister_service(), 0);
}

// What the system answers to the first run's request, and where it leads.
DWORD g_start_errors = 0;  // how many starts fail with ERROR_SERVICE_ALREADY_RUNNING first
DWORD g_state = SERVICE_STOPPED;

BOOL WINAPI start_when_free(SC_HANDLE, DWORD count, const wchar_t** arguments) {
    if (g_start_errors > 0) {
        --g_start_errors;
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    g_asked.started.emplace_back(arguments, arguments + count);
    return TRUE;
}

BOOL WINAPI report_state(SC_HANDLE, SC_STATUS_TYPE, BYTE* buffer, DWORD size, DWORD* needed) {
    *needed = sizeof(SERVICE_STATUS_PROCESS);
    if (size < *needed) return FALSE;
    reinterpret_cast<SERVICE_STATUS_PROCESS*>(buffer)->dwCurrentState = g_state;
    return TRUE;
}

TEST_F(ServiceTest, ARequestCarriesTheInstallerAloneAndSaysWhyItWasNotMade) {
    const service::Request request{"0f8fad5b-d9cb-469f-a165-70867728950e",
                                   "C:\\users\\zoe\\setup.exe"};
    service::ScopedServiceHandle running;
    EXPECT_EQ(service::start_request(request, 0, running), service::Answer::kMissing);
    ASSERT_EQ(service::register_service(), 0);

    SystemCallOverride<decltype(&::StartServiceW)> start(&SystemCalls::start_service_w,
                                                         start_when_free);
    SystemCallOverride<decltype(&::QueryServiceStatusEx)> state(
        &SystemCalls::query_service_status_ex, report_state);
    struct Case {
        const char* name;
        DWORD busy_starts;  // starts refused as already running
        DWORD state;        // while the first run waits
        service::Answer answer;
    } cases[] = {
        {"free", 0, SERVICE_STOPPED, service::Answer::kStarted},
        {"free once the request before has ended", 1, SERVICE_STOPPED, service::Answer::kStarted},
        {"busy past the wait", 1, SERVICE_RUNNING, service::Answer::kBusy},
        {"still busy after the wait", 2, SERVICE_STOPPED, service::Answer::kBusy},
    };
    for (const Case& c : cases) {
        g_asked.started.clear();
        g_start_errors = c.busy_starts;
        g_state = c.state;
        service::ScopedServiceHandle handle;
        EXPECT_EQ(service::start_request(request, 300, handle), c.answer) << c.name;
        if (c.answer != service::Answer::kStarted) continue;
        EXPECT_TRUE(handle.valid()) << c.name;
        EXPECT_EQ(g_asked.started, (std::vector<std::vector<std::wstring>>{
                                       {L"install", L"0f8fad5b-d9cb-469f-a165-70867728950e",
                                        L"C:\\users\\zoe\\setup.exe"}}))
            << c.name;
    }

    // Disabled by an administrator: known before it is started.
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, service::kServiceName, SERVICE_CHANGE_CONFIG);
    ASSERT_TRUE(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED,
                                     SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    g_asked.started.clear();
    EXPECT_EQ(service::start_request(request, 0, running), service::Answer::kDisabled);
    EXPECT_TRUE(g_asked.started.empty());

    SystemCallOverride<decltype(&::OpenServiceW)> denied(
        &SystemCalls::open_service_w, [](SC_HANDLE, const wchar_t*, DWORD) -> SC_HANDLE {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        });
    EXPECT_EQ(service::start_request(request, 0, running), service::Answer::kDenied);
}

// The first run reads the status while the service writes the next one: the reader's open
// file delays the new status, never loses it.
TEST_F(ServiceTest, AStatusWrittenWhileItIsReadIsNotLost) {
    ASSERT_EQ(service::register_service(), 0);
    const std::string id = "0f8fad5b-d9cb-469f-a165-70867728950e";
    service::Status status;
    status.step = 3;
    ASSERT_EQ(service::write_status(folder_, id, status), 0);
    // Opened as fs::read_small_file opens it, and held a while.
    HANDLE reader = CreateFileW(service::status_path(folder_, id).c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::thread let_go([reader] {
        Sleep(300);
        CloseHandle(reader);
    });
    status.step = 20;
    status.result = "installed";
    EXPECT_EQ(service::write_status(folder_, id, status), 0);
    let_go.join();
    service::Status read;
    ASSERT_EQ(service::read_status(folder_, id, read), 0);
    EXPECT_EQ(read.step, 20);
    EXPECT_EQ(read.result, "installed");
}

}  // namespace
