// The text values of a version resource, read from blocks built here: an installer's
// resource is its author's to write, so the reader must hold against any lengths in it.
#include "policy/versions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void put_word(Bytes& out, size_t value) {
    out.push_back(static_cast<unsigned char>(value & 0xff));
    out.push_back(static_cast<unsigned char>(value >> 8 & 0xff));
}

void pad(Bytes& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}

// One node as the resource compiler writes it: lengths, type, key, the value and the
// children, each aligned to 32 bits. A text value's length counts its UTF-16 units.
Bytes node(const std::u16string& key, const Bytes& value, size_t value_length, bool text,
           const std::vector<Bytes>& children = {}) {
    Bytes out(6, 0);
    for (char16_t unit : key) put_word(out, unit);
    put_word(out, 0);
    pad(out);
    out.insert(out.end(), value.begin(), value.end());
    for (const Bytes& child : children) {
        pad(out);
        out.insert(out.end(), child.begin(), child.end());
    }
    out[0] = static_cast<unsigned char>(out.size() & 0xff);
    out[1] = static_cast<unsigned char>(out.size() >> 8);
    out[2] = static_cast<unsigned char>(value_length & 0xff);
    out[3] = static_cast<unsigned char>(value_length >> 8);
    out[4] = text ? 1 : 0;
    return out;
}

Bytes text_entry(const std::u16string& name, const std::u16string& value) {
    Bytes bytes;
    for (char16_t unit : value) put_word(bytes, unit);
    put_word(bytes, 0);
    return node(name, bytes, value.size() + 1, true);
}

// VS_VERSIONINFO with a fixed part of 52 bytes and the given string tables.
Bytes version_info(const std::vector<Bytes>& tables) {
    return node(u"VS_VERSION_INFO", Bytes(52, 0xAB), 52, false,
                {node(u"StringFileInfo", {}, 0, true, tables),
                 node(u"VarFileInfo", {}, 0, true, {node(u"Translation", Bytes(4, 0), 4, false)})});
}

std::u16string found_text(const Bytes& block, const std::u16string& name) {
    std::u16string out = u"(none)";
    if (!policy::find_version_string(block.data(), block.size(), name, out)) return u"(false)";
    return out;
}

TEST(VersionStrings, TheFirstTableThatHasTheNameAnswers) {
    const Bytes english =
        node(u"040904b0", {}, 0, true,
             {text_entry(u"CompanyName", u"Corvane"), text_entry(u"ProductName", u"CorvaneApp")});
    const Bytes chinese =
        node(u"080404b0", {}, 0, true,
             {text_entry(u"ProductName", u"\u79d1\u6587"), text_entry(u"LegalCopyright", u"")});
    const struct {
        const char* name;
        Bytes block;
        std::u16string key;
        std::u16string expected;
    } cases[] = {
        {"in the only table", version_info({english}), u"ProductName", u"CorvaneApp"},
        {"the first of two tables", version_info({chinese, english}), u"ProductName",
         u"\u79d1\u6587"},
        {"only in the second", version_info({chinese, english}), u"CompanyName", u"Corvane"},
        {"an empty value", version_info({english, chinese}), u"LegalCopyright", u""},
        {"a name no table has", version_info({english}), u"FileVersion", u"(false)"},
        {"a key is matched whole", version_info({english}), u"Product", u"(false)"},
        {"no string tables", version_info({}), u"ProductName", u"(false)"},
        {"not a version resource", Bytes(64, 0), u"ProductName", u"(false)"},
        {"nothing", Bytes(), u"ProductName", u"(false)"},
    };
    for (const auto& c : cases) EXPECT_TRUE(found_text(c.block, c.key) == c.expected) << c.name;
}

// Cut anywhere, or with any one length made larger, the block is read only within its
// bounds: the address sanitizer of the native build sees every byte read past them.
TEST(VersionStrings, ABlockCutShortOrWithWrongLengthsIsReadWithinItsBounds) {
    const Bytes whole =
        version_info({node(u"040904b0", {}, 0, true, {text_entry(u"ProductName", u"CorvaneApp")})});
    for (size_t size = 0; size < whole.size(); ++size) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        // The outer length still claims the whole: nothing of it is believed.
        EXPECT_TRUE(found_text(cut, u"ProductName") == u"(false)") << size;
    }
    for (size_t at = 0; at + 1 < whole.size(); at += 2) {
        for (unsigned char high : {0x01, 0x7f, 0xff}) {
            Bytes changed = whole;
            changed[at + 1] = high;
            const Bytes copy(changed);  // exactly the block's bytes, nothing after them
            found_text(copy, u"ProductName");
        }
    }
}

}  // namespace

namespace {

TEST(Versions, EveryPartIsComparedAsANumber) {
    const struct {
        const char* a;
        const char* b;
        int order;
    } cases[] = {
        {"2.0.0.0", "2.0.0.5", -1}, {"2.0.0.5", "2.0.0.4", 1}, {"2.0.1", "2.0.0.9", 1},
        {"2.1", "2.0.9.9", 1},      {"10.0", "9.0", 1},        {"2.0", "2.0.0.0", 0},
        {"2.13", "2.2", 1},         {"1", "1.0.0.1", -1},      {"999999999", "999999998", 1},
    };
    for (const auto& c : cases) {
        policy::Version a;
        policy::Version b;
        ASSERT_TRUE(policy::parse_version(c.a, a)) << c.a;
        ASSERT_TRUE(policy::parse_version(c.b, b)) << c.b;
        EXPECT_EQ(policy::compare_versions(a, b), c.order) << c.a << " against " << c.b;
        EXPECT_EQ(policy::compare_versions(b, a), -c.order) << c.b << " against " << c.a;
    }
    policy::Version untouched;
    for (const char* bad : {"", "2.", ".2", "2..0", "1.2.3.4.5", "2.0a", "1234567890", "-1", " 2"})
        EXPECT_FALSE(policy::parse_version(bad, untouched)) << bad;
    EXPECT_EQ(untouched.count, 0);
}

TEST(Versions, AReleaseLineIsComparedPartByPart) {
    const struct {
        const char* version;
        const char* prefix;
        bool on_line;
    } cases[] = {
        {"2.1.3.0", "2.1", true},    {"2.13.0.0", "2.1", false}, {"2.1.0.0", "2.1.", true},
        {"2.13.0.0", "2.1.", false}, {"2.4.1.7", "2.4.1", true}, {"2.4.10.0", "2.4.1", false},
        {"3.0.0.0", "2", false},     {"2.9.9.9", "2", true},     {"2.1.0.0", "", true},
        {"2.1.0.0", "2.x", false},   {"2.1.0.0", ".", false},    {"2.1.0.0", "2.1..", false},
    };
    for (const auto& c : cases) {
        policy::Version version;
        ASSERT_TRUE(policy::parse_version(c.version, version)) << c.version;
        EXPECT_EQ(policy::has_version_prefix(version, c.prefix), c.on_line)
            << c.version << " on \"" << c.prefix << "\"";
    }
}

}  // namespace
