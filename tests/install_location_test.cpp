// The install-location lookup against the real registry: the tests add their own
// registrations under the 32-bit uninstall key and remove them again.
#include "utils/install_location.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "utils/text.h"
#include "utils/win.h"

namespace {

const wchar_t kUninstallKey[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// Where 64-bit installers register.
const wchar_t kNativeKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const std::string kCountLine = "\xd7\xd3\xbc\xfc\xb5\xc4\xca\xfd\xc1\xbf\xce\xaa: ";

struct Value {
    const wchar_t* name;
    DWORD type;
    std::wstring data;
};

bool uninstall_key_exists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

DWORD subkey_count() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD count = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return count;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        // Names of our own, so that no real registration can be hit and parallel runs do
        // not meet.
        std::random_device seed;
        prefix_ = L"UpdaterTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(seed() % 100000) + L"-";
        had_uninstall_key_ = uninstall_key_exists();
    }
    void TearDown() override {
        for (const std::wstring& path : created_) {
            EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_64KEY, 0),
                      ERROR_SUCCESS)
                << narrow(path);
        }
        // Refused, as it should be, while another registration is in it.
        if (!had_uninstall_key_) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
    }

    std::wstring named(const std::wstring& stem) const { return prefix_ + stem; }

    // Creates the registration `name` with `values` under `uninstall`; returns the name.
    std::wstring add(const std::wstring& name, const std::vector<Value>& values = {},
                     const wchar_t* uninstall = kUninstallKey) {
        const std::wstring path = std::wstring(uninstall) + L"\\" + name;
        HKEY key = nullptr;
        const LONG created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                             KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
        EXPECT_EQ(created, ERROR_SUCCESS) << narrow(name);
        if (created != ERROR_SUCCESS) return name;
        created_.push_back(path);
        for (const Value& value : values) {
            const DWORD bytes = static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t));
            EXPECT_EQ(RegSetValueExW(key, value.name, 0, value.type,
                                     reinterpret_cast<const BYTE*>(value.data.c_str()), bytes),
                      ERROR_SUCCESS);
        }
        RegCloseKey(key);
        return name;
    }
    std::wstring add_location(const std::wstring& name, const std::wstring& location) {
        return add(name, {{L"InstallLocation", REG_SZ, location}});
    }
    std::string find(const std::wstring& name) { return find_install_location(narrow(name)); }

    std::wstring prefix_;
    bool had_uninstall_key_ = true;
    std::vector<std::wstring> created_;
    test::ScopedWorkDir dir_;
};

TEST_F(Registry, OnlyTheExactNameMatchesAndItsValueIsReturnedAsStoredOrExpanded) {
    const std::wstring exact = add_location(named(L"Exact"), L"C:\\Program Files\\Corvane");
    const std::wstring slash = add_location(named(L"Slash"), L"D:\\Corvane App\\");
    const std::wstring blanks = add_location(named(L"Blanks"), L" \"C:\\Quoted\" ");
    const std::wstring expand =
        add(named(L"Expand"), {{L"InstallLocation", REG_EXPAND_SZ, L"%ProgramFiles%\\Corvane"}});
    // Only an expandable value is expanded.
    const std::wstring unexpanded = add_location(named(L"Unexpanded"), L"%ProgramFiles%\\Corvane");
    wchar_t program_files[MAX_PATH] = {0};
    ASSERT_GT(GetEnvironmentVariableW(L"ProgramFiles", program_files, MAX_PATH), 0u);
    add_location(named(L"Suffixed-x64"), L"C:\\Suffixed");
    add(named(L"Other"),
        {{L"DisplayName", REG_SZ, named(L"Shown")}, {L"InstallLocation", REG_SZ, L"C:\\Other"}});
    const std::wstring no_value =
        add(named(L"NoValue"), {{L"DisplayName", REG_SZ, L"Without a location"}});
    add_location(named(L"NoValue-later"), L"C:\\Later");
    // A 64-bit installer's registration is found when there is no 32-bit one of the name.
    const std::wstring native =
        add(named(L"Native"),
            {{L"InstallLocation", REG_SZ, L"C:\\Native"}, {L"DisplayVersion", REG_SZ, L"2.5"}},
            kNativeKey);
    add(exact, {{L"InstallLocation", REG_SZ, L"C:\\Native"}, {L"DisplayVersion", REG_SZ, L"2.5"}},
        kNativeKey);
    add(no_value, {{L"InstallLocation", REG_SZ, L"C:\\Native"}}, kNativeKey);

    const struct {
        std::wstring name;
        std::string location;
    } cases[] = {
        {exact, "C:\\Program Files\\Corvane"},
        {slash, "D:\\Corvane App\\"},
        {blanks, " \"C:\\Quoted\" "},
        {expand, narrow(program_files) + "\\Corvane"},
        {unexpanded, "%ProgramFiles%\\Corvane"},
        {named(L"EXACT"), ""},     // letter case differs
        {named(L"Suffixed"), ""},  // only a registration with a suffix exists
        {named(L"Shown"), ""},     // only a display name
        {no_value, ""},            // although the next registration, and a 64-bit one, have one
        {native, "C:\\Native"},
        {named(L"Missing"), ""},
        {L"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(find(c.name), c.location) << narrow(c.name);
    // The version comes from the registration that was found, and from no other.
    EXPECT_EQ(find_display_version(narrow(native)), "2.5");
    EXPECT_EQ(find_display_version(narrow(exact)), "");
}

TEST_F(Registry, NameAndValueLengthLimits) {
    // Names are enumerated into 255 units with the terminator: 254 characters fit, 255 do
    // not, and that registration is passed over while the search goes on after it. The
    // path of a matching registration is cut to 255 units, so both long names lead to the
    // registration named by their first 191 characters: its value shows which name matched.
    const std::wstring name255 = named(L"L" + std::wstring(255 - prefix_.size() - 1, L'x'));
    const std::wstring name254 = name255.substr(0, 254);
    const size_t kept = 255 - (std::wcslen(kUninstallKey) + 1);
    add_location(name255.substr(0, kept), L"C:\\Cut");
    add_location(name254, L"C:\\Fits");
    add_location(name255, L"C:\\Long");
    const std::wstring after = add_location(named(L"M-after"), L"C:\\After");
    // The value buffer holds 260 units: 259 characters and the terminator fit.
    const std::wstring path259 = L"C:\\" + std::wstring(256, L'p');
    const std::wstring path260 = L"C:\\" + std::wstring(257, L'q');
    const std::wstring whole = add_location(named(L"N-259"), path259);
    const std::wstring cut = add_location(named(L"O-260"), path260);

    EXPECT_EQ(find(name254), "C:\\Cut");
    EXPECT_EQ(find(name255), "");
    EXPECT_EQ(find(after), "C:\\After");
    EXPECT_EQ(find(whole), narrow(path259));
    EXPECT_EQ(find(cut), "");
}

TEST_F(Registry, SubkeyCountIsPrintedOnceBeforeTheSearch) {
    const DWORD existing = subkey_count();
    ASSERT_LT(existing, 312u);
    std::wstring target;
    for (DWORD i = existing; i < 312; ++i) {
        wchar_t number[8] = {0};
        swprintf(number, 8, L"%03lu", static_cast<unsigned long>(i));
        target = add_location(named(std::wstring(L"Count-") + number), L"C:\\Counted");
    }
    ASSERT_EQ(subkey_count(), 312u);

    test::StdoutRedirect redirect(dir_.path() / "stdout.txt", "w");
    ASSERT_TRUE(redirect.ok());
    const std::string found = find(target);
    redirect.restore();
    EXPECT_EQ(found, "C:\\Counted");
    EXPECT_EQ(test::read_text_file(dir_.path() / "stdout.txt"), kCountLine + "312\n");
}

}  // namespace
