# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the -posix
# compilers: their C++ runtime has std::thread and std::mutex, which
# log4cxx and POCO need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOLVANE_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOLVANE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOLVANE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TOLVANE_MINGW}-windres)
set(CMAKE_MC_COMPILER ${TOLVANE_MINGW}-windmc)

# Libraries, headers and CMake packages come from the MinGW sysroot and the
# prefix the Windows libraries were installed to (CMAKE_PREFIX_PATH), never
# from the build machine; programs (the compilers, sh) do come from it.
set(CMAKE_FIND_ROOT_PATH /usr/${TOLVANE_MINGW} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
