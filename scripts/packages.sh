# The Debian packages the project builds, tests and runs with.
native_packages=(cmake g++ make libgtest-dev googletest libbenchmark-dev libsqlite3-dev strace
                 python3 sqlite3 man-db groff-base lintian bc parallel openssh-server openssh-client)
windows_packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
                  wine wine64 fonts-wine xvfb xauth unzip osslsigncode openssl nsis)
fuzz_packages=(clang libclang-rt-14-dev)
# The web page: Emscripten builds it, Debian's Chromium runs its tests
# (driven by playwright-core from npm, which nodejs brings).
web_packages=(emscripten chromium nodejs)
# The arm64 build: a cross compiler, qemu to run its programs, and Debian's
# arm64 libraries for them to run on and for dpkg-shlibdeps.
arm64_packages=(g++-aarch64-linux-gnu qemu-user-static libc6:arm64 libstdc++6:arm64 libgcc-s1:arm64
                libsqlite3-dev:arm64)
screenshot_packages=(imagemagick)
