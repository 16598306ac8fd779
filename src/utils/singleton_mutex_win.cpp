#include "utils/singleton_mutex.h"
#include "utils/text.h"

SingletonMutex::SingletonMutex(const std::string& base_name, bool create_new)
    : name_("Global\\" + base_name), create_new_(create_new) {}

SingletonMutex::~SingletonMutex() {
    if (!handle_.valid()) return;
    ReleaseMutex(handle_.get());
    handle_.reset();
}

bool SingletonMutex::obtain_handle() {
    if (handle_.valid()) return true;
    if (create_new_) {
        handle_.reset(CreateMutexW(nullptr, FALSE, widen(name_).c_str()));
        // Someone else created it first: we are not the only updater.
        if (handle_.valid() && GetLastError() == ERROR_ALREADY_EXISTS) handle_.reset();
    } else {
        handle_.reset(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, widen(name_).c_str()));
        // The run that made it has let go already; whoever creates it between these
        // two calls is waited for like that run.
        if (!handle_.valid() && GetLastError() == ERROR_FILE_NOT_FOUND)
            handle_.reset(CreateMutexW(nullptr, FALSE, widen(name_).c_str()));
    }
    return handle_.valid();
}

bool SingletonMutex::acquire() {
    return obtain_handle() && WaitForSingleObject(handle_.get(), INFINITE) == WAIT_OBJECT_0;
}

bool SingletonMutex::acquire_within(unsigned long timeout_ms) {
    if (!obtain_handle()) return false;
    const DWORD waited = WaitForSingleObject(handle_.get(), timeout_ms);
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}
