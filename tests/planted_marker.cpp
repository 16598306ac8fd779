// A DLL or program that someone planted beside the updater or in its working folder, under
// the name of a system one. When it is loaded (DllMain) or run (main) it leaves
// "<its own path>.fired" beside itself, holding the path of the program it ran in: the
// sign that the updater picked it up instead of the system's. Built as both.
#include "utils/win.h"

namespace {

void leave_mark(HMODULE self) {
    wchar_t own[MAX_PATH] = {0};
    wchar_t host[MAX_PATH] = {0};
    GetModuleFileNameW(self, own, MAX_PATH);
    GetModuleFileNameW(nullptr, host, MAX_PATH);
    lstrcatW(own, L".fired");
    HANDLE mark = CreateFileW(own, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(mark, host, static_cast<DWORD>(lstrlenW(host) * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(mark);
}

}  // namespace

#ifdef PLANTED_DLL
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) leave_mark(self);
    return TRUE;
}
#else
int main() {
    leave_mark(nullptr);
    return 0;
}
#endif
