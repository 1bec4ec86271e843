# The fenwix tool's sources, one list for both hosts: the Linux fenwix-tool
# and the Windows fenwix.exe are the same program.
set(FENWIX_TOOL_SOURCES
    "${CMAKE_CURRENT_LIST_DIR}/packer.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/build_command.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/host_platform.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/pe_image.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/pe_resources.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/progress.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/contents.cpp"
    "${CMAKE_CURRENT_LIST_DIR}/embedded_files.S")
set(FENWIX_TOOL_MAIN "${CMAKE_CURRENT_LIST_DIR}/fenwix_tool.cpp")

# The tool carries the launcher stub, its default icon and its manifest
# inside itself, so it runs from wherever it is put.
function(fenwix_embed_files stub_file icon_file)
    set(source "${CMAKE_SOURCE_DIR}/tools/embedded_files.S")
    set_property(SOURCE "${source}" PROPERTY COMPILE_DEFINITIONS
        FENWIX_STUB_FILE="${stub_file}"
        FENWIX_ICON_FILE="${icon_file}"
        FENWIX_MANIFEST_FILE="${CMAKE_SOURCE_DIR}/resources/launcher.manifest")
    set_property(SOURCE "${source}" PROPERTY OBJECT_DEPENDS
        "${stub_file}" "${icon_file}" "${CMAKE_SOURCE_DIR}/resources/launcher.manifest")
endfunction()
