// Test programs that need a second process start themselves again with --child=<name>:
// the main of child_main.cpp runs the child registered under that name instead of the
// tests, and its result becomes the exit code.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace test {

using ChildMain = int (*)(const std::vector<std::string>& arguments);

std::map<std::string, ChildMain>& child_registry();

struct ChildRegistrar {
    ChildRegistrar(const char* name, ChildMain child) { child_registry()[name] = child; }
};

#define TEST_CHILD(name)                                                             \
    static int child_##name(const std::vector<std::string>&);                        \
    static const ::test::ChildRegistrar child_registrar_##name(#name, child_##name); \
    static int child_##name([[maybe_unused]] const std::vector<std::string>& arguments)

}  // namespace test
