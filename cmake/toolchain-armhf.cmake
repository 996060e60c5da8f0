# The board's build: 32-bit ARM (armhf) with Debian's cross compiler and the armhf libraries of
# multiarch (scripts/deps_armhf.sh installs both). CTest runs what it builds under qemu-arm.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ARMHF_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ARMHF_TRIPLET})

# Libraries, CMake packages and pkg-config files come from the armhf multiarch directory
# (/usr/lib/arm-linux-gnueabihf, searched through the library architecture), never from the
# host's; programs (python3, sipp) are the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ARMHF_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The programs run on the armhf loader and libc of multiarch (/lib/ld-linux-armhf.so.3 and
# /usr/lib/arm-linux-gnueabihf, libc6:armhf), the same release as every armhf library they
# load. Not with "-L /usr/arm-linux-gnueabihf": that prefix holds the cross toolchain's own
# libc, which Debian may ship at another point release than libc6:armhf, and a loader of one
# release with the libc of another crashes at the first thread.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
