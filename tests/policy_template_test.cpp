// The administrative template in policies/ against the policy the updater reads: the same
// values under the same key with the same registry types, and every text the template
// refers to in each language.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>

#include "policy/machine_policy.h"
#include "test_support.h"

namespace {

const std::string kFolder = UPDATER_POLICIES_DIR;

// An attribute of the first element in `xml`, empty when it has none.
std::string attribute(const std::string& xml, const std::string& name) {
    std::smatch found;
    if (!std::regex_search(xml, found, std::regex("\\s" + name + "=\"([^\"]*)\""))) return "";
    return found[1];
}

// Each <policy> of the template, by the value it writes: its text, and the element that
// names the value (the policy itself, or the element of its <elements>).
struct Declared {
    std::string policy;
    std::string element;
};

std::map<std::string, Declared> declared_values(const std::string& admx) {
    std::map<std::string, Declared> values;
    const std::regex policy("<policy\\s[^>]*>[\\s\\S]*?</policy>");
    for (std::sregex_iterator it(admx.begin(), admx.end(), policy), end; it != end; ++it) {
        const std::string text = it->str();
        std::smatch element;
        std::string name = attribute(text.substr(0, text.find('>')), "valueName");
        std::string kind = "policy";
        if (std::regex_search(text, element,
                              std::regex("<(text|multiText|decimal|list)\\s[^>]*"
                                         "valueName=\"([^\"]*)\""))) {
            kind = element[1];
            name = element[2];
        }
        EXPECT_EQ(values.count(name), 0u) << "two policies write " << name;
        values[name] = {text, kind};
    }
    return values;
}

// What a value declared so holds in the registry.
std::string registry_type(const Declared& declared) {
    if (declared.element == "text") return "REG_SZ";
    if (declared.element == "multiText") return "REG_MULTI_SZ";
    if (declared.element == "policy" &&
        declared.policy.find("<enabledValue><decimal value=\"1\" /></enabledValue>") !=
            std::string::npos)
        return "REG_DWORD";
    return "unknown (" + declared.element + ")";
}

std::string registry_type(policy::ValueType type) {
    switch (type) {
        case policy::ValueType::kDword:
            return "REG_DWORD";
        case policy::ValueType::kString:
            return "REG_SZ";
        case policy::ValueType::kMultiString:
            return "REG_MULTI_SZ";
    }
    return "unknown";
}

TEST(PolicyTemplate, DeclaresTheValuesTheUpdaterReads) {
    const std::string admx = test::read_file(kFolder + "/" UPDATER_POLICY_FILE ".admx");
    ASSERT_FALSE(admx.empty());
    const std::map<std::string, Declared> declared = declared_values(admx);
    EXPECT_EQ(declared.size(), static_cast<size_t>(policy::kValueCount));
    for (const policy::PolicyValue& value : policy::kPolicyValues) {
        const auto found = declared.find(value.name);
        ASSERT_NE(found, declared.end()) << value.name;
        const std::string& text = found->second.policy;
        EXPECT_EQ(attribute(text.substr(0, text.find('>')), "key"), policy::kPolicyKey)
            << value.name;
        EXPECT_EQ(attribute(text.substr(0, text.find('>')), "class"), "Machine") << value.name;
        EXPECT_EQ(registry_type(found->second), registry_type(value.type)) << value.name;
    }
}

TEST(PolicyTemplate, EachLanguageHasEveryText) {
    const std::string admx = test::read_file(kFolder + "/" UPDATER_POLICY_FILE ".admx");
    for (const char* language : {"en-US", "zh-CN"}) {
        const std::string adml =
            test::read_file(kFolder + "/" + language + "/" UPDATER_POLICY_FILE ".adml");
        ASSERT_FALSE(adml.empty()) << language;
        const std::regex reference("\\$\\((string|presentation)\\.([A-Za-z_]+)\\)");
        for (std::sregex_iterator it(admx.begin(), admx.end(), reference), end; it != end; ++it) {
            const std::string tag = (*it)[1] == "string" ? "<string id=\"" : "<presentation id=\"";
            EXPECT_NE(adml.find(tag + (*it)[2].str() + "\""), std::string::npos)
                << language << " lacks " << it->str();
        }
        // Every box of a presentation fills an element of the template.
        const std::regex box("refId=\"([^\"]*)\"");
        for (std::sregex_iterator it(adml.begin(), adml.end(), box), end; it != end; ++it)
            EXPECT_NE(admx.find(" id=\"" + (*it)[1].str() + "\""), std::string::npos)
                << language << ": " << it->str();
    }
}

}  // namespace
