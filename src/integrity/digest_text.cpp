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
    std::string text(2 * size + 1, '\0');
    text.resize(write_digest_hex(digest, size, &text[0]));
    return text;
}

std::size_t write_digest_hex(const unsigned char* digest, std::size_t size, char* out) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = kDigits[digest[i] >> 4];
        out[2 * i + 1] = kDigits[digest[i] & 15];
    }
    out[2 * size] = '\0';
    return 2 * size;
}
