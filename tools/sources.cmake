# The fenwix tool's sources, one list for both hosts: the Linux fenwix-tool
# and the Windows fenwix.exe are the same program.
# The rooms, from the bottom up, each using only those before it: host/
# (the tool's error type, text and its few system calls), image/ (reading
# and writing Windows images and their resources), pack/ (folder to block,
# and a block read back), inspect/ (list, verify, extract, sbom), cli/ (the
# command line and its options, their defaults, the checks before a build,
# `fenwix build` with the stub it carries, and the progress line).
# The system calls have one body for each kind of host.
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    set(FENWIX_HOST_KIND windows)
else()
    set(FENWIX_HOST_KIND posix)
endif()
set(FENWIX_TOOL_SOURCES
    "${CMAKE_CURRENT_LIST_DIR}/host/text.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/host/host_platform.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/host/host_platform_${FENWIX_HOST_KIND}.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/host/sha256.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/image/pe_image.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/image/pe_resources.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/image/version_reader.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/pack/block_file.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/pack/exclude.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/pack/folder_listing.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/pack/frame_compress.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/pack/packer.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/inspect/launcher_file.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/inspect/contents.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/inspect/extract.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/inspect/sbom.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/cli/build_parse.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/cli/build_defaults.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/cli/build_checks.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/cli/build_command.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/cli/progress.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/cli/embedded_files.S")
set(FENWIX_TOOL_MAIN "${CMAKE_CURRENT_LIST_DIR}/cli/fenwix_tool.cpp")

# The tool carries the launcher stub, its default icon and its manifest
# inside itself, so it runs from wherever it is put.
function(fenwix_embed_files stub_file icon_file)
    set(source "${CMAKE_SOURCE_DIR}/tools/cli/embedded_files.S")
    set_property(SOURCE "${source}" PROPERTY COMPILE_DEFINITIONS
        FENWIX_STUB_FILE="${stub_file}"
        FENWIX_ICON_FILE="${icon_file}"
        FENWIX_MANIFEST_FILE="${CMAKE_SOURCE_DIR}/resources/launcher.manifest")
    set_property(SOURCE "${source}" PROPERTY OBJECT_DEPENDS
        "${stub_file}" "${icon_file}" "${CMAKE_SOURCE_DIR}/resources/launcher.manifest")
endfunction()

# The help the program prints and its man page fenwix(1) are made from one
# text, tools/cli/help.txt, with the defaults of the names from the table the
# program applies (tools/cli/build_defaults.cpp). The program includes help_text.inc from the
# build's generated/ folder.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
function(fenwix_help_text target)
    set(dir "${CMAKE_BINARY_DIR}/generated")
    set(help "${CMAKE_SOURCE_DIR}/tools/cli/help.txt")
    set(defaults "${CMAKE_SOURCE_DIR}/tools/cli/build_defaults.cpp")
    set(script "${CMAKE_SOURCE_DIR}/scripts/help_text.py")
    add_custom_command(OUTPUT "${dir}/help_text.inc"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
        COMMAND Python3::Interpreter "${script}" "${help}" "${defaults}" --include "${dir}/help_text.inc"
        DEPENDS "${help}" "${defaults}" "${script}")
    target_sources(${target} PRIVATE "${dir}/help_text.inc")
    target_include_directories(${target} PRIVATE "${dir}")
    target_compile_definitions(${target} PRIVATE FENWIX_TOOL_VERSION="${PROJECT_VERSION}")
endfunction()

# The man page, for the Linux packages.
function(fenwix_man_page)
    set(help "${CMAKE_SOURCE_DIR}/tools/cli/help.txt")
    set(defaults "${CMAKE_SOURCE_DIR}/tools/cli/build_defaults.cpp")
    set(script "${CMAKE_SOURCE_DIR}/scripts/help_text.py")
    add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/fenwix.1"
        COMMAND Python3::Interpreter "${script}" "${help}" "${defaults}" --man "${CMAKE_BINARY_DIR}/fenwix.1"
                --version "${PROJECT_VERSION}"
        DEPENDS "${help}" "${defaults}" "${script}")
    add_custom_target(fenwix_man_page ALL DEPENDS "${CMAKE_BINARY_DIR}/fenwix.1")
endfunction()
