#include <cstdio>
#include <cwchar>

#include "utils/install_location.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "utils/win.h"

namespace {

const wchar_t kUninstallKey[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t kLocationValue[] = L"InstallLocation";

// "Number of subkeys: %d\n" in Chinese, as GBK (code page 936) bytes, written unchanged
// whatever the console's code page.
const char kSubkeyCountFormat[] = "\xd7\xd3\xbc\xfc\xb5\xc4\xca\xfd\xc1\xbf\xce\xaa: %d\n";

// Registry names are at most 255 characters; a name of exactly 255 does not fit the
// buffer with its terminator, and that subkey is skipped.
constexpr DWORD kNameUnits = 255;
constexpr size_t kPathUnits = 256;
constexpr DWORD kValueUnits = MAX_PATH;

struct RegistryKeyTraits {
    using Handle = HKEY;
    static Handle invalid() { return nullptr; }
    static bool valid(Handle key) {
        return key != nullptr && key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    static void close(Handle key) { RegCloseKey(key); }
};
using ScopedRegistryKey = utils::ScopedHandle<RegistryKeyTraits>;

ScopedRegistryKey open_key(const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ScopedRegistryKey();
    return ScopedRegistryKey(key);
}

// Appends as much of `piece` as fits, keeping the terminator.
void append_bounded(wchar_t (&buffer)[kPathUnits], const wchar_t* piece) {
    size_t used = std::wcslen(buffer);
    for (; used + 1 < kPathUnits && *piece != L'\0'; ++used, ++piece) buffer[used] = *piece;
    buffer[used] = L'\0';
}

// The value of the registration `name`, which was enumerated under the uninstall key.
std::wstring read_location(const wchar_t* name) {
    wchar_t path[kPathUnits] = {0};
    append_bounded(path, kUninstallKey);
    append_bounded(path, L"\\");
    append_bounded(path, name);
    ScopedRegistryKey key = open_key(path);
    if (!key) return std::wstring();

    // Whatever the value's type, its data is read as UTF-16 text up to the first NUL; the
    // buffer need not hold a terminator when the data fills it.
    wchar_t value[kValueUnits] = {0};
    DWORD bytes = sizeof value;
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key.get(), kLocationValue, nullptr, &type, reinterpret_cast<BYTE*>(value),
                         &bytes) != ERROR_SUCCESS)
        return std::wstring();
    const std::wstring stored(value, wcsnlen(value, kValueUnits));
    if (type != REG_EXPAND_SZ) return stored;
    // Installers that write "%ProgramFiles%\..." mean the folder it names for this run.
    wchar_t expanded[kValueUnits] = {0};
    const DWORD units = ExpandEnvironmentStringsW(stored.c_str(), expanded, kValueUnits);
    if (units == 0 || units > kValueUnits) return std::wstring();
    return expanded;
}

}  // namespace

std::string find_install_location(std::string application_name) {
    ScopedRegistryKey uninstall = open_key(kUninstallKey);
    if (!uninstall) return std::string();

    DWORD subkeys = 0;
    if (RegQueryInfoKeyW(uninstall.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        subkeys = 0;
    if (subkeys != 0) {
        std::printf(kSubkeyCountFormat, static_cast<int>(subkeys));
        std::fflush(stdout);
    }

    const std::wstring wanted = widen(application_name);
    for (DWORD index = 0; index < subkeys; ++index) {
        wchar_t name[kNameUnits] = {0};
        DWORD units = kNameUnits;
        // Too long a name, or an index past the end after removals: not this one.
        if (RegEnumKeyExW(uninstall.get(), index, name, &units, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
            continue;
        if (wanted != name) continue;
        return narrow(read_location(name));
    }
    return std::string();
}
