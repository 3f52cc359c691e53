# The library as an installed package, checked from outside the project:
#   1. installs the build into a fresh prefix (cmake --install) and compares the files
#      installed with the expected list (EXPECTED_FILES),
#   2. checks that only headers went to include/ and that every corelib include of an
#      installed header names an installed header,
#   3. configures the consumer project (consumer/) with that prefix as its only source of
#      corelib, builds it in its own configuration and runs its programs;
#   4. checks that README.md shows the consumer's main.cpp and typed-main.cpp as they are.
# cmake -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -DCONSUMER_DIR=<consumer/> -DREADME=<README.md>
#       -DEXPECTED_FILES=<installed-files.txt> -DBUILD_TYPE=<type> -DPLATFORM_SUFFIX=<posix|win>
#       -DOBJECT_SUFFIX=<.o|.obj> -DGENERATOR=<generator>
#       -DMAKE_PROGRAM=<tool> -DCXX_COMPILER=<compiler> [-DTOOLCHAIN_FILE=<file>]
#       [-DEXE_LINKER_FLAGS=<flags>] [-DEMULATOR=<program>] [-DEXE_SUFFIX=<.exe>] -P package-test.cmake
cmake_minimum_required(VERSION 3.25)

foreach(required BUILD_DIR WORK_DIR CONSUMER_DIR README EXPECTED_FILES BUILD_TYPE PLATFORM_SUFFIX OBJECT_SUFFIX
        GENERATOR MAKE_PROGRAM CXX_COMPILER)
    if(NOT ${required})
        message(FATAL_ERROR "package-test.cmake: ${required} is not set")
    endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
set(consumer_build ${WORK_DIR}/consumer-build)
file(REMOVE_RECURSE ${WORK_DIR})

# Runs a command; fails the test with its output when it fails. Leaves the output in
# step_output.
function(run_step name)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${name} failed (${result}):\n${output}")
    endif()
    set(step_output "${output}" PARENT_SCOPE)
endfunction()

# 1. Install.
run_step("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# The installed files against the expected list: nothing missing, nothing more (a private
# header that slipped in, a stray build file).
file(GLOB_RECURSE installed_files RELATIVE ${prefix} ${prefix}/*)
file(STRINGS ${EXPECTED_FILES} expected_lines REGEX "^[^#]")
string(TOLOWER "${BUILD_TYPE}" build_type_lower)
set(expected_files "")
foreach(line IN LISTS expected_lines)
    string(REPLACE "<config>" "${build_type_lower}" line "${line}")
    string(REPLACE "<Config>" "${BUILD_TYPE}" line "${line}")
    string(REPLACE "<platform>" "${PLATFORM_SUFFIX}" line "${line}")
    string(REPLACE "<obj>" "${OBJECT_SUFFIX}" line "${line}")
    list(APPEND expected_files "${line}")
endforeach()
set(unexpected ${installed_files})
list(REMOVE_ITEM unexpected ${expected_files})
set(missing ${expected_files})
list(REMOVE_ITEM missing ${installed_files})
if(unexpected OR missing)
    list(JOIN unexpected "\n  " unexpected_text)
    list(JOIN missing "\n  " missing_text)
    message(FATAL_ERROR "The installed files differ from ${EXPECTED_FILES}:\n"
        "installed but not listed:\n  ${unexpected_text}\nlisted but not installed:\n  ${missing_text}")
endif()
list(LENGTH installed_files num_installed)
message(STATUS "${num_installed} files installed, as listed")

# 2. The installed headers: nothing but headers, and none that includes a header left behind.
file(GLOB_RECURSE installed RELATIVE ${prefix}/include ${prefix}/include/*)
if(NOT installed)
    message(FATAL_ERROR "nothing was installed under ${prefix}/include")
endif()
set(problems "")
set(num_includes 0)
foreach(file IN LISTS installed)
    if(NOT file MATCHES "^corelib/.*\\.h$")
        list(APPEND problems "include/${file} is not a header under include/corelib/")
        continue()
    endif()
    file(STRINGS ${prefix}/include/${file} include_lines REGEX "^[ \t]*#[ \t]*include[ \t]*(\"|<corelib/)")
    foreach(line IN LISTS include_lines)
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]+)[\">].*$" "\\1" included "${line}")
        math(EXPR num_includes "${num_includes} + 1")
        if(NOT EXISTS ${prefix}/include/${included})
            list(APPEND problems "include/${file} includes ${included}, which was not installed")
        endif()
    endforeach()
endforeach()
if(problems)
    list(JOIN problems "\n  " text)
    message(FATAL_ERROR "The installed headers are incomplete:\n  ${text}")
endif()
list(LENGTH installed num_headers)
message(STATUS "${num_headers} headers installed, their ${num_includes} project includes all installed")

# 3. The consumer, against the prefix only (no package registry, no project folders).
set(configure_args -S ${CONSUMER_DIR} -B ${consumer_build} -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
if(TOOLCHAIN_FILE)
    # A cross toolchain searches packages under its target root only; the staging prefix
    # is searched as well.
    list(APPEND configure_args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE} -DCMAKE_STAGING_PREFIX=${prefix})
endif()
if(EXE_LINKER_FLAGS)
    list(APPEND configure_args "-DCMAKE_EXE_LINKER_FLAGS=${EXE_LINKER_FLAGS}")
endif()
run_step("configuring the consumer" ${CMAKE_COMMAND} ${configure_args})
file(STRINGS ${consumer_build}/CMakeCache.txt found_at REGEX "^corelib_DIR:")
if(NOT found_at MATCHES "=${prefix}/")
    message(FATAL_ERROR "The consumer found corelib elsewhere than in ${prefix}: ${found_at}")
endif()
run_step("building the consumer" ${CMAKE_COMMAND} --build ${consumer_build})

# Each program with the line it must print.
set(programs
    "job-host|^8 SumJob jobs added up to 36\n"
    "typed-host|^10 frames: ends 4092, 10000 collisions, 5000 thoughts, 10 sounds, kept 42
"
    "timeline-host|timeline written to timeline-host.html: 32 steps of 16 chunks, [1-9][0-9]* job slices
"
    "new-operators-host|^operator new took its memory from the current allocator
"
    "memory-host|
two threads left 2 blocks in Game
")
foreach(entry IN LISTS programs)
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 program)
    list(GET parts 1 expected)
    run_step(${program} ${EMULATOR} ${consumer_build}/${program}${EXE_SUFFIX})
    string(REPLACE "\r" "" printed "${step_output}")
    if(NOT printed MATCHES "${expected}")
        message(FATAL_ERROR "${program} printed:\n${step_output}\nexpected a line matching: ${expected}")
    endif()
    message(STATUS "${program}: ${printed}")
endforeach()

# 4. The examples in README.md: the hosting example, the typed host and the memory host.
file(READ ${README} readme)
foreach(source main.cpp typed-main.cpp memory-main.cpp)
    file(READ ${CONSUMER_DIR}/${source} example)
    string(FIND "${readme}" "```cpp\n${example}```" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "README.md does not show ${CONSUMER_DIR}/${source} as it is (a cpp block holding the whole file)")
    endif()
endforeach()
