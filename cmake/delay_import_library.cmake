# Makes a delay-import library for DLL (e.g. bcrypt.dll) at OUTPUT from the functions that
# the toolchain's IMPORT_LIBRARY lists. Run by updater_delay_load (delay_load.cmake) as
#     cmake -DNM=... -DDLLTOOL=... -DIMPORT_LIBRARY=... -DDLL=... -DOUTPUT=... -P <this file>
# An import library names each function twice, as the call thunk "T name" and the address
# slot "I __imp_name"; data has only the slot and cannot be delay-loaded, so only names
# with both are taken.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${NM} ${IMPORT_LIBRARY} OUTPUT_VARIABLE symbols
                COMMAND_ERROR_IS_FATAL ANY ERROR_QUIET)
string(REGEX MATCHALL "[\r\n][0-9a-f ]* T [A-Za-z0-9_@?$]+" thunks "\n${symbols}")
string(REGEX MATCHALL "[\r\n][0-9a-f ]* I __imp_[A-Za-z0-9_@?$]+" slots "\n${symbols}")
set(slot_names)
foreach(slot IN LISTS slots)
    string(REGEX REPLACE ".* I __imp_" "" name "${slot}")
    list(APPEND slot_names ${name})
endforeach()
set(exports)
foreach(thunk IN LISTS thunks)
    string(REGEX REPLACE ".* T " "" name "${thunk}")
    if(name IN_LIST slot_names)
        list(APPEND exports ${name})
    endif()
endforeach()
list(REMOVE_DUPLICATES exports)
list(LENGTH exports count)
if(count EQUAL 0)
    message(FATAL_ERROR "${IMPORT_LIBRARY} lists no functions of ${DLL}")
endif()
list(JOIN exports "\n" lines)
get_filename_component(folder ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
file(WRITE ${OUTPUT}.def "LIBRARY ${DLL}\nEXPORTS\n${lines}\n")
# dlltool names the archive's members after --temp-prefix, and its symbols after the
# output's name as given; by default both hold the build folder's path. Run in the output's
# folder with the library's own name as prefix (as the toolchain's import libraries have
# it), the library's bytes do not depend on the folder, and libraries made at the same
# time do not share temporary files.
get_filename_component(library ${OUTPUT} NAME)
get_filename_component(stem ${OUTPUT} NAME_WE)
execute_process(COMMAND ${DLLTOOL} --input-def ${library}.def --dllname ${DLL}
                        --output-delaylib ${library} --temp-prefix ${stem}
                        --deterministic-libraries
                WORKING_DIRECTORY ${folder}
                COMMAND_ERROR_IS_FATAL ANY)
