# Runs on the packages CPack made. Its -dbgsym packages come out with the
# staging directory's absolute paths in md5sums and without the copyright and
# changelog every package needs; each is rebuilt with its md5sums fixed and
# its documentation folder pointing at the package it holds the symbols of
# (which it depends on), as debhelper makes them.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(ddeb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT ddeb MATCHES "/([^/_]+)-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(package ${CMAKE_MATCH_1})
  set(tree "${ddeb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND ${DPKG_DEB} -R "${ddeb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/usr/*")
  set(sums "")
  foreach(f IN LISTS files)
    file(MD5 "${tree}/${f}" md5)
    string(APPEND sums "${md5}  ${f}\n")
  endforeach()
  file(WRITE "${tree}/DEBIAN/md5sums" "${sums}")
  file(MAKE_DIRECTORY "${tree}/usr/share/doc")
  file(CREATE_LINK ${package} "${tree}/usr/share/doc/${package}-dbgsym" SYMBOLIC)
  file(REMOVE "${ddeb}")
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -b "${tree}" "${ddeb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()

# The runtime library packages are Multi-Arch: same, which CPack cannot say:
# each is rebuilt with the field after its Architecture.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "/([^/_]+)_[^/]*\\.deb$")
    continue()
  endif()
  # (IN_LIST needs a policy that CPack's scripts do not set.)
  list(FIND CPACK_TAGCLIENT_MULTIARCH_PACKAGES "${CMAKE_MATCH_1}" index)
  if(index LESS 0)
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND ${DPKG_DEB} -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${tree}/DEBIAN/control" control)
  string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)" "\\1\\2Multi-Arch: same\n" control "${control}")
  file(WRITE "${tree}/DEBIAN/control" "${control}")
  file(REMOVE "${deb}")
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -b "${tree}" "${deb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
