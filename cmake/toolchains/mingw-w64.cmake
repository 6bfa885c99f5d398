# Cross build for Windows with Debian's MinGW-w64 compilers (posix thread model, for
# std::thread and std::mutex). KZ_WINDOWS_ARCH picks the target: i686 (32-bit, the default:
# it can load a 32-bit LAN library) or x86_64.
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64.cmake \
#         -DKZ_WINDOWS_ARCH=i686 -DKZ_GUI=OFF
#
# Programs are linked statically (no MinGW runtime DLLs beside them) and run under Wine
# when CMake or CTest runs them on this machine.
set(CMAKE_SYSTEM_NAME Windows)
set(KZ_WINDOWS_ARCH "i686" CACHE STRING "Windows target: i686 or x86_64")
set_property(CACHE KZ_WINDOWS_ARCH PROPERTY STRINGS i686 x86_64)
if(KZ_WINDOWS_ARCH STREQUAL "i686")
    set(CMAKE_SYSTEM_PROCESSOR x86)
elseif(KZ_WINDOWS_ARCH STREQUAL "x86_64")
    set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
    message(FATAL_ERROR "KZ_WINDOWS_ARCH must be i686 or x86_64")
endif()
# Try-compiles see the same target.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KZ_WINDOWS_ARCH)

set(kz_triple ${KZ_WINDOWS_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${kz_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kz_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${kz_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${kz_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and DLL carries its C and C++ runtime and the thread library inside.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

find_program(KZ_WINE wine)
if(KZ_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KZ_WINE})
endif()
