# The fenwix tool's sources, one list for both hosts: the Linux fenwix-tool
# and the Windows fenwix.exe are the same program.
# The rooms, from the bottom up, each using only those before it: host/
# (the tool's error type, text and its few system calls), image/ (reading
# and writing Windows images and their resources), pack/ (folder to block),
# inspect/ (list, verify, extract), cli/ (the command line, `fenwix build`
# with the stub it carries, and the progress line).
set(FENWIX_TOOL_SOURCES
    "${CMAKE_CURRENT_LIST_DIR}/host/text.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/host/host_platform.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/pack/packer.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/image/pe_image.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/image/pe_resources.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/cli/build_command.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/inspect/contents.cpp"
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
