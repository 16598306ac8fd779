#include "child_main.h"

#include <gtest/gtest.h>

#include <cstring>

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
        return found->second(std::vector<std::string>(argv + 2, argv + argc));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
