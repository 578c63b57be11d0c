# Cross build for Windows x86-64 with MinGW-w64 (POSIX thread model); Wine runs what is built.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# ctest runs every test executable through Wine.
find_program(WINE_EXECUTABLE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})

# Where the MinGW runtime DLLs live; Wine finds them through WINEPATH and the
# install step copies them next to the binaries.
file(GLOB MINGW_GCC_RUNTIME_DIR LIST_DIRECTORIES true /usr/lib/gcc/${MINGW_TRIPLE}/*-posix)
list(GET MINGW_GCC_RUNTIME_DIR 0 MINGW_GCC_RUNTIME_DIR)
set(MINGW_RUNTIME_DIRS "${MINGW_GCC_RUNTIME_DIR};/usr/${MINGW_TRIPLE}/lib")
set(MINGW_RUNTIME_DLLS
    ${MINGW_GCC_RUNTIME_DIR}/libstdc++-6.dll
    ${MINGW_GCC_RUNTIME_DIR}/libgcc_s_seh-1.dll
    /usr/${MINGW_TRIPLE}/lib/libwinpthread-1.dll)
