# Cross build for 32-bit ARM (armhf) with Debian's own cross toolchain and multiarch libraries
# (scripts/install-deps --cross armhf). Tests run under qemu-user: ctest puts the emulator in front
# of every test command, and the tests that start the service put it in front of the service.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KORVA_TRIPLET arm-linux-gnueabihf)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
