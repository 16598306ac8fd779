#include "utils/win.h"
// After win.h: these shell headers rely on <windows.h> but do not include it.
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>

#include "log/log.h"
#include "utils/paths.h"
#include "utils/system_calls.h"
#include "utils/text.h"

namespace utils {

int get_current_image_path(std::string& out) {
    std::wstring path;
    if (get_current_image_path(path) < 0) return -1;
    out = narrow(path);
    return 0;
}

int get_current_image_path(std::wstring& out) {
    wchar_t path[MAX_PATH] = {0};
    if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) {
        LOG_WARN("utils::get_current_image_path", "Failed to get current module path: %s",
                 last_error_text().c_str());
        return -1;
    }
    out = path;
    return 0;
}

int get_working_folder(std::wstring& out) {
    wchar_t path[MAX_PATH] = {0};
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, path);
    if (length == 0 || length >= MAX_PATH) {
        if (length != 0) SetLastError(ERROR_INSUFFICIENT_BUFFER);
        LOG_WARN("utils::get_working_folder", "Failed to get the working folder: %s",
                 last_error_text().c_str());
        return -1;
    }
    out.assign(path, length);
    return 0;
}

bool is_on_fixed_drive(const std::string& path) {
    if (path.size() < 3) return false;
    const std::wstring root = widen(path.substr(0, 2)) + L"\\";
    return GetDriveTypeW(root.c_str()) == DRIVE_FIXED;
}

int copy_file(const std::string& from, const std::string& to) {
    return system_calls().copy_file_w(widen(from).c_str(), widen(to).c_str(), FALSE) ? 0 : -1;
}

int move_file(const std::string& from, const std::string& to) {
    return system_calls().move_file_ex_w(widen(from).c_str(), widen(to).c_str(),
                                         MOVEFILE_REPLACE_EXISTING)
               ? 0
               : -1;
}

bool file_exists(const std::string& path) {
    FILE* file = open_file(path, "rb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

void make_folder(const std::string& path) { CreateDirectoryW(widen(path).c_str(), nullptr); }

int get_app_data_path(const std::string& suffix, std::string& out, void* user) {
    wchar_t path[MAX_PATH] = {0};
    const int folder = user == nullptr ? CSIDL_APPDATA | CSIDL_FLAG_CREATE : CSIDL_APPDATA;
    const HRESULT result = SHGetFolderPathW(nullptr, folder, user, SHGFP_TYPE_CURRENT, path);
    if (FAILED(result)) {
        // The lookup reports through its result; the log names the thread's last error.
        const std::string error = last_error_text();
        out = narrow(path);
        LOG_WARN("utils::get_app_data_path", "Failed to get app data path: %s", error.c_str());
        return -1;
    }
    out = narrow(path);
    if (!PathAppendW(path, widen(suffix).c_str())) return -1;
    out = narrow(path);
    return 0;
}

std::string join_path(const std::string& folder, const std::string& name) {
    const std::wstring wide_folder = widen(folder);
    const std::wstring wide_name = widen(name);
    // Wine's PathAppendW hands back a folder of MAX_PATH units or more whole, past the end
    // of the buffer (measured: 260 units in, 260 out), where Windows refuses it; the parts
    // are bounded here first, and PathAppendW bounds their join.
    if (wide_folder.size() >= MAX_PATH || wide_name.size() >= MAX_PATH) return std::string();
    wchar_t path[MAX_PATH] = {0};
    if (!PathAppendW(path, wide_folder.c_str()) || !PathAppendW(path, wide_name.c_str()))
        return std::string();
    return narrow(path);
}

int try_change_current_image_name(const std::string& new_path) {
    wchar_t image[MAX_PATH] = {0};
    DWORD size = MAX_PATH;
    if (!QueryFullProcessImageNameW(GetCurrentProcess(), 0, image, &size)) {
        LOG_WARN("utils::try_change_current_image_name", "Failed to query process image name\n");
        return -1;
    }
    if (!system_calls().move_file_ex_w(image, widen(new_path).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        LOG_WARN("utils::try_change_current_image_name", "Failed to rename file: %s",
                 last_error_text().c_str());
        return -1;
    }
    return 0;
}

}  // namespace utils

int gen_hubra_exe_path(const std::string& exe_path, std::string& out) {
    std::string folder;
    if (utils::get_parent_path(exe_path, folder) < 0) {
        LOG_WARN("gen_hubra_exe_path", "Failed to get parent path from %s\n", exe_path.c_str());
        return -1;
    }
    if (utils::get_parent_path(folder, folder) < 0) {
        LOG_WARN("gen_hubra_exe_path", "Failed to get parent path from %s\n", folder.c_str());
        return -1;
    }
    out = utils::join_path(folder, utils::kClientExeName);
    return 0;
}
