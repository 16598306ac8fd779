# Delay-loaded imports for Windows programs.
#
# Windows looks for a DLL that is not one of its "known DLLs" in the program's own folder
# before System32, so a DLL put beside the program under a system name would run inside it
# (with administrator rights in the elevated run). A delay-loaded DLL is not looked for by
# the loader at start-up but on the first call into it, after main() has restricted the
# search to System32 (SetDefaultDllDirectories).
#
#     updater_delay_load(<target> <dll name without .dll>...)
#
# For each name, dlltool makes a delay-import library from the functions that the
# toolchain's import library lists, under the toolchain's file name (lib<name>.a), in a
# folder that the target's link searches first: whatever library in the link asks for
# -l<name> (ours, libcurl's) gets the delay-loaded form. mingw-w64's helper that resolves
# them on the first call, __delayLoadHelper2, comes with its static runtime (libmingwex).
find_program(UPDATER_DLLTOOL NAMES ${CMAKE_DLLTOOL} x86_64-w64-mingw32-dlltool REQUIRED)

function(updater_delay_load target)
    set(folder ${CMAKE_CURRENT_BINARY_DIR}/${target}_delay_load)
    set(libraries)
    foreach(dll IN LISTS ARGN)
        execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=lib${dll}.a
                        OUTPUT_VARIABLE import_library OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${import_library}" OR NOT EXISTS "${import_library}")
            message(FATAL_ERROR "No import library lib${dll}.a for ${dll}.dll")
        endif()
        set(output ${folder}/lib${dll}.a)
        add_custom_command(OUTPUT ${output}
            COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DDLLTOOL=${UPDATER_DLLTOOL}
                    -DIMPORT_LIBRARY=${import_library} -DDLL=${dll}.dll -DOUTPUT=${output}
                    -P ${PROJECT_SOURCE_DIR}/cmake/delay_import_library.cmake
            DEPENDS ${import_library} ${PROJECT_SOURCE_DIR}/cmake/delay_import_library.cmake
            COMMENT "Making the delay-import library for ${dll}.dll")
        list(APPEND libraries ${output})
    endforeach()
    # A name taken off the list must not stay delay-loaded through a library left behind.
    file(GLOB present ${folder}/lib*.a)
    foreach(library IN LISTS present)
        if(NOT library IN_LIST libraries)
            file(REMOVE ${library})
        endif()
    endforeach()
    add_custom_target(${target}_delay_load DEPENDS ${libraries})
    add_dependencies(${target} ${target}_delay_load)
    # ld sorts the import data (.idata$*) by the path of the archive it comes from: with an
    # absolute path, the build folder would decide where these libraries' data lands among
    # the toolchain's import libraries (/usr/...), and a build under /tmp would differ from
    # one under /var/tmp. Ninja runs the link in the build folder, where it names the
    # project's own libraries relatively too; other generators get the absolute path.
    if(CMAKE_GENERATOR MATCHES "^Ninja")
        file(RELATIVE_PATH search_folder ${CMAKE_BINARY_DIR} ${folder})
        target_link_options(${target} BEFORE PRIVATE -L${search_folder})
    else()
        target_link_directories(${target} BEFORE PRIVATE ${folder})
    endif()
    target_link_libraries(${target} PRIVATE ${ARGN})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${libraries})
endfunction()
