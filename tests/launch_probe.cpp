// Started without arguments by the launch tests, as the client application would be:
// leaves "<own path>.started" holding its process id and its working folder, and ends.
#include <cstdio>
#include <string>

#include "utils/win.h"

int main() {
    wchar_t image[MAX_PATH] = {0};
    if (GetModuleFileNameW(nullptr, image, MAX_PATH) == 0) return 1;
    const std::wstring record = std::wstring(image) + L".started";
    // Written under a temporary name and renamed, so that a reader never sees it half-done.
    const std::wstring partial = record + L".part";
    FILE* out = _wfopen(partial.c_str(), L"wb");
    if (out == nullptr) return 2;
    wchar_t folder[MAX_PATH] = {0};
    GetCurrentDirectoryW(MAX_PATH, folder);
    std::fprintf(out, "%lu\n%ls", static_cast<unsigned long>(GetCurrentProcessId()), folder);
    std::fclose(out);
    return MoveFileExW(partial.c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 3;
}
