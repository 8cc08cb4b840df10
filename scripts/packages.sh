# The Debian packages the project builds, tests and runs with.
native_packages=(cmake g++ make libgtest-dev googletest libbenchmark-dev strace python3
                 man-db groff-base lintian bc parallel)
windows_packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
                  wine wine64 fonts-wine xvfb xauth unzip)
fuzz_packages=(clang libclang-rt-14-dev)
screenshot_packages=(imagemagick)
