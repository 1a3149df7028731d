# Cross build for the station's 64-bit Arm SoC from an x86-64 Debian host with
# multiarch: the :arm64 development packages live under /usr/lib/aarch64-linux-gnu
# beside the host's own, so no sysroot is needed.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Arm libraries only: the multiarch directory is searched because of
# CMAKE_LIBRARY_ARCHITECTURE; the host's x86-64 directory never is.
# Programs (protoc) come from the host: its protoc is the same version as the
# arm64 libprotobuf.
set(Protobuf_PROTOC_EXECUTABLE /usr/bin/protoc CACHE FILEPATH "protoc of the build host")
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# Tests (and gtest's test discovery) run under user-mode emulation. No -L prefix:
# the dynamic loader then resolves from /lib/aarch64-linux-gnu, the same C library
# the binaries were linked against; mixing in the cross toolchain's copy under
# /usr/aarch64-linux-gnu makes new threads hang.
find_program(STATION_QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${STATION_QEMU_AARCH64})
