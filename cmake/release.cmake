# What a release ships, installed into one folder that scripts/release checks and packs:
# the programs (linked statically: no DLL goes beside them), README.txt, the
# administrative template (policies/) and the licences of everything linked in.
install(TARGETS updater upgrade_watch RUNTIME DESTINATION .)

# README.txt: the vendors' and administrators' parts of README.md, from the quick start
# to the developers' part, which the release has no use for.
set(readme_start "## Quick start for vendors\n")
set(readme_end "\n## For the updater's developers\n")
file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
string(FIND "${readme}" "${readme_start}" start)
string(FIND "${readme}" "${readme_end}" end)
if(start EQUAL -1 OR end LESS start)
    message(FATAL_ERROR "README.md lacks '${readme_start}' or '${readme_end}' after it")
endif()
math(EXPR length "${end} + 1 - ${start}")
string(SUBSTRING "${readme}" ${start} ${length} readme)
file(WRITE ${PROJECT_BINARY_DIR}/README.txt
     "${BRAND_PRODUCT} ${PROJECT_VERSION}\n\n${readme}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)

# The administrative template of the machine policy, with its language files.
install(DIRECTORY ${UPDATER_POLICIES_DIR}/ DESTINATION policies)

# Licences: libcurl's and cJSON's from the Debian sources they were built from (kept by
# scripts/bootstrap), the C and C++ runtime's from the mingw-w64 packages: the CRT and
# winpthreads (mingw-w64), libgcc and libstdc++ (GCC, with its runtime library exception).
install(DIRECTORY ${UPDATER_CURL_DIR}/licenses/ DESTINATION licenses/libcurl)
install(DIRECTORY ${UPDATER_CJSON_DIR}/licenses/ DESTINATION licenses/cjson)
install(FILES /usr/share/doc/mingw-w64-x86-64-dev/copyright
        DESTINATION licenses/mingw-w64-runtime-and-winpthreads)
install(FILES /usr/share/doc/gcc-mingw-w64-base/copyright
        DESTINATION licenses/gcc-runtime-libgcc-libstdc++)
