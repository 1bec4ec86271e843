# The CMake package at work: configures and builds tests/cmake_package with
# CMAKE_PREFIX_PATH at PREFIX (the host build's folder, or an unpacked
# tarball's), then reads the launcher back with `fenwix list`: it exists,
# carries the folder's files but the excluded one, and has the names and
# launch line the project gave.
#   cmake -DPREFIX=... -DPROBE=probe_child.exe -DWORK=... [-DGENERATOR=Ninja] -P run.cmake
foreach(v PREFIX PROBE WORK)
    if(NOT DEFINED ${v})
        message(FATAL_ERROR "give -D${v}=...")
    endif()
endforeach()
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
    RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "configuring the project failed")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK}/build" RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "building the project failed")
endif()

set(launcher "${WORK}/build/out/Hello.exe")
if(NOT EXISTS "${launcher}")
    message(FATAL_ERROR "the project made no ${launcher}")
endif()
# The program the module ran is the one below PREFIX.
file(STRINGS "${WORK}/build/CMakeCache.txt" found REGEX "^FENWIX_EXECUTABLE:")
string(REGEX REPLACE "^[^=]*=" "" fenwix "${found}")
cmake_path(IS_PREFIX PREFIX "${fenwix}" NORMALIZE below_prefix)
if(NOT below_prefix)
    message(FATAL_ERROR "the module found ${fenwix}, not the program below ${PREFIX}")
endif()
execute_process(COMMAND "${fenwix}" list "${launcher}" OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "fenwix list ${launcher} failed")
endif()
foreach(expected "product   Hello From CMake" "company   Package Tests" "version   1.2.3.4"
                 "arguments --from-cmake \"two words\"" "  probe.exe" "  data.txt")
    string(FIND "${listing}" "${expected}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "fenwix list shows no '${expected}':\n${listing}")
    endif()
endforeach()
string(FIND "${listing}" "probe.pdb" at)
if(NOT at EQUAL -1)
    message(FATAL_ERROR "the excluded probe.pdb was packed:\n${listing}")
endif()
message(STATUS "the CMake package made ${launcher} with the folder's files")
file(REMOVE_RECURSE "${WORK}")
