# The Debian package of the service (`make package`, or `cpack -G DEB` in a build folder):
# korva-server_<version>_<architecture>.deb with everything `cmake --install` installs under /usr
# (the init script under /etc), stripped, and its dependencies worked out by dpkg-shlibdeps from
# the target's libraries (libc6, libstdc++6, ...). libwsserver.so.0 belongs to the
# device's firmware, which no Debian package provides: it adds no dependency, and with
# KORVA_INSTALL_SIMULATOR the simulated one is in the package itself.
#
# Its maintainer scripts (deploy/debian/) look after the running service: an install or upgrade
# reloads systemd and restarts the service if it was running (without systemd: registers the init
# script and restarts the service through it), a removal stops it first. The debug information
# stripped from its programs goes into a package of its own, korva-server-dbgsym_<version>_<arch>.ddeb
# (files under /usr/lib/debug/.build-id/, found by gdb from the build id of a field crash's binary
# or core).

# The Debian name of the target's architecture; a cross build's differs from the build machine's.
set(korva_debian_architectures
  "x86_64-linux-gnu=amd64" "i386-linux-gnu=i386" "arm-linux-gnueabihf=armhf" "arm-linux-gnueabi=armel"
  "aarch64-linux-gnu=arm64" "riscv64-linux-gnu=riscv64")
set(korva_debian_architecture "")
foreach(pair ${korva_debian_architectures})
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 triplet)
  if(triplet STREQUAL CMAKE_LIBRARY_ARCHITECTURE)
    list(GET pair 1 korva_debian_architecture)
  endif()
endforeach()
if(NOT korva_debian_architecture AND NOT CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE korva_debian_architecture
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(KORVA_DEBIAN_ARCHITECTURE "${korva_debian_architecture}" CACHE STRING
    "Debian architecture of the package (amd64, armhf, arm64, ...)")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korva-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(KORVA_PACKAGE_MAINTAINER "korva-server developers <korva-server@example.invalid>" CACHE STRING
    "The package's Maintainer field: name <address>")
set(CPACK_PACKAGE_CONTACT "${KORVA_PACKAGE_MAINTAINER}")
# The changelog (deploy/debian/changelog.in, newest entry first), signed by the Maintainer; its
# newest entry must be this version.
file(STRINGS ${PROJECT_SOURCE_DIR}/deploy/debian/changelog.in korva_changelog_head LIMIT_COUNT 1)
if(NOT korva_changelog_head MATCHES "^korva-server \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "deploy/debian/changelog.in: the newest entry is not version ${PROJECT_VERSION}: ${korva_changelog_head}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/deploy/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
korva_gzip(${PROJECT_BINARY_DIR}/debian/changelog)
install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KORVA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "WebSocket service of the device's web interface")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "A small resident service that gives the device's web user interface a live,\ntwo-way channel to the device's software (libwsserver.so.0) on\nws://127.0.0.1:8888/api, behind the device's front-end web server. Comes\nwith a systemd unit, an init script and the reference nginx configuration.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KORVA_DEBIAN_ARCHITECTURE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# CPack strips the programs itself when it moves their debug information into the dbgsym package
# (CPACK_STRIP_FILES would strip them first and leave nothing to move). Cross builds use the
# target's binutils.
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/fix-dbgsym.cmake)
set(CPACK_OBJCOPY_EXECUTABLE "${CMAKE_OBJCOPY}")
set(CPACK_READELF_EXECUTABLE "${CMAKE_READELF}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps must find libwsserver.so.0 to read the binary's needs, though no package of the
# target provides it.
if(KORVA_DEVICE_LIBRARY)
  get_filename_component(korva_device_library_dir "${KORVA_DEVICE_LIBRARY}" DIRECTORY)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${korva_device_library_dir}")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/device/simulator")
endif()
# The init script is configuration the device's owner may change: dpkg keeps their version.
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "/etc/init.d/korva-server\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles
    ${PROJECT_SOURCE_DIR}/deploy/debian/postinst ${PROJECT_SOURCE_DIR}/deploy/debian/prerm
    ${PROJECT_SOURCE_DIR}/deploy/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The installed programs carry debug information in Release and MinSizeRel builds too (it changes
# no generated code): the package moves it into the dbgsym package, and `cmake --install --strip`
# leaves it in the build folder's copy. Applied to every library of ours they are linked from.
function(korva_add_debug_info target)
  get_target_property(type ${target} TYPE)
  get_target_property(imported ${target} IMPORTED)
  get_property(done TARGET ${target} PROPERTY korva_debug_info)
  if(imported OR done)
    return()
  endif()
  set_property(TARGET ${target} PROPERTY korva_debug_info ON)
  set(release $<OR:$<CONFIG:Release>,$<CONFIG:MinSizeRel>>)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    target_compile_options(${target} PRIVATE $<${release}:-g>)
    get_target_property(libraries ${target} LINK_LIBRARIES)
  else()
    set(libraries "")
  endif()
  if(type STREQUAL "EXECUTABLE" OR type STREQUAL "SHARED_LIBRARY")
    # Link-time optimisation (MinSizeRel) writes the code, and its debug information, at link time.
    target_link_options(${target} PRIVATE $<${release}:-g>)
  endif()
  get_target_property(interface_libraries ${target} INTERFACE_LINK_LIBRARIES)
  foreach(library IN LISTS libraries interface_libraries)
    if(TARGET "${library}")
      korva_add_debug_info(${library})
    endif()
  endforeach()
endfunction()
korva_add_debug_info(korva-server)
if(KORVA_INSTALL_SIMULATOR AND TARGET wsserver_objects)
  korva_add_debug_info(wsserver_objects)
  korva_add_debug_info(wsserver)
endif()
