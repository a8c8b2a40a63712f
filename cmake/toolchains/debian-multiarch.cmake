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
