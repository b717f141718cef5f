# Cross build for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu) against Debian's arm64 multiarch packages
# (libev-dev:arm64, libcjson-dev:arm64, libgtest-dev:arm64), which install
# their libraries under /usr/lib/aarch64-linux-gnu. scripts/setup-arm64.sh
# installs all of them.
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=packaging/toolchain-aarch64.cmake

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(RC_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${RC_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${RC_CROSS_TRIPLE}-g++)

# Multiarch: the target's libraries, CMake package files and arch-specific
# headers sit in the aarch64-linux-gnu subdirectories of /usr; the
# architecture-independent headers (ev.h, cjson/) are shared with the host.
# The cross C library lives in /usr/aarch64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${RC_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${RC_CROSS_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Never fall back to the host's own library directories.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# Target binaries (test discovery, tests) run under user-mode emulation.
# They load the arm64 C library that libev4:arm64 and libcjson1:arm64 pull
# in as libc6:arm64 (/lib/ld-linux-aarch64.so.1), hence "-L /". Not
# "-L /usr/aarch64-linux-gnu": that takes the cross package's dynamic loader,
# which then loads libc6:arm64's libc.so.6 through the shared ld.so.cache;
# when the two Debian revisions differ (2.36-8cross1 against 2.36-9+deb12u14
# here) every fork() in a test hangs.
find_program(RC_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${RC_QEMU_AARCH64} -L /)
