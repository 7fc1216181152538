# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CALLTRAIL_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix flavour has std::thread and std::mutex; the win32 one does not.
find_program(CMAKE_CXX_COMPILER NAMES ${CALLTRAIL_MINGW_TRIPLE}-g++-posix ${CALLTRAIL_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${CALLTRAIL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CALLTRAIL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Strings made in a library are freed by its caller, so both must use the one
# C++ runtime: libstdc++ and libgcc as DLLs, never linked in statically.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-shared-libgcc")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-shared-libgcc")
