#include "trust/publisher.h"
#include "utils/win.h"
// After win.h: these headers rely on <windows.h> but do not include it.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "log/log.h"
#include "utils/text.h"

namespace trust {

namespace {

// One WinVerifyTrust verification, with its state closed again at the end of the scope.
// `result` is 0 for a signature that verifies, else the WinVerifyTrust result
// (TRUST_E_NOSIGNATURE for an unsigned file, TRUST_E_BAD_DIGEST for a changed one, ...).
class Verification {
public:
    explicit Verification(const std::wstring& path) : path_(path) {
        file_.cbStruct = sizeof file_;
        file_.pcwszFilePath = path_.c_str();
        data_.cbStruct = sizeof data_;
        data_.dwUIChoice = WTD_UI_NONE;
        // No revocation check, and no retrieval of anything over the network (certificate
        // revocation lists, OCSP, missing intermediates): each retrieval can wait 15 s and
        // more on a machine without a connection, and the update must not hang there. What
        // the check is for, that nobody but our publisher's key made the installer, rests on
        // the signature and the subject match; a leaked key is answered with a new updater.
        data_.fdwRevocationChecks = WTD_REVOKE_NONE;
        data_.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &file_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
    }
    ~Verification() {
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
    }
    Verification(const Verification&) = delete;
    Verification& operator=(const Verification&) = delete;

    // The leaf signer's certificate of a verified file, or null. Owned by the verification.
    PCCERT_CONTEXT signer() const {
        if (result != 0) return nullptr;
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
        if (provider == nullptr) return nullptr;
        CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
        if (signer == nullptr) return nullptr;
        CRYPT_PROVIDER_CERT* leaf = WTHelperGetProvCertFromChain(signer, 0);
        return leaf != nullptr ? leaf->pCert : nullptr;
    }

    LONG result = 0;

private:
    std::wstring path_;
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file_{};
    WINTRUST_DATA data_{};
};

std::string name_text(const CERT_NAME_BLOB& name) {
    CERT_NAME_BLOB blob = name;
    const DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    const DWORD size = CertNameToStrW(X509_ASN_ENCODING, &blob, flags, nullptr, 0);
    if (size <= 1) return std::string();
    std::wstring text(size, L'\0');
    CertNameToStrW(X509_ASN_ENCODING, &blob, flags, &text[0], size);
    text.resize(size - 1);
    return narrow(text);
}

// The result as the SDK writes it, 0x800B0100 for TRUST_E_NOSIGNATURE.
unsigned long hex_of(LONG result) { return static_cast<unsigned long>(result); }

}  // namespace

// What the running image's signature says, found without logging anything, so that it
// can be found on another thread.
struct OwnPublisherReader::Found {
    DWORD path_error = 0;  // GetModuleFileNameW failed with it
    LONG result = 0;
    std::vector<unsigned char> subject;  // the leaf signer's, when there is one
    bool has_signer = false;
};

namespace {

void verify_own_image(OwnPublisherReader::Found& found) {
    wchar_t image[MAX_PATH] = {0};
    const DWORD length = GetModuleFileNameW(nullptr, image, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        found.path_error = length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        return;
    }
    const Verification verification(image);
    found.result = verification.result;
    const PCCERT_CONTEXT signer = verification.signer();
    if (signer == nullptr) return;
    const CERT_NAME_BLOB& subject = signer->pCertInfo->Subject;
    found.has_signer = true;
    found.subject.assign(subject.pbData, subject.pbData + subject.cbData);
}

void take_own_publisher(const OwnPublisherReader::Found& found, OwnPublisher& out) {
    const char* const function = "trust::read_own_publisher";
    out = OwnPublisher{};
    if (found.path_error != 0) {
        out.state = OwnPublisher::State::kInvalid;
        SetLastError(found.path_error);
        LOG_WARN(function, "Failed to get the updater's own path: %s", last_error_text().c_str());
        return;
    }
    if (found.result == static_cast<LONG>(TRUST_E_NOSIGNATURE)) {
        LOG_WARN(function,
                 "This updater is not signed: installers are not checked for a publisher.\n");
        return;
    }
    if (!found.has_signer) {
        // A signed updater whose signature does not hold names no publisher we could trust;
        // falling back to no check would let anyone strip the check by breaking it.
        out.state = OwnPublisher::State::kInvalid;
        LOG_WARN(function,
                 "The updater's own signature does not verify (WinVerifyTrust 0x%08lX): no "
                 "installer will be accepted.\n",
                 hex_of(found.result));
        return;
    }
    out.state = OwnPublisher::State::kSigned;
    out.subject = found.subject;
    CERT_NAME_BLOB subject{static_cast<DWORD>(out.subject.size()), out.subject.data()};
    out.name = name_text(subject);
    LOG_INFO(function, "Publisher: %s; installers must be signed by it.\n", out.name.c_str());
}

}  // namespace

void read_own_publisher(OwnPublisher& out) {
    OwnPublisherReader::Found found;
    verify_own_image(found);
    take_own_publisher(found, out);
}

OwnPublisherReader::OwnPublisherReader() : found_(new Found) {
    thread_.reset(CreateThread(nullptr, 0, &OwnPublisherReader::run, this, 0, nullptr));
}

OwnPublisherReader::~OwnPublisherReader() {
    if (thread_) WaitForSingleObject(thread_.get(), INFINITE);
}

DWORD WINAPI OwnPublisherReader::run(void* self) {
    verify_own_image(*static_cast<OwnPublisherReader*>(self)->found_);
    return 0;
}

void OwnPublisherReader::get(OwnPublisher& out) {
    if (thread_) {
        WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
    } else {
        verify_own_image(*found_);
    }
    take_own_publisher(*found_, out);
}

int check_installer_publisher(const OwnPublisher& own, const std::string& path,
                              const char* function) {
    if (own.state == OwnPublisher::State::kUnsigned) return 0;
    if (own.state == OwnPublisher::State::kInvalid) {
        LOG_WARN(function, "The installer %s is refused: the updater has no valid publisher.\n",
                 path.c_str());
        return -1;
    }
    const Verification verification(widen(path));
    const PCCERT_CONTEXT signer = verification.signer();
    if (signer == nullptr) {
        LOG_WARN(function,
                 "The installer %s is refused: its signature does not verify (WinVerifyTrust "
                 "0x%08lX).\n",
                 path.c_str(),
                 hex_of(verification.result != 0 ? verification.result : TRUST_E_NO_SIGNER_CERT));
        return -1;
    }
    CERT_NAME_BLOB expected{static_cast<DWORD>(own.subject.size()),
                            const_cast<BYTE*>(own.subject.data())};
    CERT_NAME_BLOB found = signer->pCertInfo->Subject;
    if (!CertCompareCertificateName(X509_ASN_ENCODING, &expected, &found)) {
        LOG_WARN(function,
                 "The installer %s is refused: it is signed by \"%s\", not by the updater's "
                 "publisher \"%s\".\n",
                 path.c_str(), name_text(found).c_str(), own.name.c_str());
        return -1;
    }
    LOG_INFO(function, "The installer %s is signed by the publisher.\n", path.c_str());
    return 0;
}

}  // namespace trust
