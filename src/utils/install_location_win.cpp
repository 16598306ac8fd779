#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <utility>
#include <vector>

#include "utils/install_location.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "utils/win.h"
// After win.h: userenv.h relies on <windows.h> but does not include it.
#include <userenv.h>

namespace {

const wchar_t kUninstallKey[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// Where a 64-bit installer writes its registration, in the registry's native view: NSIS
// built for 64 bits writes there unless told SetRegView 32.
const wchar_t kNativeUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t kProfileListKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const wchar_t kLocationValue[] = L"InstallLocation";
const wchar_t kVersionValue[] = L"DisplayVersion";

// "Number of subkeys: %d\n" in Chinese, as GBK (code page 936) bytes, written unchanged
// whatever the console's code page.
const char kSubkeyCountFormat[] = "\xd7\xd3\xbc\xfc\xb5\xc4\xca\xfd\xc1\xbf\xce\xaa: %d\n";

// Registry names are at most 255 characters; a name of exactly 255 does not fit the
// buffer with its terminator, and that subkey is skipped.
constexpr DWORD kNameUnits = 255;
constexpr size_t kPathUnits = 256;
constexpr DWORD kValueUnits = MAX_PATH;

using utils::ScopedRegistryKey;

// The two places a registration is looked for, in order.
struct UninstallView {
    const wchar_t* key;
    REGSAM view;  // KEY_WOW64_64KEY, so that a 32-bit build of this program reads it too
};
const UninstallView kViews[] = {{kUninstallKey, 0}, {kNativeUninstallKey, KEY_WOW64_64KEY}};

ScopedRegistryKey open_key(const wchar_t* path, REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return ScopedRegistryKey();
    return ScopedRegistryKey(key);
}

// Appends as much of `piece` as fits, keeping the terminator.
void append_bounded(wchar_t (&buffer)[kPathUnits], const wchar_t* piece) {
    size_t used = std::wcslen(buffer);
    for (; used + 1 < kPathUnits && *piece != L'\0'; ++used, ++piece) buffer[used] = *piece;
    buffer[used] = L'\0';
}

using Variables = std::vector<std::pair<std::wstring, std::wstring>>;

// The environment Windows makes for a process of no particular user, as name and value;
// empty when it cannot be made. Read once per process: making it costs 4 ms under Wine
// (measured), an elevated run expands about ten paths, and only an administrator changes
// the system's variables.
const Variables& system_variables() {
    static const Variables variables = [] {
        Variables read;
        void* block = nullptr;
        if (!CreateEnvironmentBlock(&block, nullptr, FALSE)) return read;
        for (const wchar_t* entry = static_cast<const wchar_t*>(block); *entry != L'\0';
             entry += wcslen(entry) + 1) {
            const wchar_t* equals = wcschr(entry + 1, L'=');
            if (equals != nullptr) read.emplace_back(std::wstring(entry, equals), equals + 1);
        }
        DestroyEnvironmentBlock(block);
        return read;
    }();
    return variables;
}

// `text` with each "%NAME%" replaced by the system's variable of that name. Empty when a
// name is not one of them. ExpandEnvironmentStringsForUserW with no token should do this,
// but Wine's expands with the calling process's own environment (measured), so the
// system's block is read and applied here.
std::wstring expand_with_system_variables(const std::wstring& text) {
    const Variables& variables = system_variables();
    std::wstring expanded;
    for (size_t at = 0; at < text.size();) {
        const size_t start = text.find(L'%', at);
        const size_t end = start == std::wstring::npos ? start : text.find(L'%', start + 1);
        if (end == std::wstring::npos) {
            expanded += text.substr(at);
            break;
        }
        const std::wstring name = text.substr(start + 1, end - start - 1);
        const auto found = std::find_if(variables.begin(), variables.end(), [&](const auto& v) {
            return _wcsicmp(v.first.c_str(), name.c_str()) == 0;
        });
        if (found == variables.end()) return std::wstring();
        expanded += text.substr(at, start - at) + found->second;
        at = end + 1;
    }
    return expanded.size() < kValueUnits ? expanded : std::wstring();
}

// The value of the registration `name`, which was enumerated under the uninstall key of
// `view`.
std::wstring read_location(const UninstallView& view, const wchar_t* name) {
    wchar_t path[kPathUnits] = {0};
    append_bounded(path, view.key);
    append_bounded(path, L"\\");
    append_bounded(path, name);
    ScopedRegistryKey key = open_key(path, view.view);
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
    // Installers that write "%ProgramFiles%\..." mean the folder the machine names so.
    // Only the system's variables: the user's own (HKCU\Environment, and the environment
    // this run inherited) are the user's to choose, and would choose where an
    // administrator's installer writes, what the snapshot copies and what a restore
    // deletes.
    return expand_with_system_variables(stored);
}

// The number of registrations under `uninstall`; 0 when it cannot be read.
DWORD count_registrations(HKEY uninstall) {
    DWORD subkeys = 0;
    if (RegQueryInfoKeyW(uninstall, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return 0;
    return subkeys;
}

// Whether `uninstall`, with `subkeys` registrations, holds one named exactly `wanted` (same
// letter case), found by enumerating it.
bool holds_registration(HKEY uninstall, DWORD subkeys, const std::wstring& wanted) {
    for (DWORD index = 0; index < subkeys; ++index) {
        wchar_t name[kNameUnits] = {0};
        DWORD units = kNameUnits;
        // Too long a name, or an index past the end after removals: not this one.
        if (RegEnumKeyExW(uninstall, index, name, &units, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            continue;
        if (wanted == name) return true;
    }
    return false;
}

// The view whose key holds the registration `application_name`, the 32-bit one first;
// null when neither does. `print_count` prints the 32-bit key's count as it is read.
const UninstallView* find_view(const std::string& application_name, bool print_count) {
    const std::wstring wanted = widen(application_name);
    for (const UninstallView& view : kViews) {
        ScopedRegistryKey uninstall = open_key(view.key, view.view);
        if (!uninstall) continue;
        const DWORD subkeys = count_registrations(uninstall.get());
        if (print_count && &view == &kViews[0] && subkeys != 0)
            std::printf(kSubkeyCountFormat, static_cast<int>(subkeys));
        if (holds_registration(uninstall.get(), subkeys, wanted)) return &view;
    }
    return nullptr;
}

}  // namespace

std::string find_install_location(std::string application_name) {
    const UninstallView* view = find_view(application_name, true);
    return view == nullptr ? std::string()
                           : narrow(read_location(*view, widen(application_name).c_str()));
}

std::string find_display_version(const std::string& application_name) {
    const UninstallView* view = find_view(application_name, false);
    if (view == nullptr) return std::string();
    ScopedRegistryKey key =
        open_key((std::wstring(view->key) + L"\\" + widen(application_name)).c_str(), view->view);
    wchar_t value[kValueUnits] = {0};
    DWORD bytes = sizeof value;
    // RegGetValueW terminates the text it returns, and refuses a value of another type.
    if (!key || RegGetValueW(key.get(), nullptr, kVersionValue, RRF_RT_REG_SZ, nullptr, value,
                             &bytes) != ERROR_SUCCESS)
        return std::string();
    return narrow(value);
}

namespace {

// A folder that the machine's registry names under `key`, expanded from the system's
// variables only.
std::wstring machine_folder(const wchar_t* key, const wchar_t* name) {
    wchar_t value[kValueUnits] = {0};
    DWORD bytes = sizeof value;
    DWORD type = REG_NONE;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name,
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, value,
                     &bytes) != ERROR_SUCCESS)
        return std::wstring();
    const std::wstring stored(value, wcsnlen(value, kValueUnits));
    // SHGetFolderPathW expands the same value from the process's own environment: with a
    // split token, the user's "ProgramData" variable would choose where an administrator's
    // protected folders and log go.
    return type == REG_EXPAND_SZ ? expand_with_system_variables(stored) : stored;
}

}  // namespace

std::wstring find_program_data_folder() { return machine_folder(kProfileListKey, L"ProgramData"); }

std::wstring find_program_files_folder() {
    return machine_folder(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir");
}
