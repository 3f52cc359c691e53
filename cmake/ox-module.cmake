# ox_add_library(<target> FOLDERS <folders>...)
# Builds every source of the named folders (relative to the calling folder) that belongs
# to this platform into one static library. Sources are globbed so that adding a file
# needs no list edit; a folder without sources adds nothing. The project's compiler
# settings (ox_options) reach the targets of this build only, not an installed package.
function(ox_add_library target)
    cmake_parse_arguments(ARG "" "" "FOLDERS" ${ARGN})
    set(srcs "")
    foreach(folder IN LISTS ARG_FOLDERS)
        file(GLOB folder_srcs CONFIGURE_DEPENDS
            ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.S)
        list(APPEND srcs ${folder_srcs})
    endforeach()
    ox_filter_platform_sources(srcs ${srcs})
    add_library(${target} STATIC ${srcs})
    target_link_libraries(${target} PUBLIC $<BUILD_INTERFACE:ox_options>)
endfunction()

# ox_add_folder_tests(<folder> [LIBS <targets>...])
# One test executable per tests/<folder>/*-test.cpp file, named <folder>-<file>, linked
# with the test main, corelib and the named targets, each registered with CTest (under
# the cross-compiling emulator when there is one).
function(ox_add_folder_tests folder)
    cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*-test.cpp)
    ox_filter_platform_sources(tests ${tests})
    foreach(test_src IN LISTS tests)
        get_filename_component(stem "${test_src}" NAME_WE)
        string(REPLACE "/" "-" prefix "${folder}")
        set(exe "${prefix}-${stem}")
        add_executable(${exe} ${test_src})
        target_link_libraries(${exe} PRIVATE ox_test_main corelib ${ARG_LIBS})
        add_test(NAME ${exe} COMMAND ${exe})
        set_tests_properties(${exe} PROPERTIES TIMEOUT 600)
    endforeach()
endfunction()
