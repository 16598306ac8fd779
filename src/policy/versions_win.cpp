#include <cstring>

#include "brand.h"
#include "log/log.h"
#include "policy/versions.h"
#include "utils/install_location.h"
#include "utils/paths.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "utils/win.h"

namespace policy {

namespace {

// The head of a VS_VERSIONINFO block: three WORDs (lengths and type), the key
// L"VS_VERSION_INFO" with its terminator, padding to 32 bits, then VS_FIXEDFILEINFO.
constexpr size_t kFixedInfoOffset = 40;
constexpr DWORD kFixedInfoSignature = 0xFEEF04BD;

struct ModuleTraits {
    using Handle = HMODULE;
    static Handle invalid() { return nullptr; }
    static bool valid(Handle module) { return module != nullptr; }
    static void close(Handle module) { FreeLibrary(module); }
};

std::string version_text(DWORD high, DWORD low) {
    return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
           std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
}

using ScopedModule = utils::ScopedHandle<ModuleTraits>;

// The version resource of the program at `path` and its size; null when there is none.
// It lives as long as `module`.
const unsigned char* version_block(const std::string& path, ScopedModule& module, DWORD& size) {
    // As data: the loader maps the file's resources and runs nothing of it.
    module.reset(LoadLibraryExW(widen(path).c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module) return nullptr;
    HRSRC found = FindResourceW(module.get(), MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    HGLOBAL loaded = found != nullptr ? LoadResource(module.get(), found) : nullptr;
    size = found != nullptr ? SizeofResource(module.get(), found) : 0;
    return static_cast<const unsigned char*>(LockResource(loaded));
}

}  // namespace

const char* const kProductName = utils::kApplicationName;

bool read_product_version(const std::string& path, Version& out) {
    ScopedModule module;
    DWORD size = 0;
    const unsigned char* block = version_block(path, module, size);
    if (block == nullptr || size < kFixedInfoOffset + sizeof(VS_FIXEDFILEINFO)) return false;
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, block + kFixedInfoOffset, sizeof fixed);
    if (fixed.dwSignature != kFixedInfoSignature) return false;
    return parse_version(version_text(fixed.dwProductVersionMS, fixed.dwProductVersionLS), out);
}

bool read_product_name(const std::string& path, std::string& out) {
    ScopedModule module;
    DWORD size = 0;
    const unsigned char* block = version_block(path, module, size);
    std::u16string name;
    if (!find_version_string(block, size, u"ProductName", name)) return false;
    out = narrow(std::wstring(name.begin(), name.end()));
    return true;
}

bool read_installed_version(const std::string& client_path, Version& out) {
    return parse_version(find_display_version(utils::kApplicationName), out) ||
           read_product_version(client_path, out);
}

Refusal check_installer_version(const MachinePolicy& policy, const std::string& installer_path,
                                const std::string& updater_path, FrontendNotice& notice,
                                const char* function) {
    std::string client_path;
    if (gen_hubra_exe_path(updater_path, client_path) < 0) client_path.clear();
    Version installer;
    Version installed;
    const bool installer_known = read_product_version(installer_path, installer);
    const bool installed_known = read_installed_version(client_path, installed);
    // An installer whose version is unknown cannot be shown to be on the administrator's
    // release line.
    const std::string& prefix = policy.target_version_prefix;
    if (!prefix.empty() && (!installer_known || !has_version_prefix(installer, prefix))) {
        REPORT_FAILURE(notice, function,
                       "The installer's version %s is not allowed by the administrator.",
                       installer_known ? installer.text.c_str() : "(unreadable)");
        return Refusal::kNotAllowed;
    }
    if (!installer_known) {
        REPORT_FAILURE(notice, function,
                       "Cannot read the installer's version: nothing is installed.");
        return Refusal::kUnreadable;
    }
    std::string product;
    if (!read_product_name(installer_path, product) || product != kProductName) {
        REPORT_FAILURE(notice, function,
                       "The installer is not one of %s (its product is %s): nothing is installed.",
                       kProductName, product.empty() ? "not named" : product.c_str());
        return Refusal::kOtherProduct;
    }
    if (!installed_known) {
        LOG_WARN(function, "Cannot read the installed version: the versions are not compared.\n");
        return Refusal::kNone;
    }
    const int order = compare_versions(installer, installed);
    if (order < 0 && policy.allow_downgrade) {
        LOG_WARN(function,
                 "The installer's version %s is older than the installed %s: the administrator "
                 "allows it.\n",
                 installer.text.c_str(), installed.text.c_str());
    } else if (order < 0) {
        REPORT_FAILURE(notice, function,
                       "The installer's version %s is older than the installed %s.",
                       installer.text.c_str(), installed.text.c_str());
        return Refusal::kOlder;
    } else if (order == 0) {
        LOG_INFO(function,
                 "The installer's version %s is the installed one: it is installed again.\n",
                 installer.text.c_str());
    } else {
        LOG_INFO(function, "The installer's version %s is newer than the installed %s.\n",
                 installer.text.c_str(), installed.text.c_str());
    }
    return Refusal::kNone;
}

namespace {

const wchar_t* const kHighestKey =
    L"SOFTWARE\\" BRAND_DATA_FOLDER_VENDOR_W L"\\" BRAND_DATA_FOLDER_PRODUCT_W;
const wchar_t* const kHighestValue = L"HighestInstalledVersion";

}  // namespace

bool read_highest_installed(Version& out) {
    wchar_t text[64] = {0};
    DWORD bytes = sizeof text;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kHighestKey, kHighestValue, RRF_RT_REG_SZ, nullptr, text,
                     &bytes) != ERROR_SUCCESS)
        return false;
    return parse_version(narrow(text), out);
}

bool note_installed(const Version& version) {
    Version highest;
    if (read_highest_installed(highest) && compare_versions(highest, version) >= 0) return true;
    const std::wstring text = widen(version.text);
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kHighestKey, kHighestValue, REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

}  // namespace policy
