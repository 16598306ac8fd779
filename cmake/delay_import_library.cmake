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
execute_process(COMMAND ${DLLTOOL} --input-def ${OUTPUT}.def --dllname ${DLL}
                        --output-delaylib ${OUTPUT}
                COMMAND_ERROR_IS_FATAL ANY)
