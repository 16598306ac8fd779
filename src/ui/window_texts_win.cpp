#include "brand.h"
#include "ui/window_texts.h"

namespace {

const WindowTexts kBrandTexts[] = {BRAND_WINDOW_TEXTS};
static_assert(sizeof(WindowTexts) == BRAND_WINDOW_TEXT_FIELDS * sizeof(const wchar_t*),
              "the branding's window names and WindowTexts' fields differ");

// 0 for a locale name the system does not know: it matches no user.
LANGID language_of(const WindowTexts& texts) {
    return LANGIDFROMLCID(LocaleNameToLCID(texts.language, 0));
}

}  // namespace

const WindowTexts& window_texts_for(LANGID language, const WindowTexts* tables, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (language_of(tables[i]) == language) return tables[i];
    }
    for (std::size_t i = 0; i < count; ++i) {
        const LANGID table = language_of(tables[i]);
        if (table != 0 && PRIMARYLANGID(table) == PRIMARYLANGID(language)) return tables[i];
    }
    return tables[0];
}

const WindowTexts& user_window_texts() {
    static const WindowTexts& chosen = window_texts_for(GetUserDefaultUILanguage(), kBrandTexts,
                                                        sizeof kBrandTexts / sizeof kBrandTexts[0]);
    return chosen;
}
