#include <string>
#include <vector>

#include "driver/entry.h"
#include "driver/phases.h"
#include "log/log.h"
#include "trust/publisher.h"
#include "utils/text.h"
#include "utils/win.h"

#if UPDATER_TIMED_LOG
namespace {
// The benchmark's build (updater-timed.exe): a line after each step of the install phase,
// to time the steps by.
void log_step(int step, ProgressWindow*) { LOG_INFO("run_install_phase", "Step %d done.\n", step); }
}  // namespace
#endif

// The command line as the system holds it, in UTF-16 (linked with -municode): main's
// arguments would be in the ANSI code page, which loses every character outside it, as a
// Chinese user name on a Windows set to English does. The program goes on in UTF-8.
int wmain(int argc, wchar_t** argv) {
    // Before anything else: from here on a DLL that is not one of Windows' known DLLs comes
    // from System32 only, never from this program's folder or the working folder, where
    // anyone who can write there (or who copied updater.exe next to a DLL of their own)
    // could plant one to run with the elevated run's rights. The imports of such DLLs are
    // delay-loaded (updater_delay_load in CMake), so none is loaded before this line: the
    // runtime's start-up and static constructors call only into kernel32 and msvcrt.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return -1;
    // Windows applies the line above to the DLLs that system DLLs load later by bare name,
    // too. Wine's builtin winhttp does not: its delay-loaded iphlpapi (auto-detection of
    // proxies) was taken from this program's folder. Loaded here from System32, it is the
    // copy every later load by name finds; on Windows this changes nothing.
    LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // From the build option of the same name: on in a release, whose updater then refuses
    // every installer when its own signature is missing or does not hold.
    trust::g_own_signature_required = UPDATER_REQUIRE_SIGNATURE != 0;
#if UPDATER_QUICK_WAITS || UPDATER_QUICK_RETRIES
    // Test builds: each wait between download attempts a hundredth as long, in
    // updater-quick-retries.exe alone; in updater-quick-waits.exe also the elevated run's
    // wait for the lock 2 s, and a failed elevated run ends without keeping its window up.
    g_wait_scale = 0.01;
#endif
#if UPDATER_QUICK_WAITS
    g_lock_patience_ms = 2000;
    g_failure_shown_ms = 0;
#endif
#if UPDATER_TIMED_LOG
    // The benchmark's build: log times to the millisecond, and a line after each step.
    log_with_milliseconds(true);
    g_install_step_hook = log_step;
#endif
#ifdef UPDATER_TEST_LISTED_PUBLISHER
    // A test build (the tests' updater-renewed.exe): one subject listed besides the brand's,
    // as a brand lists the subject of a renewed certificate.
    trust::g_listed_publishers.push_back(UPDATER_TEST_LISTED_PUBLISHER);
#endif
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(narrow(argv[i]));
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(&argument[0]);
    return updater_main(argc, pointers.data());
}
