# Cross build for 64-bit ARM (arm64) with Debian's own cross toolchain and multiarch libraries
# (scripts/install-deps --cross arm64). Tests run under qemu-user, as for armhf.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KORVA_TRIPLET aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
