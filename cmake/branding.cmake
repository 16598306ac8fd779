# The brand: reads the branding file (branding/default.cmake unless UPDATER_BRANDING names
# another) and writes brand.h into the generated folder, the one header through which the
# program, its resources and its tools know the product's names and texts. Each variable
# BRAND_<NAME> of the file becomes BRAND_<NAME> (a narrow literal, UTF-8) and
# BRAND_<NAME>_W (a wide one). The progress window's texts come once per language of
# BRAND_LANGUAGES, as BRAND_<NAME>_<language>: BRAND_WINDOW_TEXTS holds them all, one
# initialiser of ui/window_texts.h's WindowTexts per language, and BRAND_<NAME> and
# BRAND_<NAME>_W are those of the first language, the brand's own.
set(UPDATER_BRANDING "${PROJECT_SOURCE_DIR}/branding/default.cmake" CACHE FILEPATH
    "The branding file: the product's names and texts")
set(brand_names
    COMPANY PRODUCT MANIFEST_NAME
    APPLICATION APPLICATION_EXE APPLICATION_LOG_NAME
    UPDATE_FOLDER_VENDOR UPDATE_FOLDER_PRODUCT
    LOCK_NAME PIPE_NAME PHASE_MARKER
    POLICY_KEY DATA_FOLDER_VENDOR DATA_FOLDER_PRODUCT PROTECTED_FOLDER_PREFIX
    INSTALLER_NAME SERVICE_NAME SERVICE_DISPLAY_NAME SERVICE_DESCRIPTION SERVICE_FOLDER)
# In the order of WindowTexts' fields, after its language.
set(brand_window_names
    WINDOW_TITLE WINDOW_FONT
    TEXT_PROGRESS_LABEL TEXT_UPDATING TEXT_FINDING_UPDATER TEXT_FINDING_BACKUP
    TEXT_BACKING_UP TEXT_CLOSING TEXT_RUNNING_INSTALLER TEXT_INSTALLER_ENDED TEXT_STARTING
    TEXT_DONE TEXT_FAILED TEXT_ROLLED_BACK TEXT_PUBLISHER_REFUSED TEXT_OLDER)

# A value as the inside of a C string literal: backslashes and quotes escaped.
macro(brand_escape variable)
    string(REPLACE "\\" "\\\\" ${variable} "${${variable}}")
    string(REPLACE "\"" "\\\"" ${variable} "${${variable}}")
endmacro()

foreach(name IN LISTS brand_names brand_window_names ITEMS LISTED_PUBLISHERS LANGUAGES)
    unset(BRAND_${name})
endforeach()
include("${UPDATER_BRANDING}")
if(NOT BRAND_LANGUAGES)
    message(FATAL_ERROR "The branding file ${UPDATER_BRANDING} does not set BRAND_LANGUAGES")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${UPDATER_BRANDING}")

set(brand_header "// Written by CMake from ${UPDATER_BRANDING}: change that file, not this one.\n#pragma once\n")
# Sets `out` to the value of BRAND_<name>, escaped for a C string literal; stops the
# configuration when it is missing or empty or holds a control character.
function(brand_value out name)
    if(NOT DEFINED BRAND_${name} OR "${BRAND_${name}}" STREQUAL "")
        message(FATAL_ERROR "The branding file ${UPDATER_BRANDING} does not set BRAND_${name}")
    endif()
    set(value "${BRAND_${name}}")
    # Nothing but backslashes and quotes is escaped.
    if(value MATCHES "[\n\r\t]")
        message(FATAL_ERROR "BRAND_${name} holds a control character")
    endif()
    brand_escape(value)
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

foreach(language IN LISTS BRAND_LANGUAGES)
    if(NOT language MATCHES "^[A-Za-z]+(-[A-Za-z0-9]+)*$")
        message(FATAL_ERROR "BRAND_LANGUAGES: \"${language}\" is not a locale name such as en-US")
    endif()
endforeach()
list(GET BRAND_LANGUAGES 0 own_language)
foreach(name IN LISTS brand_names brand_window_names)
    if(name IN_LIST brand_window_names)
        brand_value(value ${name}_${own_language})
    else()
        brand_value(value ${name})
    endif()
    string(APPEND brand_header
        "#define BRAND_${name} \"${value}\"\n#define BRAND_${name}_W L\"${value}\"\n")
endforeach()
set(tables "")
foreach(language IN LISTS BRAND_LANGUAGES)
    string(APPEND tables " {L\"${language}\"")
    foreach(name IN LISTS brand_window_names)
        brand_value(value ${name}_${language})
        string(APPEND tables ", L\"${value}\"")
    endforeach()
    string(APPEND tables "},")
endforeach()
list(LENGTH brand_window_names count)
math(EXPR count "${count} + 1")
string(APPEND brand_header "#define BRAND_WINDOW_TEXTS${tables}\n#define BRAND_WINDOW_TEXT_FIELDS ${count}\n")
# The listed publishers, each a literal followed by a comma, for an array's initialiser.
set(listed "")
foreach(value IN LISTS BRAND_LISTED_PUBLISHERS)
    brand_escape(value)
    string(APPEND listed " \"${value}\",")
endforeach()
string(APPEND brand_header "#define BRAND_LISTED_PUBLISHERS${listed}\n")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/generated/brand.h CONTENT "${brand_header}" @ONLY)

# The administrative templates of the machine policy (policies/*.in), in the brand's names:
# the file name, namespace, prefix and vendor category come from BRAND_MANIFEST_NAME
# ("Corvane.Updater": corvane-updater.admx, Corvane.Policies.Updater, corvaneupdater,
# Corvane), the texts from the brand's names escaped for XML.
string(REPLACE "." ";" manifest_parts "${BRAND_MANIFEST_NAME}")
list(GET manifest_parts 0 POLICY_VENDOR)
list(REMOVE_AT manifest_parts 0)
list(JOIN manifest_parts "." manifest_rest)
if(NOT POLICY_VENDOR MATCHES "^[A-Za-z][A-Za-z0-9]*$" OR manifest_rest STREQUAL "")
    message(FATAL_ERROR "BRAND_MANIFEST_NAME must be <Vendor>.<Product>, letters and digits")
endif()
set(POLICY_NAMESPACE "${POLICY_VENDOR}.Policies.${manifest_rest}")
string(TOLOWER "${POLICY_VENDOR}${manifest_rest}" POLICY_PREFIX)
string(REPLACE "." "" POLICY_PREFIX "${POLICY_PREFIX}")
string(TOLOWER "${BRAND_MANIFEST_NAME}" policy_file)
string(REPLACE "." "-" policy_file "${policy_file}")
foreach(name PRODUCT COMPANY APPLICATION POLICY_KEY)
    set(value "${BRAND_${name}}")
    string(REPLACE "&" "&amp;" value "${value}")
    string(REPLACE "<" "&lt;" value "${value}")
    string(REPLACE ">" "&gt;" value "${value}")
    string(REPLACE "\"" "&quot;" value "${value}")
    set(XML_${name} "${value}")
endforeach()
set(UPDATER_POLICIES_DIR ${PROJECT_BINARY_DIR}/policies)
set(UPDATER_POLICY_FILE ${policy_file})
file(GLOB_RECURSE policy_templates RELATIVE ${PROJECT_SOURCE_DIR}/policies
     ${PROJECT_SOURCE_DIR}/policies/*.in)
file(REMOVE_RECURSE ${UPDATER_POLICIES_DIR})
foreach(template IN LISTS policy_templates)
    get_filename_component(folder "${template}" DIRECTORY)
    get_filename_component(extension "${template}" EXT)
    string(REGEX REPLACE "\\.in$" "" extension "${extension}")
    configure_file(${PROJECT_SOURCE_DIR}/policies/${template}
                   ${UPDATER_POLICIES_DIR}/${folder}/${policy_file}${extension} @ONLY)
endforeach()
