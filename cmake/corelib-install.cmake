# Installs corelib as a CMake package: `cmake --install <build> --prefix <dir>` puts the
# static library, its headers (as include/corelib/<folder>/*.h) and the package files
# under <dir>; a host then finds it with find_package(corelib) and links corelib::corelib,
# or, to route the global operator new/delete through the memory system as well,
# corelib::memory_new. Included by corelib/CMakeLists.txt once both targets exist.
#
# What a consumer inherits: the include directory, C++20 (the headers need it), the
# threads library, winmm on Windows, and, from a sanitizer build, the -fsanitize= link
# option: the archive's instrumented code calls into the sanitizer runtime, which only
# that option links. The consumer compiles its own code as it likes. Our warning options,
# source-path mapping and, on Windows, the static runtime link of our test programs stay
# inside this build (ox_options reaches our own targets only through BUILD_INTERFACE).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(OX_CORELIB_VERSION 1.0.0)
set(OX_CORELIB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/corelib)

target_compile_features(corelib PUBLIC cxx_std_20)
target_link_libraries(corelib PUBLIC Threads::Threads)
if(OX_SANITIZE)
    target_link_options(corelib INTERFACE $<INSTALL_INTERFACE:-fsanitize=${OX_SANITIZE}>)
endif()
set_target_properties(corelib_memory_new PROPERTIES EXPORT_NAME memory_new)

install(TARGETS corelib corelib_memory_new EXPORT corelibTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    OBJECTS DESTINATION ${CMAKE_INSTALL_LIBDIR}/corelib-objects
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The public headers, in their folders. Sources stay behind, and so do the private
# headers, which no public header includes: the job system's internal records and
# helpers, every platform half behind an interface (*-platform.h, *-posix.h, *-win.h),
# sanitizer and switch details, and internal tables. tests/package/installed-files.txt
# lists what is installed; the corelib-package test compares the two.
set(OX_CORELIB_PRIVATE_HEADER_PATTERNS
    "*-priv.h" "*-internal.h" "*-platform.h" "*-posix.h" "*-win.h"
    job-assert.h job-descriptor-table.h job-host-wake.h job-platform-error.h job-running-queries.h
    job-source-names.h
    cpu-pause.h fiber-overflow.h fiber-sanitizer.h fiber-switch.h float-control.h mutex-entry.h
    mutex-sanitizer.h platform-error.h thread-services.h word-wait.h
    memory-job-local.h crt-heap.h
    atomic-relaxed.h error-tables.h source-path.h static-init-order.h)
set(exclusions "")
foreach(pattern IN LISTS OX_CORELIB_PRIVATE_HEADER_PATTERNS)
    list(APPEND exclusions PATTERN "${pattern}" EXCLUDE)
endforeach()
# new-operators/ holds only private headers: left out whole, so no empty folder is installed.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/corelib/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/corelib
    FILES_MATCHING PATTERN "*.h" ${exclusions} PATTERN "new-operators" EXCLUDE)

# What an install needs built, beyond what links corelib: scripts that build only some
# targets (run-demo.sh) build this one too, so that cmake --install finds every file.
add_custom_target(corelib-package-files DEPENDS corelib corelib_memory_new)

install(EXPORT corelibTargets NAMESPACE corelib:: DESTINATION ${OX_CORELIB_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/corelibConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/corelibConfig.cmake
    INSTALL_DESTINATION ${OX_CORELIB_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/corelibConfigVersion.cmake
    VERSION ${OX_CORELIB_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/corelibConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/corelibConfigVersion.cmake
    DESTINATION ${OX_CORELIB_CMAKE_DIR})
