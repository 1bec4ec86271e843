# The CMake package at work: configures and builds tests/cmake_package with
# CMAKE_PREFIX_PATH at PREFIX (the host build's folder, an unpacked tarball,
# the Debian package's /usr), then reads the launcher back with the fenwix
# the package found below PREFIX: the folder's files but the excluded one,
# the names and the launch line the project gave.
#   cmake -DPREFIX=... -DPROBE=probe_child.exe -DWORK=... [-DGENERATOR=Ninja] -P run.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/app")
file(COPY_FILE "${PROBE}" "${WORK}/app/probe.exe")
file(WRITE "${WORK}/app/data.txt" "packed by the CMake module\n")
file(WRITE "${WORK}/app/probe.pdb" "left out\n")
set(generator)
if(GENERATOR)
    set(generator -G "${GENERATOR}")
endif()
execute_process(
    COMMAND "${CMAKE_COMMAND}" ${generator} -S "${CMAKE_CURRENT_LIST_DIR}" -B "${WORK}/build"
            "-DCMAKE_PREFIX_PATH=${PREFIX}" "-DAPP_DIR=${WORK}/app"
    COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK}/build" COMMAND_ERROR_IS_FATAL ANY)

file(STRINGS "${WORK}/build/CMakeCache.txt" fenwix REGEX "^FENWIX_EXECUTABLE:")
string(REGEX REPLACE "^[^=]*=" "" fenwix "${fenwix}")
cmake_path(IS_PREFIX PREFIX "${fenwix}" NORMALIZE below_prefix)
if(NOT below_prefix)
    message(FATAL_ERROR "the package found ${fenwix}, not the fenwix below ${PREFIX}")
endif()
execute_process(COMMAND "${fenwix}" list "${WORK}/build/out/Hello.exe" OUTPUT_VARIABLE listing
                COMMAND_ERROR_IS_FATAL ANY)
foreach(expected "product   Hello From CMake" "company   Package Tests" "version   1.2.3.4"
                 "arguments --from-cmake \"two words\"" "  probe.exe\n" "  data.txt\n")
    string(FIND "${listing}" "${expected}" at)
    if(at EQUAL -1 OR listing MATCHES "probe\\.pdb")
        message(FATAL_ERROR "fenwix list shows no '${expected}' or the excluded file:\n${listing}")
    endif()
endforeach()
file(REMOVE_RECURSE "${WORK}")
