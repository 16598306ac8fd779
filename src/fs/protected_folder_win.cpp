#include <memory>

#include "brand.h"
#include "fs/file_tree.h"
#include "fs/folder_rights.h"
#include "fs/protected_folder.h"
#include "integrity/digest_text.h"
#include "utils/install_location.h"
#include "utils/system_calls.h"
#include "utils/text.h"
#include "utils/win.h"
// After win.h: sddl.h relies on <windows.h> but does not include it.
#include <aclapi.h>
#include <sddl.h>

namespace fs {

namespace {

using utils::system_calls;

// Owned by Administrators, with full control for Administrators and SYSTEM, inherited by
// anything made inside, and nothing inherited from the parent: the user who started the
// update gets no entry. A folder that a user made has the user as its owner, and only an
// administrator can give one to Administrators, so owner and list together tell our
// folders from any other.
const wchar_t* const kFolderSddl = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
// The same for a file, given explicitly rather than left to inheritance.
const wchar_t* const kFileSddl = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)";
// The log: the same, and Users may read it.
const wchar_t* const kLogSddl = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;BU)";
const wchar_t* const kLogFolders[] = {BRAND_DATA_FOLDER_VENDOR_W, BRAND_DATA_FOLDER_PRODUCT_W};
const wchar_t* const kLogName = L"update.log";
const wchar_t* const kFolderPrefix = BRAND_PROTECTED_FOLDER_PREFIX_W;
// A name that exists already is never reused; a few fresh draws settle a collision.
constexpr int kNameAttempts = 8;

// Random, so that nobody can make the folder before us under the name we will pick.
bool random_folder_name(std::wstring& name) {
    unsigned char bytes[8];
    if (!BCRYPT_SUCCESS(system_calls().bcrypt_gen_random(nullptr, bytes, sizeof bytes,
                                                         BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return false;
    name = kFolderPrefix + widen(digest_hex(bytes, sizeof bytes));
    return true;
}

}  // namespace

// The folders go directly into the program-data folder. Ordinary users may add folders
// there but not rename or delete what others made, so nobody can move ours aside and put
// their own in its place while it is in use; an intermediate folder of ours could have
// been made by anyone beforehand. That holds only while the folder and those above it
// are the administrators', which is checked every time. The folder is the machine's, as
// its profile list names it: nothing of the user's environment chooses it.
int program_data_folder(std::wstring& folder, std::wstring* refused) {
    const std::wstring found = find_program_data_folder();
    if (found.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return -1;
    }
    std::wstring refused_here;
    if (check_folder_and_above(found, FolderUse::kOnTheWay, refused_here) < 0) {
        if (refused != nullptr) *refused = refused_here;
        return -1;
    }
    folder = found;
    return 0;
}

int make_protected_folder(std::wstring& folder) {
    const SecurityDescriptor descriptor = make_descriptor(kFolderSddl);
    std::wstring base;
    if (!descriptor || program_data_folder(base) < 0) return -1;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::wstring name;
        if (!random_folder_name(name)) return -1;
        const std::wstring candidate = base + L"\\" + name;
        if (system_calls().create_directory_w(candidate.c_str(), &attributes)) {
            folder = candidate;
            return 0;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) return -1;
    }
    return -1;
}

int create_protected_file(const std::wstring& path, utils::ScopedKernelHandle& out) {
    const SecurityDescriptor descriptor = make_descriptor(kFileSddl);
    if (!descriptor) return -1;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    return open_file(path, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, &attributes, out);
}

namespace {

// The owner and the rights of `folder` as text, as the system reports them; empty when it
// cannot tell, or when the folder is a link (never what the link leads to).
std::wstring security_text(const std::wstring& folder) {
    utils::ScopedKernelHandle handle;
    if (open_file(folder, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr, handle) < 0)
        return std::wstring();
    BY_HANDLE_FILE_INFORMATION information{};
    if (!system_calls().get_file_information_by_handle(handle.get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return std::wstring();
    PSECURITY_DESCRIPTOR found = nullptr;
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (system_calls().get_security_info(handle.get(), SE_FILE_OBJECT, parts, nullptr, nullptr,
                                         nullptr, nullptr, &found) != ERROR_SUCCESS)
        return std::wstring();
    const SecurityDescriptor owned(found);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(found, SDDL_REVISION_1, parts, &text,
                                                              nullptr))
        return std::wstring();
    const SecurityDescriptor text_owned(text);
    return text;
}

// What the system reports for a protected folder made just now. Windows reports the
// descriptor the folder was made with; Wine keeps none and reports one made up from the
// folder's Unix permissions, which still tell a folder made with ours from a plain one
// (measured: ours gives no entry to Everyone, a plain folder one to read).
std::wstring own_security_text() {
    std::wstring sample;
    if (make_protected_folder(sample) < 0) return std::wstring();
    const std::wstring text = security_text(sample);
    system_calls().remove_directory_w(sample.c_str());
    return text;
}

}  // namespace

bool is_own_protected_folder(const std::wstring& folder) {
    static const std::wstring own = own_security_text();
    return !own.empty() && security_text(folder) == own;
}

namespace {

// Makes the protected folder `folder` of a fixed name, or takes the one there when it is
// such a folder.
bool make_or_take_protected_folder(const std::wstring& folder) {
    const SecurityDescriptor descriptor = make_descriptor(kFolderSddl);
    if (!descriptor) return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    if (system_calls().create_directory_w(folder.c_str(), &attributes)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    if (is_own_protected_folder(folder)) return true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

}  // namespace

int open_protected_log(std::wstring& path, utils::ScopedKernelHandle& out) {
    std::wstring folder;
    if (program_data_folder(folder) < 0) return -1;
    for (const wchar_t* name : kLogFolders) {
        folder += L"\\";
        folder += name;
        if (!make_or_take_protected_folder(folder)) return -1;
    }
    const SecurityDescriptor descriptor = make_descriptor(kLogSddl);
    if (!descriptor) return -1;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    const std::wstring file = folder + L"\\" + kLogName;
    utils::ScopedKernelHandle handle;
    if (open_file(file, FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, &attributes, handle) < 0)
        return -1;
    // Opening changed nothing yet: a file that is not the log's own is let go as it is.
    BY_HANDLE_FILE_INFORMATION information{};
    if (!system_calls().get_file_information_by_handle(handle.get(), &information)) return -1;
    if ((information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        information.nNumberOfLinks != 1 || !is_disk_file(handle.get())) {
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    path = file;
    out = std::move(handle);
    return 0;
}

std::vector<std::wstring> protected_folders() {
    std::vector<std::wstring> found;
    std::wstring base;
    if (program_data_folder(base) < 0) return found;
    WIN32_FIND_DATAW entry;
    const utils::ScopedFindHandle search(system_calls().find_first_file_ex_w(
        (base + L"\\" + kFolderPrefix + L"*").c_str(), FindExInfoBasic, &entry,
        FindExSearchLimitToDirectories, nullptr, 0));
    if (!search) return found;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            found.push_back(base + L"\\" + entry.cFileName);
    } while (system_calls().find_next_file_w(search.get(), &entry));
    return found;
}

}  // namespace fs
