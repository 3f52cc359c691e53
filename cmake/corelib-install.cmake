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

# Every header, in its folder; sources stay behind, and so do the other platform's headers.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/corelib/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/corelib
    FILES_MATCHING PATTERN "*.h"
    PATTERN "*-${OX_OTHER_PLATFORM_SUFFIX}.h" EXCLUDE)

install(EXPORT corelibTargets NAMESPACE corelib:: DESTINATION ${OX_CORELIB_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/corelibConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/corelibConfig.cmake
    INSTALL_DESTINATION ${OX_CORELIB_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/corelibConfigVersion.cmake
    VERSION ${OX_CORELIB_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/corelibConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/corelibConfigVersion.cmake
    DESTINATION ${OX_CORELIB_CMAKE_DIR})
