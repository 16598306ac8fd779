#include "child_main.h"

#include <gtest/gtest.h>

#include <cstring>

#ifdef _WIN32
#include "utils/text.h"
#include "utils/win.h"
// After win.h.
#include <shellapi.h>
#endif

namespace test {

std::map<std::string, ChildMain>& child_registry() {
    static std::map<std::string, ChildMain> registry;
    return registry;
}

}  // namespace test

int main(int argc, char** argv) {
    const char* const prefix = "--child=";
    if (argc >= 2 && std::strncmp(argv[1], prefix, std::strlen(prefix)) == 0) {
        const auto found = test::child_registry().find(argv[1] + std::strlen(prefix));
        if (found == test::child_registry().end()) return 125;
#ifdef _WIN32
        // The arguments as the updater reads its own: wide from the system, then UTF-8.
        int count = 0;
        LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
        std::vector<std::string> arguments;
        for (int i = 2; wide != nullptr && i < count; ++i) arguments.push_back(narrow(wide[i]));
        LocalFree(wide);
        return found->second(arguments);
#else
        return found->second(std::vector<std::string>(argv + 2, argv + argc));
#endif
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
