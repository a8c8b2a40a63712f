# Hardening of Release and MinSizeRel builds (and so of the package and the cross builds) as Debian
# builds its packages: dpkg-buildflags with hardening=+all (_FORTIFY_SOURCE=2, the strong stack
# protector, format checks, PIE, full RELRO with immediate binding), and the stack clash
# protection that later dpkg versions add. The service parses whatever any local process sends it.
# (Not the branch protection of later versions, -fcf-protection: Debian 12's C library start files
# are not marked for it, so the linker drops the marking of every program, Debian's own included.)
#
# Flags a compiler applies by itself, or that the command line or a toolchain file (an SDK's) sets,
# are left as they are: each kind is added only where none of it is given. Debug builds, the
# sanitizer and fuzz runs among them, are left alone (_FORTIFY_SOURCE needs optimisation).
option(KORVA_HARDENING "Build Release and MinSizeRel with Debian's hardening flags" ON)
if(NOT KORVA_HARDENING)
  return()
endif()

include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckPIESupported)

set(korva_release $<OR:$<CONFIG:Release>,$<CONFIG:MinSizeRel>>)
set(korva_given_flags "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_RELEASE} ${CMAKE_CXX_FLAGS_MINSIZEREL}")
set(korva_given_link_flags "${CMAKE_EXE_LINKER_FLAGS} ${CMAKE_EXE_LINKER_FLAGS_RELEASE} ${CMAKE_EXE_LINKER_FLAGS_MINSIZEREL}"
    " ${CMAKE_SHARED_LINKER_FLAGS} ${CMAKE_SHARED_LINKER_FLAGS_RELEASE} ${CMAKE_SHARED_LINKER_FLAGS_MINSIZEREL}")

# A compiler that defines _FORTIFY_SOURCE itself when optimising (as some distributions' do) would
# warn that it is defined again.
set(CMAKE_REQUIRED_FLAGS -O2)
check_cxx_source_compiles("#ifdef _FORTIFY_SOURCE\n#error defined\n#endif\nint main() { return 0; }"
                          korva_fortify_not_predefined)
unset(CMAKE_REQUIRED_FLAGS)
if(korva_fortify_not_predefined AND NOT korva_given_flags MATCHES "_FORTIFY_SOURCE")
  add_compile_definitions($<${korva_release}:_FORTIFY_SOURCE=2>)
endif()

# flag: the flag to add; kind: a pattern of the given flags that decide the same thing.
function(korva_harden flag kind)
  string(MAKE_C_IDENTIFIER "korva_supports${flag}" supported)
  if(NOT korva_given_flags MATCHES "${kind}")
    check_cxx_compiler_flag(${flag} ${supported})
    if(${supported})
      add_compile_options($<${korva_release}:${flag}>)
    endif()
  endif()
endfunction()
korva_harden(-fstack-protector-strong "-f(no-)?stack-protector")
korva_harden(-fstack-clash-protection "-f(no-)?stack-clash-protection")
if(NOT korva_given_flags MATCHES "-W(no-)?format")
  add_compile_options($<${korva_release}:-Wformat> $<${korva_release}:-Werror=format-security>)
endif()

# Debian's compilers make position-independent executables by default; one that does not is asked
# to.
check_cxx_source_compiles("#ifndef __PIE__\n#error not PIE\n#endif\nint main() { return 0; }" korva_pie_by_default)
if(NOT korva_pie_by_default AND NOT korva_given_flags MATCHES "-f(no-)?(pie|PIE)")
  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()

if(NOT korva_given_link_flags MATCHES "relro")
  add_link_options($<${korva_release}:-Wl,-z,relro>)
endif()
if(NOT korva_given_link_flags MATCHES "-z,?[ ]*(now|lazy)")
  add_link_options($<${korva_release}:-Wl,-z,now>)
endif()
