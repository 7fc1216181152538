# Cross build for 64-bit Arm Linux with Debian's cross compiler, its programs
# run under qemu's user-mode emulation:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Programs link against the cross compiler's root (/usr/aarch64-linux-gnu)
# and Debian's multiarch packages (`dpkg --add-architecture arm64`, then e.g.
# libgtest-dev:arm64), and run on the multiarch ones.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CALLTRAIL_CROSS_TRIPLE aarch64-linux-gnu)
find_program(CMAKE_CXX_COMPILER NAMES ${CALLTRAIL_CROSS_TRIPLE}-g++ ${CALLTRAIL_CROSS_TRIPLE}-g++-12 REQUIRED)
set(CMAKE_LIBRARY_ARCHITECTURE ${CALLTRAIL_CROSS_TRIPLE})

# Headers and libraries from the cross root and the multiarch directories
# (/usr/include, /usr/lib/aarch64-linux-gnu); programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${CALLTRAIL_CROSS_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must answer with the arm64 packages' files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CALLTRAIL_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs, test discovery and add_test run under qemu. Their loader and
# libraries are the multiarch ones (libc6:arm64, libstdc++6:arm64 and the
# rest under /lib/aarch64-linux-gnu): with -L /usr/aarch64-linux-gnu the
# cross root's loader would meet the multiarch C library, another build of
# glibc, and threads would not start.
find_program(CALLTRAIL_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(CALLTRAIL_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CALLTRAIL_QEMU_AARCH64})
endif()
