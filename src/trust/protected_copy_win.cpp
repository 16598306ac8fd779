#include <cwctype>

#include "fs/file_tree.h"
#include "fs/protected_folder.h"
#include "integrity/digest_text.h"
#include "integrity/md5.h"
#include "log/log.h"
#include "trust/protected_copy.h"
#include "utils/system_calls.h"
#include "utils/text.h"

namespace trust {

namespace {

// The installer's TEMP and TMP, beside the copy.
const wchar_t* const kTempFolderName = L"temp";

std::wstring file_name_of(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// Deletes `path` (a folder when `folder` is set), or leaves it to the next restart.
void remove_or_schedule(const std::wstring& path, bool folder) {
    if (fs::delete_or_schedule(path, folder) == 0) return;
    LOG_WARN("trust::ProtectedCopy::~ProtectedCopy", "Failed to remove %s: %s",
             narrow(path).c_str(), last_error_text().c_str());
}

}  // namespace

ProtectedCopy::~ProtectedCopy() { release(); }

ProtectedCopy::ProtectedCopy(ProtectedCopy&& other) noexcept { *this = std::move(other); }

ProtectedCopy& ProtectedCopy::operator=(ProtectedCopy&& other) noexcept {
    if (this == &other) return *this;
    release();
    folder_wide_ = std::move(other.folder_wide_);
    path_wide_ = std::move(other.path_wide_);
    folder_ = std::move(other.folder_);
    path_ = std::move(other.path_);
    source_ = std::move(other.source_);
    copy_ = std::move(other.copy_);
    // A moved-from string is only valid, not necessarily empty; the other object must
    // not remove what now belongs to this one.
    other.folder_wide_.clear();
    other.path_wide_.clear();
    other.folder_.clear();
    other.path_.clear();
    return *this;
}

void ProtectedCopy::remove_source() {
    if (!source_ || path_.empty()) return;
    FILE_DISPOSITION_INFO dispose{TRUE};
    utils::system_calls().set_file_information_by_handle(source_.get(), FileDispositionInfo,
                                                         &dispose, sizeof dispose);
}

void ProtectedCopy::release() {
    // The copy must be closed before it can be deleted; the source goes (and, after
    // remove_source, is deleted) with its handle.
    copy_.reset();
    source_.reset();
    if (!path_wide_.empty()) remove_or_schedule(path_wide_, false);
    if (!folder_wide_.empty()) {
        fs::delete_tree(folder_wide_ + L"\\" + kTempFolderName);
        remove_or_schedule(folder_wide_, true);
    }
    folder_wide_.clear();
    path_wide_.clear();
    folder_.clear();
    path_.clear();
}

int ProtectedCopy::make_temp_folder(std::wstring& folder) {
    const std::wstring made = folder_wide_ + L"\\" + kTempFolderName;
    if (folder_wide_.empty() || fs::make_folder(made) < 0) {
        LOG_WARN("trust::ProtectedCopy::make_temp_folder", "Failed to make %s: %s",
                 narrow(made).c_str(), last_error_text().c_str());
        return -1;
    }
    folder = made;
    return 0;
}

namespace {

// The path the system gives the object behind `handle`, in lower case: "\\?\c:\...".
bool final_path_of(HANDLE handle, std::wstring& out) {
    if (fs::final_path(handle, out) < 0) return false;
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(c));
    return true;
}

// Whatever answers an open of a pipe or a share may learn who opened it, never act as them.
constexpr DWORD kIdentifyOnly = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

}  // namespace

int ProtectedCopy::open_source(const std::string& source, const SourceOwner& owner) {
    const std::wstring path = widen(source);
    const bool acting = owner.user_token != nullptr;
    if (acting && !utils::system_calls().impersonate_logged_on_user(owner.user_token)) {
        LOG_WARN(kFunction, "Cannot act as the desktop user to open the installer %s: %s",
                 source.c_str(), last_error_text().c_str());
        return -1;
    }
    // Delete access, where granted, lets the phase remove exactly this file at the end.
    // A link itself is opened, never what it leads to, and refused by check_source: the
    // first run downloads a plain file.
    const DWORD flags = FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT | kIdentifyOnly;
    const bool opened = fs::open_file(path, GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING,
                                      flags, nullptr, source_) == 0 ||
                        (GetLastError() == ERROR_ACCESS_DENIED &&
                         fs::open_file(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, flags,
                                       nullptr, source_) == 0);
    DWORD error = opened ? ERROR_SUCCESS : GetLastError();
    utils::ScopedKernelHandle folder;
    if (opened && !owner.folder.empty() &&
        fs::open_file(owner.folder, FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | kIdentifyOnly, nullptr, folder) < 0)
        error = GetLastError();
    // Going on as the user would leave this run without the rights it works with.
    if (acting && !RevertToSelf()) {
        LOG_WARN(kFunction, "Failed to stop acting as the desktop user: %s",
                 last_error_text().c_str());
        return -1;
    }
    if (!opened) {
        SetLastError(error);
        LOG_WARN(kFunction, "Failed to open the installer %s: %s", source.c_str(),
                 last_error_text().c_str());
        return -1;
    }
    if (owner.folder.empty()) return 0;
    std::wstring file_path;
    std::wstring folder_path;
    if (!folder || !final_path_of(source_.get(), file_path) ||
        !final_path_of(folder.get(), folder_path) ||
        file_path.compare(0, folder_path.size() + 1, folder_path + L"\\") != 0) {
        LOG_WARN(kFunction, "The installer %s is not in the update folder %s: it is not copied.\n",
                 source.c_str(), narrow(owner.folder).c_str());
        return -2;
    }
    return 0;
}

// What may be copied: a file on a disk, by one name.
int ProtectedCopy::check_source(const std::string& source) {
    if (!fs::is_disk_file(source_.get())) {
        LOG_WARN(kFunction, "The installer %s is not a file.\n", source.c_str());
        return -1;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!utils::system_calls().get_file_information_by_handle_ex(
            source_.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
        LOG_WARN(kFunction, "Failed to open the installer %s: %s", source.c_str(),
                 last_error_text().c_str());
        return -1;
    }
    if ((tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        LOG_WARN(kFunction, "The installer %s is a link or a folder: it is not copied.\n",
                 source.c_str());
        return -1;
    }
    // The first run downloads the installer under one name. A second one is a hard link
    // that whoever started this run made, to a file they may not be able to read.
    BY_HANDLE_FILE_INFORMATION information{};
    if (!utils::system_calls().get_file_information_by_handle(source_.get(), &information)) {
        LOG_WARN(kFunction, "Failed to open the installer %s: %s", source.c_str(),
                 last_error_text().c_str());
        return -1;
    }
    if (information.nNumberOfLinks != 1) {
        LOG_WARN(kFunction, "The installer %s has more than one name: it is not copied.\n",
                 source.c_str());
        return -1;
    }
    return 0;
}

int ProtectedCopy::create_copy(const std::string& source, utils::ScopedKernelHandle& writer) {
    if (fs::make_protected_folder(folder_wide_) < 0) {
        LOG_WARN(kFunction, "Failed to make a protected folder for the installer: %s",
                 last_error_text().c_str());
        return -1;
    }
    folder_ = narrow(folder_wide_);
    const std::wstring copy_wide = folder_wide_ + L"\\" + file_name_of(widen(source));
    const std::string copy = narrow(copy_wide);
    // The phase hands the path on as narrow text, which the system limits to MAX_PATH.
    if (copy.size() >= MAX_PATH) SetLastError(ERROR_FILENAME_EXCED_RANGE);
    if (copy.size() >= MAX_PATH || fs::create_protected_file(copy_wide, writer) < 0) {
        LOG_WARN(kFunction, "Failed to write the copy %s of the installer: %s", copy.c_str(),
                 last_error_text().c_str());
        return -1;
    }
    path_wide_ = copy_wide;
    path_ = copy;
    return 0;
}

namespace {

void add_to_md5(void* context, const unsigned char* data, DWORD size) {
    md5_update(*static_cast<Md5Context*>(context), data, size);
}

}  // namespace

// The digest is taken over the bytes as they are written, so no second reader of either
// file is needed to know what the copy holds.
int ProtectedCopy::fill_copy(const std::string& source, HANDLE writer, std::string& md5_text) {
    Md5Context md5;
    md5_init(md5);
    fs::Buffer buffer;
    fs::Side failed = fs::Side::kSource;
    if (fs::copy_bytes(source_.get(), writer, buffer, failed, add_to_md5, &md5) < 0) {
        if (failed == fs::Side::kSource) {
            LOG_WARN(kFunction, "Failed to read the installer %s: %s", source.c_str(),
                     last_error_text().c_str());
        } else {
            LOG_WARN(kFunction, "Failed to write the copy %s of the installer: %s", path_.c_str(),
                     last_error_text().c_str());
        }
        return -1;
    }
    unsigned char digest[MD5_DIGEST_SIZE];
    md5_final(md5, digest);
    md5_text = digest_hex(digest, sizeof digest);
    return 0;
}

int ProtectedCopy::copy(const std::string& source, const std::string* expected_md5,
                        ProtectedCopy& out, const SourceOwner& owner) {
    // Whatever this function leaves in `made` is removed again on a failure.
    ProtectedCopy made;
    utils::ScopedKernelHandle writer;
    std::string computed;
    const int opened = made.open_source(source, owner);
    if (opened < 0) return opened;
    if (made.check_source(source) < 0 || made.create_copy(source, writer) < 0 ||
        made.fill_copy(source, writer.get(), computed) < 0)
        return -1;
    writer.reset();
    if (expected_md5 != nullptr && !same_digest_text(*expected_md5, computed)) {
        // Without the digest found: it would tell whoever named the file the digest of a
        // file they may not read themselves.
        LOG_WARN(ProtectedCopy::kFunction, "The installer %s does not match its digest %s.\n",
                 source.c_str(), expected_md5->c_str());
        return -1;
    }
    // Held until the end, so that not even another elevated program changes the copy
    // between this check and its run. Starting a program needs only read sharing.
    if (fs::open_file(made.path_wide_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0, nullptr,
                      made.copy_) < 0) {
        LOG_WARN(ProtectedCopy::kFunction, "Failed to write the copy %s of the installer: %s",
                 made.path_.c_str(), last_error_text().c_str());
        return -1;
    }
    LOG_INFO(ProtectedCopy::kFunction, "Checked copy of the installer %s at %s.\n", source.c_str(),
             made.path_.c_str());
    out = std::move(made);
    return 0;
}

int copy_to_protected_folder(const std::string& source, const std::string& expected_md5,
                             ProtectedCopy& out, const SourceOwner& owner) {
    return ProtectedCopy::copy(source, &expected_md5, out, owner);
}

int copy_signed_to_protected_folder(const std::string& source, ProtectedCopy& out) {
    return ProtectedCopy::copy(source, nullptr, out, SourceOwner());
}

}  // namespace trust
