// upgrade-watch: a reference front end for the updater. Its --help text below is its
// manual.
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "brand.h"
#include "child_output.h"
#include "frontend/pipe.h"
#include "outcome/last_update_file.h"
#include "status_parser.h"
#include "utils/paths.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "utils/win.h"
#include "watch_report.h"

// After win.h, which it needs.
#include <shellapi.h>

namespace {

const char kUpgradePipe[] = "\\\\.\\pipe\\" BRAND_PIPE_NAME;

constexpr int kExitUsage = 2;
constexpr int kExitNotStarted = 3;
constexpr int kExitInterrupted = 130;
constexpr int kExitNoRecord = 2;
// How often a missing pipe is tried again, and how long one receive waits before the
// quit flag is looked at again.
constexpr DWORD kConnectRetryMs = 50;
constexpr uint32_t kReceiveWaitMs = 200;

const char kHelp[] = R"(usage: upgrade-watch -- UPDATER.EXE URL MD5
       upgrade-watch
       upgrade-watch --last
       upgrade-watch --help

A front end for the updater, as a client application runs it.

upgrade-watch -- PROGRAM [ARGUMENTS...]
    Starts PROGRAM (the updater: updater.exe URL MD5) in the current folder with its
    standard output in a pipe, shows its status lines, and follows the upgrade pipe
    \\.\pipe\)" BRAND_PIPE_NAME R"( at the same time. The updater makes that pipe anew
    for each download attempt, so upgrade-watch connects again whenever it has gone.
    It ends when the updater has ended and its output is read, with the updater's exit
    code (-1 is passed on unchanged as 0xFFFFFFFF; a POSIX shell under Wine sees 255).
upgrade-watch
    Only follows the upgrade pipe, until Ctrl+C.
upgrade-watch --last
    Tells what the last update did, from the record its elevated run left in the
    update folder (%APPDATA%\)" BRAND_UPDATE_FOLDER_VENDOR "\\" BRAND_UPDATE_FOLDER_PRODUCT
                     R"(\last-update.json): what happened,
    when, which versions, and where its log is. Exit code 0 when it installed, 1
    when it did not, 2 when there is no record (or it cannot be read).

What it reads
  Status lines, on the updater's standard output, one after the other without line
  breaks:
    0, <total>, <received>;    progress: byte counts as "%f", a thinned-out series
    1, <text>;                 a text notice (each one reports a failure)
  The upgrade pipe: one message per transfer callback, each "0, <total>, <received>;".

What it prints
  download  42.7%  17.1 of 40.0 MiB  9.8 MiB/s  0:03 left
                             one live line, redrawn in place ("\r"); fed by the pipe
                             while its messages flow, by the status lines otherwise
  notice: <text>             each text notice, on its own line
  output: <bytes>            standard output that is no status line
  pipe: connected
  pipe: disconnected after N messages
  pipe: not a progress message: <bytes>
  summary: status lines N (progress P, notices T, other O), pipe messages M
           (connections C), updater exit code E          (one line; E: "none" if none)
  Bytes outside printable ASCII (line breaks included) are shown as \xNN.

Reading the status lines robustly
  Nothing in them is escaped: a text may hold ";" and even "0, " or "1, ", and a full
  pipe hands over a line in pieces cut anywhere. So upgrade-watch
  - parses the output incrementally and keeps a cut record until its rest arrives;
  - takes a record start ("0, " or "1, ") only at the start of the output or right
    after the ";" that ended the record before it (or after the ";" or line break
    that ended other output);
  - accepts a progress record only in its exact form "0, N, N;" (N: digits, with an
    optional "-" before and "." and digits after);
  - ends a notice at the last ";" before the next record start or the end of the
    output, so a ";" inside a text stays in it. A text holding ";1, " or a whole
    ";0, N, N;" is shown as two records: the output cannot tell them apart;
  - takes no record to be longer than 4095 bytes, the updater's own limit;
  - shows everything else, a record cut off by the end of the output included, as
    "output:", up to the next ";" or line break.
  A notice is therefore shown once the next record has arrived or the output has ended.

Exit codes: the updater's; 0 after Ctrl+C when only watching the pipe; 130 after
Ctrl+C while the updater runs (it is left running); 2 for a wrong command line; 3 when
the program could not be started.
)";

// Set by Ctrl+C (or the console closing); manual reset.
HANDLE g_interrupt = nullptr;

BOOL WINAPI on_console_control(DWORD) {
    SetEvent(g_interrupt);
    return TRUE;
}

double now_seconds() { return static_cast<double>(GetTickCount64()) / 1000.0; }

// Keeps a client on the upgrade pipe until `quit` is signalled, connecting again after
// the updater has closed it. Runs on its own thread; the Pipe belongs to it.
void watch_pipe(WatchReport& report, HANDLE quit) {
    while (WaitForSingleObject(quit, 0) == WAIT_TIMEOUT) {
        Pipe pipe(kUpgradePipe, false);
        if (pipe.open() < 0) {
            WaitForSingleObject(quit, kConnectRetryMs);
            continue;
        }
        report.pipe_connected();
        std::string message;
        while (WaitForSingleObject(quit, 0) == WAIT_TIMEOUT) {
            if (pipe.receive(message, kReceiveWaitMs) >= 0)
                report.pipe_message(message, now_seconds());
            else if (!pipe.is_connected())
                break;
        }
        report.pipe_disconnected();
    }
}

// One argument as CreateProcess's command-line parser reads it back.
std::wstring quote_argument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only before a quote, which itself gets one more.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

// upgrade-watch --last.
int show_last_update() {
    std::string folder;
    outcome::LastUpdate record;
    if (utils::get_app_data_path(utils::kUpdateFolderSuffix, folder) < 0 ||
        outcome::read_last_update(widen(folder), record) != 0) {
        std::fputs("No update has been recorded.\n", stdout);
        return kExitNoRecord;
    }
    std::fputs(outcome::describe(record).c_str(), stdout);
    return record.result == outcome::kInstalled ? 0 : 1;
}

// Runs the program of `arguments` (after "--"), reporting its status lines as they come,
// and then the summary. Ends the pipe watch through `quit` once the program's output has
// ended. The exit code of upgrade-watch.
int watch_child(const std::vector<std::wstring>& arguments, WatchReport& report, HANDLE interrupt,
                HANDLE quit, std::thread& pipe_thread) {
    std::wstring command_line;
    for (size_t i = 1; i < arguments.size(); ++i)
        command_line += (i > 1 ? L" " : L"") + quote_argument(arguments[i]);
    StatusParser parser;
    std::vector<StatusRecord> records;
    auto show = [&]() {
        for (const StatusRecord& record : records) report.status(record, now_seconds());
        records.clear();
    };
    const ChildResult child =
        run_with_output(command_line, interrupt, [&](const char* data, size_t size) {
            parser.feed(data, size, records);
            show();
        });
    parser.finish(records);
    show();
    SetEvent(quit);
    pipe_thread.join();

    if (!child.started) {
        report.summary(nullptr);
        std::fprintf(stderr, "upgrade-watch: cannot start %s (error %lu)\n",
                     narrow(command_line).c_str(), child.error);
        return kExitNotStarted;
    }
    if (!child.ended) {
        report.summary(nullptr);
        return kExitInterrupted;
    }
    const long signed_code = static_cast<long>(static_cast<int32_t>(child.exit_code));
    report.summary(&signed_code);
    return static_cast<int>(child.exit_code);
}

int run(const std::vector<std::wstring>& arguments) {
    if (arguments.size() == 1 &&
        (arguments[0] == L"--help" || arguments[0] == L"-h" || arguments[0] == L"/?")) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (arguments.size() == 1 && arguments[0] == L"--last") return show_last_update();
    const bool with_child = !arguments.empty();
    if (with_child && (arguments[0] != L"--" || arguments.size() < 2)) {
        std::fputs("usage: upgrade-watch [-- PROGRAM [ARGUMENTS...]]  (see --help)\n", stderr);
        return kExitUsage;
    }

    utils::ScopedKernelHandle interrupt(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    utils::ScopedKernelHandle quit(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!interrupt.valid() || !quit.valid()) {
        std::fprintf(stderr, "upgrade-watch: cannot create an event (error %lu)\n", GetLastError());
        return kExitNotStarted;
    }
    g_interrupt = interrupt.get();
    SetConsoleCtrlHandler(on_console_control, TRUE);

    WatchReport report(stdout);
    std::thread pipe_thread(watch_pipe, std::ref(report), quit.get());
    if (with_child) return watch_child(arguments, report, interrupt.get(), quit.get(), pipe_thread);
    WaitForSingleObject(interrupt.get(), INFINITE);
    SetEvent(quit.get());
    pipe_thread.join();
    report.summary(nullptr);
    return 0;
}

}  // namespace

int main() {
    // "\n" as it is: the live line's "\r" must not turn up as "\r\r\n" in a file, and a
    // console returns to the line's start on "\n" by itself.
    _setmode(_fileno(stdout), _O_BINARY);
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    for (int i = 1; argv != nullptr && i < count; ++i) arguments.push_back(argv[i]);
    LocalFree(argv);
    const int code = run(arguments);
    std::fflush(stdout);
    // The exit code goes out as the updater gave it, all 32 bits.
    ExitProcess(static_cast<UINT>(code));
}
