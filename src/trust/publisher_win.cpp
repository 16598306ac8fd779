#include "trust/publisher.h"
#include "utils/win.h"
// After win.h: these headers rely on <windows.h> but do not include it.
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <ctime>
#include <utility>

#include "brand.h"
#include "fs/file_tree.h"
#include "log/log.h"
#include "trust/signature.h"
#include "utils/text.h"

namespace trust {

bool g_own_signature_required = false;
std::vector<std::string> g_listed_publishers{BRAND_LISTED_PUBLISHERS};

namespace {

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

// Whether `found`, a signer's subject, is the updater's own signer's or a listed one.
bool is_accepted_signer(const OwnPublisher& publisher, const CERT_NAME_BLOB& found) {
    CERT_NAME_BLOB expected{static_cast<DWORD>(publisher.subject.size()),
                            const_cast<BYTE*>(publisher.subject.data())};
    CERT_NAME_BLOB name = found;
    if (CertCompareCertificateName(X509_ASN_ENCODING, &expected, &name)) return true;
    const std::string text = name_text(found);
    for (const std::string& listed : g_listed_publishers)
        if (!text.empty() && text == listed) return true;
    return false;
}

// How a refusal names the accepted signers: the updater's publisher, and the listed ones
// when there are any.
std::string accepted_text(const OwnPublisher& publisher) {
    std::string text = "the updater's publisher \"" + publisher.name + "\"";
    for (const std::string& listed : g_listed_publishers) text += " or \"" + listed + "\"";
    return text;
}

// The result as the SDK writes it, 0x800B0100 for TRUST_E_NOSIGNATURE.
unsigned long hex_of(long result) { return static_cast<unsigned long>(result); }

// Why a signature does not hold, to follow "is refused: ". `whose` is "its" for an
// installer, "the updater's own" for this program.
std::string failure_text(const SignatureCheck& check, const char* whose) {
    char text[320];
    if (check.failed == SignatureCheck::Step::kChain) {
        std::snprintf(text, sizeof text,
                      "%s certificate chain does not hold on this machine "
                      "(CertVerifyCertificateChainPolicy 0x%08lX, checked as of %s, %s)",
                      whose, hex_of(check.result),
                      check.time_stamped ? "its time stamp" : "the present time",
                      utc_text(check.checked_at).c_str());
    } else if (check.result == static_cast<long>(TRUST_E_NOSIGNATURE) && !is_unsigned(check)) {
        std::snprintf(text, sizeof text,
                      "%s signature could not be read (WinVerifyTrust 0x%08lX, GetLastError "
                      "0x%08lX)",
                      whose, hex_of(check.result), check.last_error);
    } else {
        std::snprintf(text, sizeof text, "%s signature does not verify (WinVerifyTrust 0x%08lX)",
                      whose, hex_of(check.result));
    }
    return text;
}

}  // namespace

// What the running image's signature says, found without logging anything, so that it
// can be found on another thread.
struct OwnPublisherReader::Found {
    DWORD path_error = 0;  // GetModuleFileNameW, or opening what it names, failed with it
    std::wstring path;
    utils::ScopedKernelHandle image;
    SignatureCheck check;
    // What the first get() made of it: a run that checks a release feed and then an
    // installer reads its own signature once, and logs it once.
    bool taken = false;
    OwnPublisher publisher;
};

namespace {

// Opens the file the system names as the running image, once, for its signature and for
// the run to compare with where it should lie: what is checked is this one file, however
// the path leads later. Delete sharing lets the run rename its own image meanwhile.
void open_own_image(OwnPublisherReader::Found& found) {
    wchar_t image[MAX_PATH] = {0};
    const DWORD length = GetModuleFileNameW(nullptr, image, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        found.path_error = length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        return;
    }
    found.path = image;
    if (fs::open_file(found.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                      0, nullptr, found.image) < 0)
        found.path_error = GetLastError();
}

void verify_own_image(OwnPublisherReader::Found& found) {
    if (found.path_error == 0) check_signature(found.path, found.check, found.image.get());
}

// An updater without a valid signature of its own refuses every installer, naming `cause`.
void set_invalid(OwnPublisher& out, std::string cause) {
    out.state = OwnPublisher::State::kInvalid;
    out.cause = std::move(cause);
}

void take_own_publisher(const OwnPublisherReader::Found& found, OwnPublisher& out) {
    const char* const function = "trust::read_own_publisher";
    out = OwnPublisher{};
    if (found.path_error != 0) {
        char text[96];
        std::snprintf(text, sizeof text, "the updater's own image cannot be opened (error %lu)",
                      found.path_error);
        return set_invalid(out, text);
    }
    if (is_unsigned(found.check)) {
        // A release must never run unchecked because its signature was lost on the way;
        // a development build may.
        if (g_own_signature_required)
            return set_invalid(out,
                               "this updater is not signed, and a release build runs only "
                               "installers of its own publisher");
        LOG_WARN(function,
                 "This updater is not signed: installers are not checked for a publisher.\n");
        return;
    }
    // A signed updater whose signature does not hold names no publisher we could trust;
    // falling back to no check would let anyone strip the check by breaking it.
    if (found.check.failed != SignatureCheck::Step::kNone)
        return set_invalid(out, failure_text(found.check, "the updater's own"));
    out.state = OwnPublisher::State::kSigned;
    out.subject = found.check.subject;
    CERT_NAME_BLOB subject{static_cast<DWORD>(out.subject.size()), out.subject.data()};
    out.name = name_text(subject);
    LOG_INFO(function, "Publisher: %s; installers must be signed by it.\n", out.name.c_str());
    for (const std::string& listed : g_listed_publishers)
        LOG_INFO(function, "Installers signed by %s are accepted too: it is listed.\n",
                 listed.c_str());
}

}  // namespace

void read_own_publisher(OwnPublisher& out) {
    OwnPublisherReader::Found found;
    open_own_image(found);
    verify_own_image(found);
    take_own_publisher(found, out);
}

OwnPublisherReader::OwnPublisherReader() : found_(new Found) {
    open_own_image(*found_);
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
    if (found_->taken) {
        out = found_->publisher;
        return;
    }
    if (thread_) {
        WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
    } else {
        verify_own_image(*found_);
    }
    take_own_publisher(*found_, out);
    found_->publisher = out;
    found_->taken = true;
}

HANDLE OwnPublisherReader::image() const { return found_->image.get(); }

bool OwnPublisherReader::done() const {
    return thread_ && WaitForSingleObject(thread_.get(), 0) == WAIT_OBJECT_0;
}

int check_installer_publisher(OwnPublisherReader& own, const std::string& path,
                              const char* function, HANDLE file) {
    // The installer's check needs the updater's publisher only at its end. Under Wine the
    // first check of a process spends a quarter of a second loading the machine's roots,
    // and the installer's own check as long again hashing its bytes: while the reader is
    // at work, the installer is checked on this thread meanwhile.
    SignatureCheck check;
    const bool checked_meanwhile = !own.done();
    if (checked_meanwhile) check_signature(widen(path), check, file);
    OwnPublisher publisher;
    own.get(publisher);
    if (publisher.state == OwnPublisher::State::kUnsigned) return 0;
    if (publisher.state == OwnPublisher::State::kInvalid) {
        LOG_WARN(function, "The installer %s is refused: %s.\n", path.c_str(),
                 publisher.cause.c_str());
        return -1;
    }
    if (!checked_meanwhile) check_signature(widen(path), check, file);
    if (check.failed != SignatureCheck::Step::kNone) {
        LOG_WARN(function, "The installer %s is refused: %s.\n", path.c_str(),
                 failure_text(check, "its").c_str());
        return -1;
    }
    CERT_NAME_BLOB found{static_cast<DWORD>(check.subject.size()), check.subject.data()};
    if (!is_accepted_signer(publisher, found)) {
        LOG_WARN(function, "The installer %s is refused: it is signed by \"%s\", not by %s.\n",
                 path.c_str(), name_text(found).c_str(), accepted_text(publisher).c_str());
        return -1;
    }
    LOG_INFO(function, "The installer %s is signed by the publisher.\n", path.c_str());
    return 0;
}

namespace {

// Why a signed feed does not hold, to follow "is refused: ".
std::string failure_text(const SignedContent& opened) {
    char text[320];
    switch (opened.failed) {
        case SignedContent::Step::kSigners:
            std::snprintf(text, sizeof text, "it has %lu signers, not one", opened.signers);
            return text;
        case SignedContent::Step::kSignature:
            return "its signature does not verify";
        case SignedContent::Step::kContent:
            return "its content is not what its signer signed";
        case SignedContent::Step::kChain:
            std::snprintf(text, sizeof text,
                          "its certificate chain does not hold on this machine "
                          "(CertVerifyCertificateChainPolicy 0x%08lX, checked as of %s)",
                          hex_of(opened.result), utc_text(std::time(nullptr)).c_str());
            return text;
        default:
            return "it is not a signed message with its content (CMS SignedData, DER)";
    }
}

}  // namespace

int open_release_feed(OwnPublisherReader& own, const std::string& message, std::int64_t now,
                      std::string& content, std::string& why, const char* function) {
    OwnPublisher publisher;
    own.get(publisher);
    if (publisher.state == OwnPublisher::State::kInvalid) {
        why = publisher.cause;
        return -1;
    }
    const bool unsigned_build = publisher.state == OwnPublisher::State::kUnsigned;
    if (unsigned_build && !message.empty() && message[0] == '{') {
        LOG_WARN(function, "This updater is not signed: the release feed is not checked.\n");
        content = message;
        return 0;
    }
    SignedContent opened;
    open_signed_content(message, now, opened);
    if (opened.failed != SignedContent::Step::kNone) {
        why = failure_text(opened);
        return -1;
    }
    if (unsigned_build) {
        LOG_WARN(function,
                 "This updater is not signed: the release feed's signer is not compared.\n");
    } else {
        CERT_NAME_BLOB found{static_cast<DWORD>(opened.subject.size()), opened.subject.data()};
        if (!is_accepted_signer(publisher, found)) {
            why =
                "it is signed by \"" + name_text(found) + "\", not by " + accepted_text(publisher);
            return -1;
        }
    }
    content = std::move(opened.content);
    return 0;
}

}  // namespace trust
