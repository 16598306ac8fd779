#include "policy/versions.h"

namespace policy {

namespace {

constexpr int kMaxParts = 4;
constexpr int kMaxDigits = 9;

}  // namespace

bool parse_version(const std::string& text, Version& out) {
    Version parsed;
    parsed.text = text;
    size_t at = 0;
    while (true) {
        if (parsed.count == kMaxParts) return false;
        unsigned long part = 0;
        int digits = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
            if (digits == kMaxDigits) return false;
            part = part * 10 + static_cast<unsigned long>(text[at] - '0');
        }
        if (digits == 0) return false;
        parsed.parts[parsed.count++] = part;
        if (at == text.size()) break;
        if (text[at++] != '.') return false;
    }
    out = parsed;
    return true;
}

int compare_versions(const Version& a, const Version& b) {
    for (int part = 0; part < kMaxParts; ++part) {
        if (a.parts[part] != b.parts[part]) return a.parts[part] < b.parts[part] ? -1 : 1;
    }
    return 0;
}

}  // namespace policy
