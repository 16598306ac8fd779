// Single ownership of operating-system handles.
#pragma once

#include <utility>

#include "utils/win.h"

namespace utils {

// Owns one handle and closes it through Traits::close when it goes. Move-only. Null and
// INVALID_HANDLE_VALUE both count as "no handle"; closing keeps the thread's last error,
// so a failure can still be reported after the cleanup that follows it.
template <typename Traits>
class ScopedHandle {
public:
    using Handle = typename Traits::Handle;

    ScopedHandle() = default;
    explicit ScopedHandle(Handle handle) : handle_(handle) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    Handle get() const { return handle_; }
    bool valid() const { return Traits::valid(handle_); }
    explicit operator bool() const { return valid(); }

    // Gives up ownership without closing.
    Handle release() { return std::exchange(handle_, Traits::invalid()); }

    void reset(Handle handle = Traits::invalid()) {
        if (Traits::valid(handle_)) {
            const DWORD saved = GetLastError();
            Traits::close(handle_);
            SetLastError(saved);
        }
        handle_ = handle;
    }

private:
    Handle handle_ = Traits::invalid();
};

// Kernel objects: files, events, threads, processes, mutexes, snapshots.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle invalid() { return nullptr; }
    static bool valid(Handle handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static void close(Handle handle) { CloseHandle(handle); }
};

using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;

// Directory searches of FindFirstFileExW.
struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle invalid() { return INVALID_HANDLE_VALUE; }
    static bool valid(Handle handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static void close(Handle handle) { FindClose(handle); }
};

using ScopedFindHandle = ScopedHandle<FindHandleTraits>;

// Registry keys of RegOpenKeyExW.
struct RegistryKeyTraits {
    using Handle = HKEY;
    static Handle invalid() { return nullptr; }
    static bool valid(Handle key) {
        return key != nullptr && key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    static void close(Handle key) { RegCloseKey(key); }
};

using ScopedRegistryKey = ScopedHandle<RegistryKeyTraits>;

}  // namespace utils
