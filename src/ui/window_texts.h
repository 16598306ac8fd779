// The progress window's texts in each language of the brand (brand.h), and the choice
// among them by the user's UI language.
#pragma once

#include <cstddef>

#include "utils/win.h"

// One language's texts. The fields after `language` come in the order of the branding's
// window names (cmake/branding.cmake), which writes one initialiser of this record per
// language into BRAND_WINDOW_TEXTS.
struct WindowTexts {
    const wchar_t* language;  // a locale name, "zh-CN"
    const wchar_t* title;
    const wchar_t* font;
    const wchar_t* progress_label;
    const wchar_t* updating;
    const wchar_t* finding_updater;
    const wchar_t* finding_backup;
    const wchar_t* backing_up;
    const wchar_t* closing;
    const wchar_t* running_installer;
    const wchar_t* installer_ended;
    const wchar_t* starting;
    const wchar_t* done;
    const wchar_t* failed;
    const wchar_t* rolled_back;
    const wchar_t* publisher_refused;
    const wchar_t* older;
};

// One of the texts, whatever the language: &WindowTexts::done.
using WindowText = const wchar_t* WindowTexts::*;

// The table of `language` among `tables` (count > 0): the one of that very language, else
// the first of another variety of it (Chinese (Taiwan) finds Chinese (PRC)), else
// tables[0], the brand's own.
const WindowTexts& window_texts_for(LANGID language, const WindowTexts* tables, std::size_t count);

// The brand's table for the user's UI language (GetUserDefaultUILanguage), chosen once.
const WindowTexts& user_window_texts();
