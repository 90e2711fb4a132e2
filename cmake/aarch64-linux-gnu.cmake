# Cross build for 64-bit ARM Linux with Debian's cross compiler (g++-aarch64-linux-gnu).
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# Target libraries come from Debian multiarch (dpkg --add-architecture arm64): hiredis, libc,
# libstdc++ for arm64 live in /usr/lib/aarch64-linux-gnu, the compiler's own runtime in
# /usr/aarch64-linux-gnu. scripts/install_deps.sh --cross installs all of it.
#
# Test programs run under qemu-user. The arm64 loader, libc and libstdc++ are all taken from the
# multiarch packages, so qemu-aarch64 needs no library prefix (-L): with -L /usr/aarch64-linux-gnu
# the loader would come from the cross toolchain's libc while libc.so.6 itself still comes from
# /lib/aarch64-linux-gnu, two different builds of glibc in one process. Without -L, programs
# started by ctest and programs that the tests exec (run by the kernel through binfmt_misc and
# the same qemu) see exactly the same libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Headers and libraries of the target: the cross toolchain's sysroot first, then the host's
# root, where find_library looks only in the multiarch directories (lib/aarch64-linux-gnu) and
# so never picks up an amd64 library. Programs (sh, pkg-config...) are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
