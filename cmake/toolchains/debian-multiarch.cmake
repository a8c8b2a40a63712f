# The part of a Debian cross toolchain file that is the same for every target: KORVA_TRIPLET
# names the GNU triplet (arm-linux-gnueabihf, aarch64-linux-gnu). Compilers and binutils are the
# triplet-prefixed ones from crossbuild-essential-<arch>; libraries and headers come from the
# target's multiarch folders only, never from the host's; header-only and architecture-independent
# packages (nlohmann_json's CMake files in /usr/share) are found under "/".
set(CMAKE_C_COMPILER ${KORVA_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KORVA_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KORVA_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${KORVA_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KORVA_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# With -DKORVA_CROSS_SYSROOT=ON (`make cross CROSS_SYSROOT=1`), the target's libraries come from
# the sysroot that `scripts/install-deps --cross-sysroot ARCH` unpacks from downloaded packages,
# for when they cannot be installed for the target's architecture. Where the host has no C library
# of the target's either, the emulator runs programs with the cross toolchain's; where it has one,
# with that one only (mixing the two crashes).
if(KORVA_CROSS_SYSROOT)
  list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVA_CROSS_SYSROOT)
  list(PREPEND CMAKE_FIND_ROOT_PATH /usr/local/lib/korva-cross/${KORVA_TRIPLET})
  if(CMAKE_CROSSCOMPILING_EMULATOR AND NOT EXISTS /usr/lib/${KORVA_TRIPLET}/libc.so.6)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -L /usr/${KORVA_TRIPLET})
  endif()
endif()
