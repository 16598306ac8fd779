// Stands in for an installer in the tests of the elevated run: when started, appends the
// full path it was started from, one line, to the file named by INSTALLER_PROBE_RECORD
// (nothing when the variable is unset), and ends with 0.
#include <cstdio>

#include "utils/win.h"

int main() {
    wchar_t record[MAX_PATH] = {0};
    if (GetEnvironmentVariableW(L"INSTALLER_PROBE_RECORD", record, MAX_PATH) == 0) return 0;
    wchar_t image[MAX_PATH] = {0};
    if (GetModuleFileNameW(nullptr, image, MAX_PATH) == 0) return 1;
    FILE* out = _wfopen(record, L"ab");
    if (out == nullptr) return 2;
    std::fprintf(out, "%ls\n", image);
    std::fclose(out);
    return 0;
}
