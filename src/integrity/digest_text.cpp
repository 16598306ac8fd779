#include "integrity/digest_text.h"

namespace {

// Written out rather than std::tolower, so that a locale set elsewhere in the process
// cannot change which texts match.
char fold_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool same_digest_text(const std::string& expected, const std::string& computed) {
    if (expected.size() != computed.size()) return false;
    for (std::size_t i = 0; i < computed.size(); ++i) {
        if (fold_ascii(expected[i]) != fold_ascii(computed[i])) return false;
    }
    return true;
}

bool is_md5_text(const std::string& text) {
    if (text.size() != 32) return false;
    for (char c : text) {
        const char folded = fold_ascii(c);
        if (!((folded >= '0' && folded <= '9') || (folded >= 'a' && folded <= 'f'))) return false;
    }
    return true;
}

std::string digest_hex(const unsigned char* digest, std::size_t size) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text(2 * size, '0');
    for (std::size_t i = 0; i < size; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 15];
    }
    return text;
}
