// What still holds the install folder once its programs are closed: processes from
// elsewhere that loaded a DLL from it (a shell extension in Explorer, an add-in).
#include "closing/folder_match.h"
#include "log/log.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"

namespace closing {

namespace {

const char* const kReport = "closing::report_folder_holders";

// The first module of process `id` that lies in `folder`; empty when there is none or its
// modules cannot be listed (a protected process, or one that has ended meanwhile).
std::wstring module_in(DWORD id, const std::wstring& folder) {
    utils::ScopedKernelHandle modules;
    // A process that loads or unloads a module meanwhile fails the snapshot with
    // ERROR_BAD_LENGTH; the next try usually gets it.
    for (int attempt = 0; attempt < 3 && !modules; ++attempt) {
        modules.reset(utils::system_calls().create_toolhelp32_snapshot(
            TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, id));
        if (!modules && GetLastError() != ERROR_BAD_LENGTH) break;
    }
    if (!modules) return std::wstring();
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    for (BOOL more = Module32FirstW(modules.get(), &module); more;
         more = Module32NextW(modules.get(), &module)) {
        if (lies_in(normal_path(module.szExePath), folder)) return module.szExePath;
    }
    return std::wstring();
}

}  // namespace

int report_folder_holders(const FolderMatch& match) {
    if (match.folder().empty()) return 0;
    const std::string folder = narrow(match.folder());
    int named = 0;
    const int listed = for_each_process(kReport, [&](const PROCESSENTRY32W& entry) {
        utils::ScopedKernelHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        std::wstring image = process ? process_image(process.get()) : std::wstring();
        if (image.empty()) image = entry.szExeFile;
        if (match.spares(image)) return;
        const std::wstring module = module_in(entry.th32ProcessID, match.folder());
        if (module.empty()) return;
        LOG_WARN(kReport, "Process %lu (%s) has %s loaded from %s; it is left running.\n",
                 static_cast<unsigned long>(entry.th32ProcessID), narrow(image).c_str(),
                 narrow(module).c_str(), folder.c_str());
        ++named;
    });
    return listed < 0 ? -1 : named;
}

}  // namespace closing
