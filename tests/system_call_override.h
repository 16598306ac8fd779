// Replaces one entry of the program's system-call table until the end of the scope:
//     test::SystemCallOverride fail(&utils::SystemCalls::terminate_process,
//                                   [](HANDLE, UINT) -> BOOL { SetLastError(5); return FALSE; });
#pragma once

#include "utils/system_calls.h"

namespace test {

template <typename Function>
class SystemCallOverride {
public:
    SystemCallOverride(Function utils::SystemCalls::*entry, Function replacement)
        : entry_(entry), saved_(utils::system_calls().*entry) {
        utils::system_calls().*entry_ = replacement;
    }
    ~SystemCallOverride() { utils::system_calls().*entry_ = saved_; }
    SystemCallOverride(const SystemCallOverride&) = delete;
    SystemCallOverride& operator=(const SystemCallOverride&) = delete;

private:
    Function utils::SystemCalls::*entry_;
    Function saved_;
};

}  // namespace test
