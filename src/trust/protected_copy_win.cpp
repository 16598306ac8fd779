#include "utils/protected_copy.h"
#include "utils/win.h"
// After win.h: these headers rely on <windows.h> but do not include it.
#include <bcrypt.h>
#include <sddl.h>
#include <shlobj.h>

#include <memory>
#include <vector>

#include "integrity/digest_text.h"
#include "integrity/md5.h"
#include "log/log.h"
#include "utils/text.h"

namespace utils {

namespace {

// Full control for Administrators and SYSTEM, inherited by anything made inside, and
// nothing inherited from the parent: the user who started the update gets no entry.
const wchar_t* const kFolderSddl = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
// The same for the copy itself, given explicitly rather than left to inheritance.
const wchar_t* const kFileSddl = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)";
const wchar_t* const kFolderPrefix = L"CorvaneUpdate-";
// A name that exists already is never reused; a few fresh draws settle a collision.
constexpr int kNameAttempts = 8;
constexpr DWORD kCopyBufferBytes = 64 * 1024;

struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};
using SecurityDescriptor = std::unique_ptr<void, LocalFreer>;

SecurityDescriptor make_descriptor(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return nullptr;
    return SecurityDescriptor(descriptor);
}

// Random, so that nobody can make the folder before us under the name we will pick.
bool random_folder_name(std::wstring& name) {
    unsigned char bytes[8];
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return false;
    name = kFolderPrefix + widen(digest_hex(bytes, sizeof bytes));
    return true;
}

// Makes the folder with `descriptor` directly in the program-data folder. Ordinary users
// may add folders there but not rename or delete what others made, so nobody can move
// ours aside and put their own in its place while the copy is in use; an intermediate
// folder of ours could have been made by anyone beforehand.
bool program_data_folder(std::wstring& folder) {
    wchar_t base[MAX_PATH] = {0};
    const HRESULT found =
        SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base);
    if (FAILED(found)) {
        SetLastError(static_cast<DWORD>(found));
        return false;
    }
    folder = base;
    return true;
}

bool make_protected_folder(PSECURITY_DESCRIPTOR descriptor, std::wstring& folder) {
    std::wstring base;
    if (!program_data_folder(base)) return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::wstring name;
        if (!random_folder_name(name)) return false;
        const std::wstring candidate = base + L"\\" + name;
        if (CreateDirectoryW(candidate.c_str(), &attributes)) {
            folder = candidate;
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

std::wstring file_name_of(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// Deletes `path` (a folder when `folder` is set), or leaves it to the next restart.
void remove_or_schedule(const std::wstring& path, bool folder) {
    const BOOL removed = folder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
    if (removed || GetLastError() == ERROR_FILE_NOT_FOUND) return;
    LOG_WARN("utils::ProtectedCopy::~ProtectedCopy", "Failed to remove %s: %s",
             narrow(path).c_str(), last_error_text().c_str());
    MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

}  // namespace

int make_protected_folder(std::wstring& folder) {
    const SecurityDescriptor descriptor = make_descriptor(kFolderSddl);
    if (!descriptor || !make_protected_folder(descriptor.get(), folder)) return -1;
    return 0;
}

std::vector<std::wstring> protected_folders() {
    std::vector<std::wstring> found;
    std::wstring base;
    if (!program_data_folder(base)) return found;
    WIN32_FIND_DATAW entry;
    const ScopedFindHandle search(FindFirstFileExW((base + L"\\" + kFolderPrefix + L"*").c_str(),
                                                   FindExInfoBasic, &entry,
                                                   FindExSearchLimitToDirectories, nullptr, 0));
    if (!search) return found;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            found.push_back(base + L"\\" + entry.cFileName);
    } while (FindNextFileW(search.get(), &entry));
    return found;
}

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
    SetFileInformationByHandle(source_.get(), FileDispositionInfo, &dispose, sizeof dispose);
}

void ProtectedCopy::release() {
    // The copy must be closed before it can be deleted; the source goes (and, after
    // remove_source, is deleted) with its handle.
    copy_.reset();
    source_.reset();
    if (!path_wide_.empty()) remove_or_schedule(path_wide_, false);
    if (!folder_wide_.empty()) remove_or_schedule(folder_wide_, true);
    folder_wide_.clear();
    path_wide_.clear();
    folder_.clear();
    path_.clear();
}

int copy_to_protected_folder(const std::string& source, const std::string& expected_md5,
                             ProtectedCopy& out) {
    const char* const function = "utils::copy_to_protected_folder";
    // Whatever this function leaves in `made` is removed again on a failure.
    ProtectedCopy made;
    const std::wstring source_wide = widen(source);

    // Delete access, where granted, lets the phase remove exactly this file at the end.
    made.source_.reset(CreateFileW(source_wide.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!made.source_ && GetLastError() == ERROR_ACCESS_DENIED) {
        made.source_.reset(CreateFileW(source_wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    }
    if (!made.source_) {
        LOG_WARN(function, "Failed to open the installer %s: %s", source.c_str(),
                 last_error_text().c_str());
        return -1;
    }
    // A pipe or a device could hand out different bytes on every read, or never end.
    if (GetFileType(made.source_.get()) != FILE_TYPE_DISK) {
        LOG_WARN(function, "The installer %s is not a file.\n", source.c_str());
        return -1;
    }

    const SecurityDescriptor folder_descriptor = make_descriptor(kFolderSddl);
    const SecurityDescriptor file_descriptor = make_descriptor(kFileSddl);
    if (!folder_descriptor || !file_descriptor ||
        !make_protected_folder(folder_descriptor.get(), made.folder_wide_)) {
        LOG_WARN(function, "Failed to make a protected folder for the installer: %s",
                 last_error_text().c_str());
        return -1;
    }
    made.folder_ = narrow(made.folder_wide_);

    const std::wstring copy_wide = made.folder_wide_ + L"\\" + file_name_of(source_wide);
    const std::string copy = narrow(copy_wide);
    // The phase hands the path on as narrow text, which the system limits to MAX_PATH.
    if (copy.size() >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        LOG_WARN(function, "Failed to write the copy %s of the installer: %s", copy.c_str(),
                 last_error_text().c_str());
        return -1;
    }
    SECURITY_ATTRIBUTES file_attributes{sizeof file_attributes, file_descriptor.get(), FALSE};
    ScopedKernelHandle writer(CreateFileW(copy_wide.c_str(), GENERIC_WRITE, 0, &file_attributes,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!writer) {
        LOG_WARN(function, "Failed to write the copy %s of the installer: %s", copy.c_str(),
                 last_error_text().c_str());
        return -1;
    }
    made.path_wide_ = copy_wide;
    made.path_ = copy;

    // The digest is taken over the bytes as they are written, so no second reader of
    // either file is needed to know what the copy holds.
    Md5Context md5;
    md5_init(md5);
    std::vector<unsigned char> buffer(kCopyBufferBytes);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(made.source_.get(), buffer.data(), kCopyBufferBytes, &got, nullptr)) {
            LOG_WARN(function, "Failed to read the installer %s: %s", source.c_str(),
                     last_error_text().c_str());
            return -1;
        }
        if (got == 0) break;
        md5_update(md5, buffer.data(), got);
        for (DWORD done = 0; done < got;) {
            DWORD wrote = 0;
            if (!WriteFile(writer.get(), buffer.data() + done, got - done, &wrote, nullptr) ||
                wrote == 0) {
                LOG_WARN(function, "Failed to write the copy %s of the installer: %s", copy.c_str(),
                         last_error_text().c_str());
                return -1;
            }
            done += wrote;
        }
    }
    writer.reset();

    unsigned char digest[MD5_DIGEST_SIZE];
    md5_final(md5, digest);
    const std::string computed = digest_hex(digest, sizeof digest);
    if (!same_digest_text(expected_md5, computed)) {
        LOG_WARN(function, "The installer %s does not match its digest %s (got %s).\n",
                 source.c_str(), expected_md5.c_str(), computed.c_str());
        return -1;
    }

    // Held until the end, so that not even another elevated program changes the copy
    // between this check and its run. Starting a program needs only read sharing.
    made.copy_.reset(CreateFileW(copy_wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    if (!made.copy_) {
        LOG_WARN(function, "Failed to write the copy %s of the installer: %s", copy.c_str(),
                 last_error_text().c_str());
        return -1;
    }
    LOG_INFO(function, "Checked copy of the installer %s at %s.\n", source.c_str(), copy.c_str());
    out = std::move(made);
    return 0;
}

}  // namespace utils
