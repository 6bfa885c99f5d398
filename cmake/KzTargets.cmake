# kz_library(NAME DEPS...): a static library of every .cpp in the current folder (an
# interface library while the folder has headers only). Includes resolve from src/, so
# code writes #include "serial/Comm.h".
function(kz_library name)
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    # One file per OS backend: Foo_posix.cpp here, Foo_win32.cpp in a Windows build.
    # Foo_openssl.cpp uses OpenSSL, which a Windows build does without.
    if(WIN32)
        list(FILTER sources EXCLUDE REGEX "_(posix|openssl)\\.cpp$")
    else()
        list(FILTER sources EXCLUDE REGEX "_win32\\.cpp$")
    endif()
    if(sources)
        add_library(${name} STATIC ${sources})
        target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} PUBLIC ${ARGN})
    else()
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} INTERFACE ${ARGN})
    endif()
endfunction()
