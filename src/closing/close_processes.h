// Closing what holds the install folder before an installer replaces its files: every
// program whose image lies in the folder and every process of the client application's
// image name, wherever it runs, in every session. Each is asked to close first, as Windows
// asks at a log-off and as Restart Manager asks a program with windows; what is still
// running after a grace period is ended by force. Windows only.
#pragma once

#include <future>
#include <string>
#include <vector>

namespace closing {

struct CloseRequest {
    // The install folder: every process whose image lies in it, at any depth, is closed
    // (full paths, compared without regard to letter case once both are normalised; see
    // FolderMatch). Empty: none by folder.
    std::string folder;
    // Every process of this image file name anywhere ("CorvaneApp.exe"), the case of A to
    // Z ignored, is closed too.
    std::string image_name;
    // Images in the folder that are never closed (full paths): the updater's own, under
    // both of its names.
    std::vector<std::string> spared;
    // How long the processes have in all, from the request on, to end by themselves.
    unsigned grace_ms = 5000;
};

// Closes every process that `request` names, this one excepted. Each top-level window of
// such a process on this run's desktop gets WM_QUERYENDSESSION (ENDSESSION_CLOSEAPP), then
// WM_ENDSESSION (ending the session when every window of the process agreed) and WM_CLOSE,
// each process's windows on a thread of their own; windows in other sessions cannot be
// reached, so their processes only get the grace period. A process still running when it
// is over is terminated with the exit code 0xFFFFFFFF or, when that fails, by
// "<System32>\taskkill.exe /pid <id> /f" while its handle is held, and then waited for,
// at most 10 s in all. A process that cannot be opened with SYNCHRONIZE and
// PROCESS_TERMINATE is named in a WARN line and left running, neither asked nor ended:
// nothing is ended by an id that no held handle keeps from being reused.
// Logs one INFO line for each process that ended in time, one WARN line for each that had
// to be ended by force, and one more for each still running after that. Then names, in a
// WARN line each, the processes that still have a module loaded from the folder (image and
// module), and leaves them running: an Explorer with a shell extension from the folder is
// not the updater's to end.
// Returns the number of processes it closed or ended, or -1 after a WARN line when the
// list of processes cannot be read. Calling thread; the threads it starts end soon after
// the processes they ask, at the latest when the grace period is over.
// Given `holders`, the look for what still holds the folder (a module list per process,
// a tenth of a second under Wine) runs on a thread of its own, and `holders` is its
// result, the number of processes named, for the caller to wait for.
int close_processes(const CloseRequest& request, std::future<int>* holders = nullptr);

}  // namespace closing
