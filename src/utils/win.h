// The one place that includes <windows.h>.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// mingw-w64 defaults to an older Windows; we need the Vista-and-later declarations.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0601

#include <windows.h>
