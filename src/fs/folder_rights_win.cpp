#include <cwctype>
#include <memory>

#include "fs/file_tree.h"
#include "fs/folder_rights.h"
#include "utils/scoped_handle.h"
#include "utils/system_calls.h"
// After win.h: sddl.h relies on <windows.h> but does not include it.
#include <aclapi.h>
#include <sddl.h>

namespace fs {

namespace {

using utils::system_calls;

// What lets another account replace the folder or take it over.
constexpr ACCESS_MASK kChangesTheFolder = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
// What lets another account put something into it.
constexpr ACCESS_MASK kAddsToTheFolder = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
const wchar_t* const kTrustedInstaller =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};

bool is_trusted(PSID sid) {
    static const std::unique_ptr<void, LocalFreer> trusted_installer = [] {
        PSID made = nullptr;
        ConvertStringSidToSidW(kTrustedInstaller, &made);
        return std::unique_ptr<void, LocalFreer>(made);
    }();
    return IsWellKnownSid(sid, WinLocalSystemSid) ||
           IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           (trusted_installer && EqualSid(sid, trusted_installer.get()));
}

bool is_deny_entry(BYTE type) {
    return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
           type == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
           type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

int fail_with(DWORD error, const std::wstring& folder, std::wstring& refused) {
    refused = folder;
    SetLastError(error);
    return -1;
}

// Opens `folder` itself, never what a link leads to, and checks it.
int check_one(const std::wstring& folder, bool rights, FolderUse use, std::wstring& refused) {
    utils::ScopedKernelHandle handle;
    BY_HANDLE_FILE_INFORMATION information{};
    if (open_file(folder, READ_CONTROL | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr, handle) < 0 ||
        !system_calls().get_file_information_by_handle(handle.get(), &information))
        return fail_with(GetLastError(), folder, refused);
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return fail_with(ERROR_CANT_ACCESS_FILE, folder, refused);
    if (!rights) return 0;
    PSECURITY_DESCRIPTOR found = nullptr;
    const DWORD result = system_calls().get_security_info(
        handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        nullptr, nullptr, nullptr, nullptr, &found);
    if (result != ERROR_SUCCESS) return fail_with(result, folder, refused);
    const std::unique_ptr<void, LocalFreer> owned(found);
    if (!is_administrators_only(found, use)) return fail_with(ERROR_ACCESS_DENIED, folder, refused);
    return 0;
}

}  // namespace

bool is_administrators_only(PSECURITY_DESCRIPTOR descriptor, FolderUse use) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr ||
        !is_trusted(owner))
        return false;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present ||
        dacl == nullptr)
        return false;
    const ACCESS_MASK refused =
        kChangesTheFolder | (use == FolderUse::kWrittenInto ? kAddsToTheFolder : 0);
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(dacl, index, &entry)) return false;
        const ACE_HEADER& header = *static_cast<const ACE_HEADER*>(entry);
        if ((header.AceFlags & INHERIT_ONLY_ACE) != 0 || is_deny_entry(header.AceType)) continue;
        // Every kind of allow entry keeps its mask right after the header.
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        ACCESS_MASK mask = allowed->Mask;
        MapGenericMask(&mask, &mapping);
        if ((mask & refused) == 0) continue;
        if (header.AceType == ACCESS_ALLOWED_ACE_TYPE && is_trusted(&allowed->SidStart)) continue;
        return false;
    }
    return true;
}

bool system_keeps_file_rights() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll == nullptr ||
           system_calls().get_proc_address(ntdll, "wine_get_version") == nullptr;
}

int check_folder_and_above(const std::wstring& folder, FolderUse use, std::wstring& refused) {
    if (folder.size() < 3 || !std::iswalpha(folder[0]) || folder[1] != L':' || folder[2] != L'\\')
        return fail_with(ERROR_BAD_PATHNAME, folder, refused);
    // "." and ".." resolved and "/" turned into "\", as the system reads the path.
    std::wstring path = full_path(folder);
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    if (path.size() < 3 || path[1] != L':' || path[2] != L'\\')
        return fail_with(ERROR_BAD_PATHNAME, folder, refused);
    const bool rights = system_keeps_file_rights();
    // From the root down: "C:\", "C:\a", "C:\a\b".
    size_t end = 3;
    for (;;) {
        const bool last = end >= path.size();
        const std::wstring one = last ? path : path.substr(0, end);
        if (check_one(one, rights, last ? use : FolderUse::kOnTheWay, refused) < 0) return -1;
        if (last) return 0;
        end = path.find(L'\\', end + 1);
        if (end == std::wstring::npos) end = path.size();
    }
}

SecurityDescriptor make_descriptor(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return nullptr;
    return SecurityDescriptor(descriptor);
}

}  // namespace fs
