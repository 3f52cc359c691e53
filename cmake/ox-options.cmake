# Compiler settings shared by every target of the project.
add_library(ox_options INTERFACE)
target_include_directories(ox_options INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(ox_options INTERFACE
    $<$<COMPILE_LANGUAGE:CXX,C>:-Wall -Wextra -Wundef -Wno-unused-parameter>
    # Source paths in assertion reports are relative to the project root.
    -fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=)

find_package(Threads REQUIRED)
target_link_libraries(ox_options INTERFACE Threads::Threads)

if(WIN32)
    target_link_options(ox_options INTERFACE -static -static-libgcc -static-libstdc++)
    target_compile_definitions(ox_options INTERFACE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
endif()

if(OX_SANITIZE)
    add_compile_options(-fsanitize=${OX_SANITIZE} -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${OX_SANITIZE})
    if(OX_SANITIZE MATCHES "undefined")
        add_compile_options(-fno-sanitize-recover=undefined)
    endif()
endif()
