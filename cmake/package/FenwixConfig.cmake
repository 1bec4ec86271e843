# find_package(Fenwix): the fenwix program of the package this file came
# with, and fenwix_add_onefile() to make a single-file Windows executable of
# an application folder as part of a build.
#
# The packages put this file in lib/cmake/Fenwix below the folder holding
# the program (the Linux tarballs and the Windows zip) or below the prefix
# whose bin/ holds it (/usr in the Debian package), so the program is looked
# for only there, relative to this file: wherever the package is unpacked,
# the module runs its own fenwix, never another one on the PATH.
#
#   fenwix_add_onefile(TARGET name APP_DIR dir [OUTPUT file.exe] [MAIN exe]
#                      [PRODUCT name] [COMPANY name] [VERSION a.b.c.d]
#                      [DESCRIPTION text] [COPYRIGHT text] [TEMPLATE text] [ARGS value...] [EXCLUDE pattern...]
#                      [LEVEL n] [WINDOWED] [DEPENDS target...])
#
# adds the target `name`, built by default, which runs `fenwix build` on
# APP_DIR (relative to the current source folder) and writes OUTPUT
# (relative to the current build folder; by default name.exe there). Each
# option is the `fenwix build` option of the same name (ARGS: --arg, once per
# value). The target runs at every build, since fenwix cannot know what
# changed in the folder: the output is replaced only once complete, and is
# the same bytes for the same folder. DEPENDS names the targets that make the
# folder, so that they are built first.
get_filename_component(_fenwix_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
find_program(FENWIX_EXECUTABLE NAMES fenwix
    PATHS "${_fenwix_prefix}" "${_fenwix_prefix}/bin"
    NO_DEFAULT_PATH
    DOC "The fenwix program of the Fenwix package")
if(NOT FENWIX_EXECUTABLE)
    set(Fenwix_FOUND FALSE)
    set(Fenwix_NOT_FOUND_MESSAGE
        "no fenwix program in ${_fenwix_prefix} or ${_fenwix_prefix}/bin, where the package that "
        "holds ${CMAKE_CURRENT_LIST_FILE} puts it")
    unset(_fenwix_prefix)
    return()
endif()
unset(_fenwix_prefix)

if(NOT TARGET Fenwix::fenwix)
    add_executable(Fenwix::fenwix IMPORTED)
    set_target_properties(Fenwix::fenwix PROPERTIES IMPORTED_LOCATION "${FENWIX_EXECUTABLE}")
endif()

function(fenwix_add_onefile)
    cmake_parse_arguments(PARSE_ARGV 0 arg "WINDOWED"
        "TARGET;APP_DIR;OUTPUT;MAIN;PRODUCT;COMPANY;VERSION;DESCRIPTION;COPYRIGHT;TEMPLATE;LEVEL"
        "ARGS;EXCLUDE;DEPENDS")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "fenwix_add_onefile: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
    endif()
    foreach(required TARGET APP_DIR)
        if(NOT arg_${required})
            message(FATAL_ERROR "fenwix_add_onefile: ${required} is required")
        endif()
    endforeach()
    if(NOT arg_OUTPUT)
        set(arg_OUTPUT "${arg_TARGET}.exe")
    endif()
    if(NOT arg_OUTPUT MATCHES "\\.[eE][xX][eE]$")
        message(FATAL_ERROR "fenwix_add_onefile: OUTPUT must end in .exe, not ${arg_OUTPUT}")
    endif()
    get_filename_component(app_dir "${arg_APP_DIR}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")

    set(command Fenwix::fenwix build "${app_dir}" -o "${output}")
    foreach(option MAIN PRODUCT COMPANY VERSION DESCRIPTION COPYRIGHT TEMPLATE LEVEL)
        if(DEFINED arg_${option})
            string(TOLOWER "${option}" name)
            list(APPEND command "--${name}" "${arg_${option}}")
        endif()
    endforeach()
    foreach(value IN LISTS arg_ARGS)
        list(APPEND command --arg "${value}")
    endforeach()
    foreach(pattern IN LISTS arg_EXCLUDE)
        list(APPEND command --exclude "${pattern}")
    endforeach()
    if(arg_WINDOWED)
        list(APPEND command --windowed)
    endif()

    add_custom_target("${arg_TARGET}" ALL
        COMMAND ${command}
        BYPRODUCTS "${output}"
        COMMENT "Packing ${app_dir} into ${output}"
        VERBATIM)
    if(arg_DEPENDS)
        add_dependencies("${arg_TARGET}" ${arg_DEPENDS})
    endif()
endfunction()
