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

// "2026-01-31 23:59:59 UTC" for a time in seconds since 1970.
std::string utc_text(std::int64_t seconds);

}  // namespace trust
