#include "trust/signature.h"
#include "utils/win.h"
// After win.h: these headers rely on <windows.h> but do not include it.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cstring>

#include "trust/time_stamp.h"
#include "utils/scoped_handle.h"
#include "utils/system_calls.h"

namespace trust {

namespace {

struct MessageTraits {
    using Handle = HCRYPTMSG;
    static Handle invalid() { return nullptr; }
    static bool valid(Handle handle) { return handle != nullptr; }
    static void close(Handle handle) { CryptMsgClose(handle); }
};
struct StoreTraits {
    using Handle = HCERTSTORE;
    static Handle invalid() { return nullptr; }
    static bool valid(Handle handle) { return handle != nullptr; }
    static void close(Handle handle) { CertCloseStore(handle, 0); }
};
struct CertificateTraits {
    using Handle = PCCERT_CONTEXT;
    static Handle invalid() { return nullptr; }
    static bool valid(Handle handle) { return handle != nullptr; }
    static void close(Handle handle) { CertFreeCertificateContext(handle); }
};
struct ChainTraits {
    using Handle = PCCERT_CHAIN_CONTEXT;
    static Handle invalid() { return nullptr; }
    static bool valid(Handle handle) { return handle != nullptr; }
    static void close(Handle handle) { CertFreeCertificateChain(handle); }
};
using ScopedMessage = utils::ScopedHandle<MessageTraits>;
using ScopedStore = utils::ScopedHandle<StoreTraits>;
using ScopedCertificate = utils::ScopedHandle<CertificateTraits>;
using ScopedChain = utils::ScopedHandle<ChainTraits>;

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Seconds between 1601-01-01, where FILETIME counts from, and 1970-01-01.
const std::int64_t kEpochDifference = 11644473600;

FILETIME filetime_of(std::int64_t seconds) {
    ULARGE_INTEGER value;
    value.QuadPart = static_cast<ULONGLONG>(seconds + kEpochDifference) * 10000000ULL;
    return FILETIME{value.LowPart, value.HighPart};
}

std::int64_t seconds_of(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<std::int64_t>(value.QuadPart / 10000000ULL) - kEpochDifference;
}

// One WinVerifyTrust verification, with its state closed again at the end of the scope.
class Verification {
public:
    Verification(const std::wstring& path, HANDLE file) : path_(path) {
        file_.cbStruct = sizeof file_;
        file_.pcwszFilePath = path_.c_str();
        file_.hFile = file;
        data_.cbStruct = sizeof data_;
        data_.dwUIChoice = WTD_UI_NONE;
        // No revocation check, and no retrieval of anything over the network (certificate
        // revocation lists, OCSP, missing intermediates): each retrieval can wait 15 s and
        // more on a machine without a connection, and the update must not hang there. What
        // the check is for, that nobody but our publisher's key made the installer, rests on
        // the signature, the chain to a machine root and the subject match; a leaked key is
        // answered with a new updater.
        data_.fdwRevocationChecks = WTD_REVOKE_NONE;
        data_.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &file_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        result = utils::system_calls().win_verify_trust(static_cast<HWND>(INVALID_HANDLE_VALUE),
                                                        &action_, &data_);
        last_error = GetLastError();
    }
    ~Verification() {
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        utils::system_calls().win_verify_trust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_,
                                               &data_);
    }
    Verification(const Verification&) = delete;
    Verification& operator=(const Verification&) = delete;

    // What the verification found, also when its result is not 0; null when it found no
    // signer. Owned by the verification.
    CRYPT_PROVIDER_DATA* provider() const {
        return WTHelperProvDataFromStateData(data_.hWVTStateData);
    }
    CRYPT_PROVIDER_SGNR* signer() const {
        CRYPT_PROVIDER_DATA* found = provider();
        return found != nullptr ? WTHelperGetProvSignerFromChain(found, 0, FALSE, 0) : nullptr;
    }

    LONG result = 0;
    DWORD last_error = 0;

private:
    std::wstring path_;
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file_{};
    WINTRUST_DATA data_{};
};

// 0 when the chain from `certificate` up to a root of the machine's store holds at `time`
// for `usage` under `policy`; else the policy's error, or the error of building the chain.
// The chain engine of the local machine trusts the roots an administrator installed, not
// those a user added to their own store: the elevated run acts for the machine. `extra`
// holds the intermediate certificates that came with the signature.
long machine_chain_result(PCCERT_CONTEXT certificate, HCERTSTORE extra, const FILETIME& time,
                          const char* usage, LPCSTR policy) {
    LPSTR usages[] = {const_cast<LPSTR>(usage)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    FILETIME at = time;
    PCCERT_CHAIN_CONTEXT built = nullptr;
    // As in the verification: nothing is fetched over the network.
    if (!CertGetCertificateChain(HCCE_LOCAL_MACHINE, certificate, &at, extra, &para,
                                 CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &built))
        return static_cast<long>(HRESULT_FROM_WIN32(GetLastError()));
    const ScopedChain chain(built);
    CERT_CHAIN_POLICY_PARA policy_para{};
    policy_para.cbSize = sizeof policy_para;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(policy, chain.get(), &policy_para, &status))
        return static_cast<long>(HRESULT_FROM_WIN32(GetLastError()));
    return static_cast<long>(status.dwError);
}

bool message_param(HCRYPTMSG message, DWORD type, DWORD index, std::vector<BYTE>& out) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, type, index, nullptr, &size)) return false;
    out.resize(size);
    if (!CryptMsgGetParam(message, type, index, out.data(), &size)) return false;
    out.resize(size);
    return true;
}

const CRYPT_ATTRIBUTE* find_attribute(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        if (std::strcmp(attribute.pszObjId, oid) == 0 && attribute.cValue == 1) return &attribute;
    }
    return nullptr;
}

// The time-stamping authority's token, decoded: a signed message whose content is a TSTInfo.
// Its certificate store is the message's own.
struct Token {
    ScopedMessage message;
    ScopedStore store;
    std::vector<BYTE> content;  // the TSTInfo, as the message holds it
};

bool open_token(const CRYPT_ATTR_BLOB& value, Token& token) {
    token.message.reset(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!token.message || !CryptMsgUpdate(token.message.get(), value.pbData, value.cbData, TRUE))
        return false;
    std::vector<BYTE> type;
    if (!message_param(token.message.get(), CMSG_INNER_CONTENT_TYPE_PARAM, 0, type) ||
        std::strcmp(reinterpret_cast<const char*>(type.data()), szOID_TIMESTAMP_TOKEN) != 0)
        return false;
    if (!message_param(token.message.get(), CMSG_CONTENT_PARAM, 0, token.content)) return false;
    token.store.reset(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, token.message.get()));
    return token.store.valid();
}

// The authority's certificate, once its signature over the token holds.
ScopedCertificate verified_authority(const Token& token) {
    std::vector<BYTE> info;
    if (!message_param(token.message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, info))
        return ScopedCertificate();
    ScopedCertificate authority(CertGetSubjectCertificateFromStore(
        token.store.get(), kEncoding, reinterpret_cast<PCERT_INFO>(info.data())));
    if (!authority) return authority;
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{};
    para.cbSize = sizeof para;
    para.dwSignerIndex = 0;
    para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    para.pvSigner = const_cast<CERT_CONTEXT*>(authority.get());
    if (!CryptMsgControl(token.message.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para))
        return ScopedCertificate();
    return authority;
}

// Whether the authority signed this very TSTInfo: its signed messageDigest attribute is
// the SHA-256 of the TSTInfo. Checked here rather than left to the message: not every
// implementation of CryptMsgControl compares that attribute with the content.
bool signed_this_content(const Token& token, const unsigned char*& info, std::size_t& size) {
    std::vector<BYTE> signer_bytes;
    if (!message_param(token.message.get(), CMSG_SIGNER_INFO_PARAM, 0, signer_bytes)) return false;
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signer_bytes.data());
    if (std::strcmp(signer->HashAlgorithm.pszObjId, szOID_NIST_sha256) != 0) return false;
    const CRYPT_ATTRIBUTE* digest = find_attribute(signer->AuthAttrs, szOID_RSA_messageDigest);
    if (digest == nullptr ||
        !time_stamp_info_bytes(token.content.data(), token.content.size(), info, size))
        return false;
    return digest_attribute_matches(digest->rgValue[0].pbData, digest->rgValue[0].cbData, info,
                                    size);
}

// The time at which `signer`'s signature was time-stamped (RFC 3161), in seconds since
// 1970: 0 when it has a time stamp whose authority signed this signature's digest and
// chains to a machine root for time stamping, as of that time; -1 otherwise. Windows 8
// and later check such a time stamp inside WinVerifyTrust, Wine does not; reading it here
// gives both the same answer.
int read_time_stamp(const CMSG_SIGNER_INFO& signer, std::int64_t& seconds) {
    const CRYPT_ATTRIBUTE* stamp = find_attribute(signer.UnauthAttrs, szOID_RFC3161_counterSign);
    Token token;
    if (stamp == nullptr || !open_token(stamp->rgValue[0], token)) return -1;
    const ScopedCertificate authority = verified_authority(token);
    const unsigned char* info_bytes = nullptr;
    std::size_t info_size = 0;
    TimeStampInfo info;
    if (!authority || !signed_this_content(token, info_bytes, info_size) ||
        read_time_stamp_info(info_bytes, info_size, info) < 0 ||
        !stamps_signature(info, signer.EncryptedHash.pbData, signer.EncryptedHash.cbData))
        return -1;
    // The base policy with the time-stamping usage required of the chain: Wine has no
    // CERT_CHAIN_POLICY_AUTHENTICODE_TS (the call fails with ERROR_FILE_NOT_FOUND), and
    // Windows' adds nothing to these checks that applies here.
    if (machine_chain_result(authority.get(), token.store.get(), filetime_of(info.time),
                             szOID_PKIX_KP_TIMESTAMP_SIGNING, CERT_CHAIN_POLICY_BASE) != 0)
        return -1;
    seconds = info.time;
    return 0;
}

// The stores that came with the signature (its certificates), as one.
ScopedStore signature_stores(const CRYPT_PROVIDER_DATA& provider) {
    ScopedStore all(
        CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    for (DWORD i = 0; all && i < provider.chStores; ++i)
        CertAddStoreToCollection(all.get(), provider.pahStores[i], 0, 0);
    return all;
}

}  // namespace

void check_signature(const std::wstring& path, SignatureCheck& out, HANDLE file) {
    out = SignatureCheck{};
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    out.checked_at = seconds_of(now);
    const Verification verification(path, file);
    out.result = verification.result;
    out.last_error = verification.last_error;
    CRYPT_PROVIDER_SGNR* signer = out.result == 0 ? verification.signer() : nullptr;
    const CRYPT_PROVIDER_CERT* leaf =
        signer != nullptr ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (leaf == nullptr || leaf->pCert == nullptr || signer->psSigner == nullptr) {
        if (out.result == 0) out.result = static_cast<long>(TRUST_E_NO_SIGNER_CERT);
        out.failed = SignatureCheck::Step::kVerify;
        return;
    }
    const CERT_NAME_BLOB& subject = leaf->pCert->pCertInfo->Subject;
    out.subject.assign(subject.pbData, subject.pbData + subject.cbData);
    // Windows' WinVerifyTrust has checked a chain already, up to the user's roots. Wine's
    // checks neither the root nor the time, and reads no RFC 3161 time stamp; this check
    // does both, for the machine, on either.
    out.time_stamped = read_time_stamp(*signer->psSigner, out.checked_at) == 0;
    const ScopedStore extra = signature_stores(*verification.provider());
    out.result = machine_chain_result(leaf->pCert, extra.get(), filetime_of(out.checked_at),
                                      szOID_PKIX_KP_CODE_SIGNING, CERT_CHAIN_POLICY_AUTHENTICODE);
    if (out.result != 0) out.failed = SignatureCheck::Step::kChain;
}

void open_signed_content(const std::string& message, std::int64_t now, SignedContent& out) {
    out = SignedContent{};
    out.failed = SignedContent::Step::kMalformed;
    ScopedMessage decoded(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!decoded || message.size() > 0xFFFFFFFFu) return;
    if (!CryptMsgUpdate(decoded.get(), reinterpret_cast<const BYTE*>(message.data()),
                        static_cast<DWORD>(message.size()), TRUE)) {
        // Wine's crypt32 fails the update of a message with two signers
        // (ERROR_INVALID_PARAMETER) after it has read them: name what it read, which is
        // refused either way.
        DWORD read = 0;
        DWORD read_size = sizeof read;
        if (CryptMsgGetParam(decoded.get(), CMSG_SIGNER_COUNT_PARAM, 0, &read, &read_size) &&
            read > 1) {
            out.signers = read;
            out.failed = SignedContent::Step::kSigners;
        }
        return;
    }
    std::vector<BYTE> type;
    if (!message_param(decoded.get(), CMSG_INNER_CONTENT_TYPE_PARAM, 0, type) ||
        std::strcmp(reinterpret_cast<const char*>(type.data()), szOID_RSA_data) != 0)
        return;
    DWORD message_type = 0;
    DWORD size = sizeof message_type;
    std::vector<BYTE> content;
    if (!CryptMsgGetParam(decoded.get(), CMSG_TYPE_PARAM, 0, &message_type, &size) ||
        message_type != CMSG_SIGNED ||
        !message_param(decoded.get(), CMSG_CONTENT_PARAM, 0, content) || content.empty())
        return;
    DWORD signers = 0;
    size = sizeof signers;
    if (!CryptMsgGetParam(decoded.get(), CMSG_SIGNER_COUNT_PARAM, 0, &signers, &size)) return;
    out.signers = signers;
    if (signers != 1) {
        out.failed = SignedContent::Step::kSigners;
        return;
    }
    out.failed = SignedContent::Step::kSignature;
    const ScopedStore store(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, decoded.get()));
    std::vector<BYTE> info;
    if (!store || !message_param(decoded.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, info)) return;
    const ScopedCertificate signer_certificate(CertGetSubjectCertificateFromStore(
        store.get(), kEncoding, reinterpret_cast<PCERT_INFO>(info.data())));
    if (!signer_certificate) return;
    const CERT_NAME_BLOB& subject = signer_certificate.get()->pCertInfo->Subject;
    out.subject.assign(subject.pbData, subject.pbData + subject.cbData);
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{};
    para.cbSize = sizeof para;
    para.dwSignerIndex = 0;
    para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    para.pvSigner = const_cast<CERT_CONTEXT*>(signer_certificate.get());
    if (!CryptMsgControl(decoded.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para)) return;

    // With signed attributes the signature covers them, not the content: their
    // messageDigest ties the content to it.
    out.failed = SignedContent::Step::kContent;
    std::vector<BYTE> signer_bytes;
    if (!message_param(decoded.get(), CMSG_SIGNER_INFO_PARAM, 0, signer_bytes)) return;
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signer_bytes.data());
    if (std::strcmp(signer->HashAlgorithm.pszObjId, szOID_NIST_sha256) != 0) return;
    if (signer->AuthAttrs.cAttr > 0) {
        const CRYPT_ATTRIBUTE* digest = find_attribute(signer->AuthAttrs, szOID_RSA_messageDigest);
        if (digest == nullptr ||
            !digest_attribute_matches(digest->rgValue[0].pbData, digest->rgValue[0].cbData,
                                      content.data(), content.size()))
            return;
    }
    out.result = machine_chain_result(signer_certificate.get(), store.get(), filetime_of(now),
                                      szOID_PKIX_KP_CODE_SIGNING, CERT_CHAIN_POLICY_AUTHENTICODE);
    if (out.result != 0) {
        out.failed = SignedContent::Step::kChain;
        return;
    }
    out.failed = SignedContent::Step::kNone;
    out.content.assign(content.begin(), content.end());
}

bool is_unsigned(const SignatureCheck& check) {
    if (check.failed != SignatureCheck::Step::kVerify ||
        check.result != static_cast<long>(TRUST_E_NOSIGNATURE))
        return false;
    // WinVerifyTrust also answers TRUST_E_NOSIGNATURE for a file it could not open or whose
    // signature it could not parse; only these reasons in GetLastError mean "no signature".
    const DWORD reason = check.last_error;
    return reason == static_cast<DWORD>(TRUST_E_NOSIGNATURE) ||
           reason == static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN) ||
           reason == static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN);
}

std::string utc_text(std::int64_t seconds) {
    const FILETIME time = filetime_of(seconds);
    SYSTEMTIME parts{};
    if (!FileTimeToSystemTime(&time, &parts)) return "an unknown time";
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", parts.wYear, parts.wMonth,
                  parts.wDay, parts.wHour, parts.wMinute, parts.wSecond);
    return text;
}

}  // namespace trust
