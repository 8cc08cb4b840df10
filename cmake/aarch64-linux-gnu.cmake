# Cross-compiling the core and qortool for 64-bit ARM Linux with Debian's
# g++-aarch64-linux-gnu; qemu runs the tests and the build steps that run
# qortool (this machine has no binfmt_misc to start arm64 programs by
# themselves). The programs run on Debian's arm64 libraries (multiarch:
# libc6:arm64, libstdc++6:arm64), which dpkg-shlibdeps needs too: with
# qemu's -L /usr/aarch64-linux-gnu, the cross toolchain's loader would meet
# the multiarch C library, and the first thread never starts.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Debian's multiarch arm64 libraries (libsqlite3-dev:arm64) are found in
# /usr/lib/aarch64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
