// The checked copy of the installer, with real files, folders and security descriptors.
#include "trust/protected_copy.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <set>
#include <vector>

#include "fs/folder_rights.h"
#include "fs/protected_folder.h"
#include "integrity/file_digest.h"
#include "log/log.h"
#include "system_call_override.h"
#include "test_support.h"
#include "utils/text.h"
#include "win_process.h"
// After win.h.
#include <aclapi.h>
#include <sddl.h>

namespace {

namespace fs = std::filesystem;

std::string random_bytes(size_t size) {
    std::mt19937 generator(static_cast<unsigned>(size));
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

std::string sid_text(PSID sid) {
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return "?";
    const std::string result = narrow(text);
    LocalFree(text);
    return result;
}

// Every SID that an allowing entry of the object's DACL names, with the rights granted,
// and the owner. Fails the test when the descriptor cannot be read.
struct Access {
    std::string owner;
    std::vector<std::pair<std::string, ACCESS_MASK>> allowed;
    bool has_dacl = false;
};

Access read_access(const fs::path& path) {
    Access access;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result =
        GetNamedSecurityInfoW(path.wstring().c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor);
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_SUCCESS)) << path;
    if (result != ERROR_SUCCESS) return access;
    access.owner = sid_text(owner);
    access.has_dacl = dacl != nullptr;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        access.allowed.emplace_back(sid_text(&ace->SidStart), ace->Mask);
    }
    LocalFree(descriptor);
    return access;
}

// Only Administrators and SYSTEM may appear. Wine reports a file's rights from its Unix
// mode, which names the owner instead of Administrators; the owner of an object made by
// an elevated program is Administrators on Windows, so allowing it changes nothing there.
// Everyone, Users and the rest must have no entry at all, not even for reading.
void expect_only_administrators_and_system(const fs::path& path) {
    const Access access = read_access(path);
    ASSERT_TRUE(access.has_dacl) << path << ": a null DACL lets everybody in";
    bool system_has_all = false;
    for (const auto& [sid, mask] : access.allowed) {
        EXPECT_TRUE(sid == "S-1-5-32-544" || sid == "S-1-5-18" || sid == access.owner)
            << path << ": " << sid << " is allowed 0x" << std::hex << mask;
        if (sid == "S-1-5-18" && (mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) system_has_all = true;
    }
    EXPECT_TRUE(system_has_all) << path;
}

// As on Windows: ntdll without Wine's own export, so that the folders' rights are checked.
FARPROC WINAPI no_wine_get_version(HMODULE module, LPCSTR name) {
    if (std::string(name) == "wine_get_version") return nullptr;
    return GetProcAddress(module, name);
}

// The descriptor the system reports for a folder, as SDDL: g_user_writable for the folder
// whose path ends with g_user_writable_tail, g_administrators' for every other one.
const wchar_t* const kAdministratorsOnly = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
const wchar_t* const kUsersMayDeleteChildren = L"O:SYD:(A;OICI;FA;;;SY)(A;;0x1200e9;;;BU)";
std::wstring g_user_writable_tail;

DWORD WINAPI reported_security(HANDLE handle, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*,
                               PACL*, PACL*, PSECURITY_DESCRIPTOR* out) {
    wchar_t path[MAX_PATH * 4] = {0};
    const std::wstring found(path, GetFinalPathNameByHandleW(handle, path, MAX_PATH * 4, 0));
    const std::wstring& tail = g_user_writable_tail;
    const bool users = found.size() >= tail.size() &&
                       lstrcmpiW(found.c_str() + found.size() - tail.size(), tail.c_str()) == 0;
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(
               users ? kUsersMayDeleteChildren : kAdministratorsOnly, SDDL_REVISION_1, out, nullptr)
               ? ERROR_SUCCESS
               : GetLastError();
}

// A folder whose path ends with "\linked" is reported as a reparse point.
BOOL WINAPI linked_is_a_link(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information) {
    if (!GetFileInformationByHandle(handle, information)) return FALSE;
    wchar_t path[MAX_PATH * 4] = {0};
    const std::wstring found(path, GetFinalPathNameByHandleW(handle, path, MAX_PATH * 4, 0));
    if (found.size() > 7 && found.compare(found.size() - 7, 7, L"\\linked") == 0)
        information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return TRUE;
}

class ProtectedCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(log_open(), 0);
        source_ = dir_.path() / "setup.exe";
        // Not a multiple of the copy's buffer, nor of an MD5 block.
        bytes_ = random_bytes(3 * 64 * 1024 + 77);
        test::write_file(source_, bytes_);
        md5_ = test::md5_of(source_);
        ASSERT_EQ(md5_.size(), 32u);
        before_ = test::copy_folders();
    }

    std::string log() { return test::read_text_file(dir_.path() / "update.log"); }

    test::ScopedWorkDir dir_;
    fs::path source_;
    std::string bytes_;
    std::string md5_;
    std::set<fs::path> before_;
};

TEST_F(ProtectedCopyTest, AMatchingFileIsCopiedIntoAFolderOnlyAdministratorsCanWrite) {
    const std::string lower = test::lower(md5_);
    fs::path folder, copy;
    {
        trust::ProtectedCopy checked;
        ASSERT_EQ(trust::copy_to_protected_folder(source_.string(), lower, checked), 0) << log();
        folder = checked.folder();
        copy = checked.path();
        EXPECT_EQ(folder.parent_path(), test::program_data());
        EXPECT_EQ(copy.parent_path(), folder);
        EXPECT_EQ(copy.filename(), "setup.exe");
        EXPECT_EQ(test::copy_folders().size(), before_.size() + 1);
        EXPECT_TRUE(test::read_file(copy) == bytes_);
        expect_only_administrators_and_system(folder);
        expect_only_administrators_and_system(copy);
        EXPECT_NE(log().find(" INFO  trust::copy_to_protected_folder("), std::string::npos);
        EXPECT_NE(log().find("): Checked copy of the installer " + source_.string() + " at " +
                             copy.string() + ".\n"),
                  std::string::npos)
            << log();

        // While the copy lives, neither file can be opened for writing or renamed.
        for (const fs::path& held : {source_, copy}) {
            HANDLE writer = CreateFileW(held.wstring().c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
            EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << held;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << held;
            if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
            EXPECT_FALSE(MoveFileW(held.wstring().c_str(), (dir_.path() / "moved").c_str()));
        }

        // Moving hands the copy on; the object moved from removes nothing.
        trust::ProtectedCopy taken(std::move(checked));
        EXPECT_EQ(taken.path(), copy.string());
        EXPECT_TRUE(checked.path().empty());
    }
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(test::copy_folders(), before_);
    // The source stays unless asked for.
    EXPECT_TRUE(test::read_file(source_) == bytes_);
}

TEST_F(ProtectedCopyTest, RemoveSourceDeletesTheCheckedFileWhenTheCopyGoes) {
    {
        trust::ProtectedCopy checked;
        ASSERT_EQ(trust::copy_to_protected_folder(source_.string(), md5_, checked), 0) << log();
        checked.remove_source();
        // Still there until the copy lets go of it.
        EXPECT_TRUE(fs::exists(source_));
    }
    EXPECT_FALSE(fs::exists(source_));
    EXPECT_EQ(test::copy_folders(), before_);
}

TEST_F(ProtectedCopyTest, RefusalsLeaveNothingBehind) {
    const std::string sha256 = [&] {
        char text[65] = {0};
        sha256_file_hex(source_.string().c_str(), text);
        return std::string(text);
    }();
    const std::string missing = (dir_.path() / "missing.exe").string();
    const std::string folder = dir_.path().string();
    // A second name of another file.
    const fs::path other = dir_.path() / "other.exe";
    const std::string linked = (dir_.path() / "linked.exe").string();
    fs::copy_file(source_, other);
    ASSERT_TRUE(CreateHardLinkW(widen(linked).c_str(), other.wstring().c_str(), nullptr));
    struct Case {
        const char* name;
        std::string source;
        std::string digest;
        bool hold_for_writing;
        std::string expected_line;
    } cases[] = {
        {"wrong digest", source_.string(), std::string(32, '0'), false,
         "): The installer " + source_.string() + " does not match its digest " +
             std::string(32, '0') + ".\n"},
        {"trailing space", source_.string(), md5_ + " ", false,
         "): The installer " + source_.string() + " does not match its digest " + md5_ + " .\n"},
        {"SHA-256 text", source_.string(), sha256, false,
         " does not match its digest " + sha256 + ".\n"},
        {"empty digest", source_.string(), "", false, " does not match its digest .\n"},
        {"missing source", missing, md5_, false,
         "): Failed to open the installer " + missing + ": "},
        {"a folder", folder, md5_, false, "): Failed to open the installer " + folder + ": "},
        {"held by a writer", source_.string(), md5_, true,
         "): Failed to open the installer " + source_.string() + ": "},
        {"a hard link", linked, md5_, false,
         "): The installer " + linked + " has more than one name: it is not copied.\n"},
    };
    for (const Case& c : cases) {
        const size_t logged = log().size();
        HANDLE writer = INVALID_HANDLE_VALUE;
        if (c.hold_for_writing) {
            writer =
                CreateFileW(widen(c.source).c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(writer, INVALID_HANDLE_VALUE);
        }
        trust::ProtectedCopy out;
        EXPECT_EQ(trust::copy_to_protected_folder(c.source, c.digest, out), -1) << c.name;
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        EXPECT_TRUE(out.path().empty()) << c.name;
        EXPECT_EQ(test::copy_folders(), before_) << c.name;
        const std::string text = log().substr(logged);
        EXPECT_NE(text.find(" WARN  trust::copy_to_protected_folder("), std::string::npos)
            << c.name;
        EXPECT_NE(text.find(c.expected_line), std::string::npos) << c.name << "\n" << text;
        EXPECT_EQ(text.find("Checked copy"), std::string::npos) << c.name;
    }
    EXPECT_TRUE(test::read_file(source_) == bytes_);
}

// The protected folders' place is the machine's program-data folder as the system's
// profile list names it: a variable of the user's neither moves it nor stands in for one
// that the system does not have.
TEST_F(ProtectedCopyTest, TheProgramDataFolderIsTheMachines) {
    const wchar_t* const profile_list =
        L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    wchar_t stored[MAX_PATH] = {0};
    DWORD bytes = sizeof stored;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, profile_list, L"ProgramData",
                           RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, stored, &bytes),
              ERROR_SUCCESS);
    wchar_t expanded[MAX_PATH] = {0};
    ASSERT_GT(ExpandEnvironmentStringsW(stored, expanded, MAX_PATH), 0u);
    const fs::path machines = expanded;
    // Set back whatever happens below.
    struct Restore {
        const wchar_t* key;
        const wchar_t* value;
        ~Restore() {
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"ProgramData", REG_EXPAND_SZ, value,
                            static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
        }
    } restore{profile_list, stored};
    const fs::path elsewhere = dir_.path() / "elsewhere";
    fs::create_directories(elsewhere);
    const test::ScopedVariable user_program_data(L"ProgramData", elsewhere.wstring());
    const test::ScopedVariable user_only(L"UPDATER_TEST_USER_ONLY", elsewhere.wstring());
    const struct {
        const char* name;
        std::wstring registered;  // REG_EXPAND_SZ
        bool made;
    } cases[] = {
        {"as registered, with the user's ProgramData set", stored, true},
        {"a variable only the user has", L"%UPDATER_TEST_USER_ONLY%", false},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, profile_list, L"ProgramData", REG_EXPAND_SZ,
                                  c.registered.c_str(),
                                  static_cast<DWORD>((c.registered.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
        std::wstring folder;
        const int result = ::fs::make_protected_folder(folder);
        EXPECT_EQ(result, c.made ? 0 : -1) << c.name;
        if (result == 0) {
            EXPECT_EQ(fs::path(folder).parent_path(), machines) << c.name;
            fs::remove(folder);
        }
        EXPECT_TRUE(fs::is_empty(elsewhere)) << c.name;
    }
}

// The elevated run's log: opened, and appended to, only as its own file in folders only
// administrators write; anything a user could have put in its place is refused untouched.
TEST_F(ProtectedCopyTest, TheElevatedLogIsOpenedOnlyInItsOwnFolders) {
    const fs::path log_file = test::elevated_log();
    const fs::path updater_folder = log_file.parent_path();
    const fs::path corvane = updater_folder.parent_path();
    const fs::path other = dir_.path() / "other.txt";
    struct Case {
        const char* name;
        void (*prepare)(const fs::path& corvane, const fs::path& log, const fs::path& other);
        bool opens;
    } cases[] = {
        {"no folders yet",
         [](const fs::path& corvane, const fs::path&, const fs::path&) { fs::remove_all(corvane); },
         true},
        {"its own log again",
         [](const fs::path&, const fs::path& log, const fs::path&) {
             test::write_file(log, "earlier line\n");
         },
         true},
        {"a hard link to another file",
         [](const fs::path&, const fs::path& log, const fs::path& other) {
             fs::remove(log);
             ASSERT_TRUE(CreateHardLinkW(log.wstring().c_str(), other.wstring().c_str(), nullptr));
         },
         false},
        {"a folder in the log's place",
         [](const fs::path&, const fs::path& log, const fs::path&) {
             fs::remove(log);
             fs::create_directory(log);
         },
         false},
        {"a folder a user made first",
         [](const fs::path& corvane, const fs::path&, const fs::path&) {
             fs::remove_all(corvane);
             fs::create_directories(corvane / "Updater");
         },
         false},
    };
    for (const Case& c : cases) {
        test::write_file(other, "not the log\n");
        c.prepare(corvane, log_file, other);
        const std::string before = fs::is_regular_file(log_file) ? test::read_file(log_file) : "";
        std::wstring path;
        utils::ScopedKernelHandle file;
        const int result = ::fs::open_protected_log(path, file);
        if (!c.opens) {
            EXPECT_EQ(result, -1) << c.name;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << c.name;
            EXPECT_FALSE(file) << c.name;
            EXPECT_EQ(test::read_file(other), "not the log\n") << c.name;
            continue;
        }
        ASSERT_EQ(result, 0) << c.name << ": " << GetLastError();
        EXPECT_EQ(fs::path(path), log_file) << c.name;
        expect_only_administrators_and_system(corvane);
        expect_only_administrators_and_system(updater_folder);
        // Written at the end, what was there kept.
        DWORD written = 0;
        SetFilePointer(file.get(), 0, nullptr, FILE_END);
        ASSERT_TRUE(WriteFile(file.get(), "line\n", 5, &written, nullptr)) << c.name;
        file.reset();
        EXPECT_EQ(test::read_file(log_file), before + "line\n") << c.name;
    }
    // Back as the elevated runs of the other tests find it.
    fs::remove_all(corvane);
}

// What the elevated run writes into must be the administrators' alone, and what lies on
// the way to it must be theirs to replace: the rule on the descriptors Windows gives its
// own folders and on those a user could have made or changed.
TEST_F(ProtectedCopyTest, FoldersOnlyAdministratorsMayChange) {
    using ::fs::FolderUse;
    const FolderUse on_the_way = FolderUse::kOnTheWay;
    const FolderUse written_into = FolderUse::kWrittenInto;
    const struct {
        const char* name;
        const wchar_t* sddl;
        FolderUse use;
        bool only_administrators;
    } rules[] = {
        {"the system drive's root: users add folders",
         L"O:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;CI;0x4;;;AU)"
         L"(A;OICIIO;0x1301bf;;;AU)",
         on_the_way, true},
        {"ProgramData: users add files and folders",
         L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;CO)(A;OICI;0x1200a9;;;BU)"
         L"(A;CI;0x116;;;BU)",
         on_the_way, true},
        {"ProgramData written into", L"O:SYD:P(A;OICI;FA;;;SY)(A;CI;0x116;;;BU)", written_into,
         false},
        {"an installer's folder in Program Files",
         L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
         L"(A;OICI;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)",
         written_into, true},
        {"made under C:\\, signed-in users may modify it",
         L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;AU)", written_into, false},
        {"owned by a user", L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;BA)", on_the_way, false},
        // Made by hand below: Wine reads "D:NO_ACCESS_CONTROL" as an empty DACL.
        {"no DACL at all, which lets everybody in", L"O:BA", on_the_way, false},
        {"users may delete in it", L"O:SYD:(A;;FA;;;SY)(A;;0x40;;;BU)", on_the_way, false},
        {"users may change its rights", L"O:SYD:(A;;FA;;;SY)(A;;0x40000;;;BU)", on_the_way, false},
        {"everyone may write, on the way", L"O:BAD:(A;;FA;;;BA)(A;;GW;;;WD)", on_the_way, true},
        {"everyone may write, written into", L"O:BAD:(A;;FA;;;BA)(A;;GW;;;WD)", written_into,
         false},
        {"a denied user and an inherit-only entry", L"O:BAD:(D;;FA;;;WD)(A;OICIIO;FA;;;WD)",
         written_into, true},
    };
    for (const auto& rule : rules) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(rule.sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr))
            << rule.name;
        SECURITY_DESCRIPTOR null_dacl;
        if (std::wstring(rule.sddl) == L"O:BA") {
            PSID owner = nullptr;
            BOOL defaulted = FALSE;
            ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
            ASSERT_TRUE(InitializeSecurityDescriptor(&null_dacl, SECURITY_DESCRIPTOR_REVISION));
            ASSERT_TRUE(SetSecurityDescriptorOwner(&null_dacl, owner, FALSE));
            ASSERT_TRUE(SetSecurityDescriptorDacl(&null_dacl, TRUE, nullptr, FALSE));
        }
        EXPECT_EQ(::fs::is_administrators_only(
                      std::wstring(rule.sddl) == L"O:BA" ? &null_dacl : descriptor, rule.use),
                  rule.only_administrators)
            << rule.name;
        LocalFree(descriptor);
    }

    // Folders on disk, from the drive's root down; the program-data folder as the system
    // reports it, under Wine and as on Windows.
    std::wstring program_data;
    ASSERT_EQ(::fs::program_data_folder(program_data), 0);
    const fs::path a_file = dir_.path() / "a file";
    test::write_file(a_file, "x");
    fs::create_directories(dir_.path() / "linked" / "inside");
    struct Folder {
        const char* name;
        std::wstring folder;
        bool as_on_windows;
        DWORD error;  // 0: accepted
        std::wstring refused;
    } folders[] = {
        {"under Wine, which keeps no rights", program_data, false, 0, L""},
        {"as on Windows, Wine's root is the user's", program_data, true, ERROR_ACCESS_DENIED,
         program_data.substr(0, 3)},
        {"not from a drive letter", L"\\\\server\\share\\app", false, ERROR_BAD_PATHNAME,
         L"\\\\server\\share\\app"},
        {"a file", a_file.wstring(), false, ERROR_CANT_ACCESS_FILE, a_file.wstring()},
        {"below a link", (dir_.path() / "linked" / "inside").wstring(), false,
         ERROR_CANT_ACCESS_FILE, (dir_.path() / "linked").wstring()},
    };
    for (const Folder& c : folders) {
        test::SystemCallOverride<decltype(&::GetFileInformationByHandle)> links(
            &utils::SystemCalls::get_file_information_by_handle, linked_is_a_link);
        std::optional<test::SystemCallOverride<decltype(&::GetProcAddress)>> windows;
        if (c.as_on_windows)
            windows.emplace(&utils::SystemCalls::get_proc_address, no_wine_get_version);
        std::wstring refused;
        const int result = ::fs::check_folder_and_above(c.folder, FolderUse::kWrittenInto, refused);
        EXPECT_EQ(result, c.error == 0 ? 0 : -1) << c.name;
        if (c.error == 0) continue;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        EXPECT_EQ(fs::path(refused), fs::path(c.refused)) << c.name;
    }

    // A program-data folder that others may change holds no protected folder and no log.
    const test::SystemCallOverride<decltype(&::GetProcAddress)> windows(
        &utils::SystemCalls::get_proc_address, no_wine_get_version);
    const test::SystemCallOverride<decltype(&::GetSecurityInfo)> reported(
        &utils::SystemCalls::get_security_info, reported_security);
    for (const std::wstring& tail : {std::wstring(L"\\nothing"), program_data.substr(2)}) {
        g_user_writable_tail = tail;
        const bool refused = tail != L"\\nothing";
        std::wstring folder;
        const int made = ::fs::make_protected_folder(folder);
        EXPECT_EQ(made, refused ? -1 : 0) << narrow(tail);
        if (made == 0) fs::remove(folder);
        utils::ScopedKernelHandle log_file;
        std::wstring log_path;
        EXPECT_EQ(::fs::open_protected_log(log_path, log_file), refused ? -1 : 0) << narrow(tail);
    }
    fs::remove_all(test::elevated_log().parent_path().parent_path());
}

}  // namespace
