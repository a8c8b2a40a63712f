# Run by CPack once it has made the packages (CPACK_POST_BUILD_SCRIPTS): puts right the debug-symbol
# package. CPack writes its md5sums with the build folder's absolute paths, which name no file of
# the package, and gives it no documentation folder. It gets the md5sums of its files, and the
# folder Debian's own debug-symbol packages have: /usr/share/doc/korva-server-dbgsym, a link to the
# documentation (copyright, changelog) of the package it belongs to and depends on.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(tree "${package}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${package}: ${result}")
  endif()

  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/usr/*")
  list(SORT files)
  set(md5sums "")
  foreach(file IN LISTS files)
    if(NOT IS_SYMLINK "${tree}/${file}")
      file(MD5 "${tree}/${file}" md5)
      string(APPEND md5sums "${md5}  ${file}\n")
    endif()
  endforeach()
  file(WRITE "${tree}/DEBIAN/md5sums" "${md5sums}")

  file(MAKE_DIRECTORY "${tree}/usr/share/doc")
  file(CREATE_LINK korva-server "${tree}/usr/share/doc/korva-server-dbgsym" SYMBOLIC)

  execute_process(COMMAND dpkg-deb --root-owner-group -b "${tree}" "${package}"
                  OUTPUT_QUIET RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -b ${tree}: ${result}")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
