#include "policy/versions.h"

namespace policy {

namespace {

constexpr int kMaxParts = 4;
constexpr int kMaxDigits = 9;

// One node of a version resource: wLength, wValueLength, wType, a key of UTF-16 units
// ending in 0, padding to 32 bits, the value, padding, then the children up to wLength.
struct VersionNode {
    size_t end = 0;       // past the node, within its parent
    size_t value = 0;     // where the value starts
    size_t children = 0;  // where the first child starts
    std::u16string key;
};

unsigned word_at(const unsigned char* block, size_t at) {
    return static_cast<unsigned>(block[at]) | static_cast<unsigned>(block[at + 1]) << 8;
}

size_t aligned(size_t at) { return (at + 3) & ~static_cast<size_t>(3); }

// False for a node that does not fit within [start, limit): the file's resource is the
// installer's to write, so every length in it is checked before it is used.
bool read_node(const unsigned char* block, size_t start, size_t limit, VersionNode& node) {
    if (start + 6 > limit) return false;
    const size_t length = word_at(block, start);
    if (length < 6 || length > limit - start) return false;
    node.end = start + length;
    const size_t value_length = word_at(block, start + 2);
    const bool text = word_at(block, start + 4) == 1;  // the value's length counts UTF-16 units
    node.key.clear();
    size_t at = start + 6;
    for (;; at += 2) {
        if (at + 2 > node.end) return false;
        const char16_t unit = static_cast<char16_t>(word_at(block, at));
        if (unit == 0) break;
        node.key += unit;
    }
    node.value = aligned(at + 2);
    node.children = aligned(node.value + (text ? value_length * 2 : value_length));
    return true;
}

// The child of [start, end) whose key is `key`, into `found`.
bool find_child(const unsigned char* block, size_t start, size_t end, const std::u16string& key,
                VersionNode& found) {
    for (size_t at = start; at < end;) {
        if (!read_node(block, at, end, found)) return false;
        if (found.key == key) return true;
        at = aligned(found.end);
    }
    return false;
}

}  // namespace

bool find_version_string(const unsigned char* block, size_t size, const std::u16string& name,
                         std::u16string& out) {
    VersionNode root;
    VersionNode strings;
    if (block == nullptr || !read_node(block, 0, size, root) ||
        !find_child(block, root.children, root.end, u"StringFileInfo", strings))
        return false;
    // Each table holds one language's strings; the first that has the name answers.
    for (size_t at = strings.children; at < strings.end;) {
        VersionNode table;
        VersionNode entry;
        if (!read_node(block, at, strings.end, table)) return false;
        if (find_child(block, table.children, table.end, name, entry)) {
            std::u16string value;
            for (size_t unit = entry.value; unit + 2 <= entry.end; unit += 2) {
                const char16_t c = static_cast<char16_t>(word_at(block, unit));
                if (c == 0) break;
                value += c;
            }
            out = value;
            return true;
        }
        at = aligned(table.end);
    }
    return false;
}

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

bool has_version_prefix(const Version& version, const std::string& prefix) {
    if (prefix.empty()) return true;
    // The dot that ends a prefix written as a line ("2.4.") adds no part.
    const bool dotted = prefix.back() == '.';
    Version line;
    if (!parse_version(dotted ? prefix.substr(0, prefix.size() - 1) : prefix, line)) return false;
    for (int part = 0; part < line.count; ++part) {
        if (version.parts[part] != line.parts[part]) return false;
    }
    return version.count > 0;
}

}  // namespace policy
