# Cross build for Windows x86-64 with clang and lld against the MinGW-w64 headers and
# libraries. Debian's clang does not find MinGW's libstdc++ by itself: its headers and
# libraries come from the MinGW GCC (POSIX thread model) installed beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET   ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)

file(GLOB _ferrydock_gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${MINGW_TRIPLE}/*-posix)
list(GET _ferrydock_gcc_dirs 0 _ferrydock_gcc)
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${_ferrydock_gcc}/include/c++ \
-isystem ${_ferrydock_gcc}/include/c++/${MINGW_TRIPLE} -isystem ${_ferrydock_gcc}/include/c++/backward")
# GCC's driver adds the thread library that libstdc++ and libgcc_eh call; clang's does not.
# It goes with the linker flags: the platform's own standard-library list replaces a
# variable set here, and lld takes archives in any order.
foreach(_kind EXE SHARED MODULE)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -L${_ferrydock_gcc} -lpthread")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

find_program(WINE_EXECUTABLE NAMES wine wine64)
if(WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
endif()
