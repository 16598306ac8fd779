// The checked copy of the installer, with real files, folders and security descriptors.
#include "trust/protected_copy.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "fs/protected_folder.h"
#include "integrity/file_digest.h"
#include "log/log.h"
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

}  // namespace
