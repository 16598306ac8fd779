#include "log/log.h"
#include "outcome/last_update_file.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "utils/win.h"

namespace outcome {

namespace {

// A record is a few hundred bytes; anything much larger is not one.
constexpr DWORD kMostBytes = 64 * 1024;

std::wstring record_path(const std::wstring& folder) { return folder + L"\\" + widen(kRecordName); }

}  // namespace

int write_last_update(const std::wstring& folder, const LastUpdate& record) {
    const char* const function = "outcome::write_last_update";
    const std::wstring path = record_path(folder);
    // The folder is the user's, and the elevated run writes into it: a file or link that
    // someone put there under the temporary name is never opened, let alone truncated or
    // written through; the record then stays as it was.
    const std::wstring temporary = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    const std::string text = to_json(record);
    bool file_made = false;
    bool written = false;
    {
        // Written through before the move: a record that survives a power cut is whole.
        utils::ScopedKernelHandle file(
            CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        DWORD wrote = 0;
        file_made = file.valid();
        written =
            file.valid() && !text.empty() &&
            WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) &&
            wrote == text.size() && FlushFileBuffers(file.get());
    }
    if (!written || !MoveFileExW(temporary.c_str(), path.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        LOG_WARN(function, "Failed to write %s: %s", narrow(path).c_str(),
                 last_error_text().c_str());
        if (file_made) DeleteFileW(temporary.c_str());
        return -1;
    }
    return 0;
}

int read_last_update(const std::wstring& folder, LastUpdate& out) {
    const char* const function = "outcome::read_last_update";
    const std::wstring path = record_path(folder);
    utils::ScopedKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 1;
        LOG_WARN(function, "Failed to read %s: %s", narrow(path).c_str(),
                 last_error_text().c_str());
        return -1;
    }
    std::string text(kMostBytes, '\0');
    DWORD read = 0;
    if (!ReadFile(file.get(), &text[0], kMostBytes, &read, nullptr)) {
        LOG_WARN(function, "Failed to read %s: %s", narrow(path).c_str(),
                 last_error_text().c_str());
        return -1;
    }
    text.resize(read);
    if (from_json(text, out) < 0) {
        LOG_WARN(function, "%s is no record of an update.\n", narrow(path).c_str());
        return -1;
    }
    return 0;
}

}  // namespace outcome
