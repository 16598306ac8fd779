// Whether a program file carries an Authenticode signature that holds on this machine,
// and who made it. WinVerifyTrust checks the signature and the file's bytes; then the
// signer's certificate chain must reach a root of the machine's own store (the local
// machine's chain engine, never the user's roots) and pass the Authenticode chain policy,
// as of the signature's RFC 3161 time stamp when it has one that holds, else as of now.
// Windows only (signature_win.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "utils/win.h"

namespace trust {

// The outcome of one check, found without logging anything: plain data.
struct SignatureCheck {
    enum class Step {
        kNone,    // the signature holds
        kVerify,  // WinVerifyTrust refused the file: `result` is its result
        kChain,   // the chain does not hold: `result` is the chain policy's error, or the
                  // error of building the chain
    };
    Step failed = Step::kNone;
    long result = 0;
    unsigned long last_error = 0;        // GetLastError right after WinVerifyTrust
    std::vector<unsigned char> subject;  // the leaf signer's encoded subject name, if any
    std::int64_t checked_at = 0;         // the chain's time, seconds since 1970 UTC
    bool time_stamped = false;           // checked_at is the time stamp's
};

// Checks the file at `path`, opened for reading with read sharing (so a copy held open
// that way can be checked); or, given `file` (open for reading), the file behind that
// handle, which `path` then only names. Fills all of `out`; logs nothing, so any thread
// may call it.
void check_signature(const std::wstring& path, SignatureCheck& out, HANDLE file = nullptr);

// True for a file that carries no signature at all: TRUST_E_NOSIGNATURE, and GetLastError
// agrees that the file was read and found unsigned. A file that could not be read, or
// whose signature is malformed, is not unsigned.
bool is_unsigned(const SignatureCheck& check);

// What a CMS SignedData with its content attached (a signed release feed, ".p7m") says,
// found without logging anything.
struct SignedContent {
    enum class Step {
        kNone,       // the signature holds: `content` is what its signer signed
        kMalformed,  // no SignedData of DER with attached data content
        kSigners,    // not exactly one signer: `signers` says how many
        kSignature,  // the signer's certificate is not in the message, or its signature
                     // over the message does not verify
        kContent,    // the signed messageDigest attribute is not the content's SHA-256
                     // (or another digest than SHA-256 was used)
        kChain,      // the chain does not hold: `result` is the chain policy's error
    };
    Step failed = Step::kNone;
    long result = 0;
    unsigned long signers = 0;
    std::vector<unsigned char> subject;  // the signer's encoded subject name, once found
    std::string content;
};

// Opens `message` (DER) and checks it: one signer, whose certificate the message carries,
// whose signature verifies, over signed attributes whose messageDigest is the content's
// SHA-256 (crypt32 itself does not compare them everywhere: Wine's does not), or over the
// content itself when it has no signed attributes; and whose chain reaches a root of the
// machine's store for code signing as of `now` (seconds since 1970). Fills all of `out`.
void open_signed_content(const std::string& message, std::int64_t now, SignedContent& out);

// "2026-01-31 23:59:59 UTC" for a time in seconds since 1970.
std::string utc_text(std::int64_t seconds);

}  // namespace trust
