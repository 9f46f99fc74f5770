# Debian packages the way the archive splits them: one runtime package per
# soname, one development package, one package per program family, and a
# -dbgsym package beside each package with binaries.
#
# Every install() names one of the components below. A component becomes a
# package only when its program (TARGET) is part of the build, so the table
# can describe programs that other folders add.

set(TAGCLIENT_MAINTAINER "The tagclient authors <tagclient@example.org>")
set(TAGCLIENT_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set_property(GLOBAL PROPERTY tagclient_components "")
set(TAGCLIENT_SERVICE_SCRIPTS postinst prerm postrm)

# tagclient_component(NAME PACKAGE pkg SECTION s TARGET t SUMMARY line
#                     DESCRIPTION paragraph... [DEPENDS components...]
#                     [LIBRARY] [CONFFILES] [SERVICE]):
# one package. DESCRIPTION is the long description, one string per line;
# DEPENDS names components this one needs at the same version. LIBRARY adds
# the shlibs file and the ldconfig trigger. CONFFILES marks every file the
# package installs under /etc as a configuration file that upgrades keep.
# SERVICE adds the maintainer scripts in debian/PACKAGE/, which enable, start,
# restart and stop the package's systemd unit.
function(tagclient_component name)
  cmake_parse_arguments(C "LIBRARY;CONFFILES;SERVICE" "PACKAGE;SECTION;TARGET;SUMMARY" "DESCRIPTION;DEPENDS" ${ARGN})
  string(TOUPPER ${name} up)
  set(extra "")
  list(JOIN C_DESCRIPTION "\n" long)
  set(CPACK_DEBIAN_${up}_PACKAGE_NAME ${C_PACKAGE} PARENT_SCOPE)
  set(CPACK_DEBIAN_${up}_PACKAGE_SECTION ${C_SECTION} PARENT_SCOPE)
  set(CPACK_DEBIAN_${up}_DESCRIPTION "${C_SUMMARY}\n${long}" PARENT_SCOPE)
  set(CPACK_COMPONENT_${up}_DEPENDS ${C_DEPENDS} PARENT_SCOPE)
  set_property(GLOBAL APPEND PROPERTY tagclient_components ${name})
  if(C_LIBRARY)
    # One runtime package per architecture may be installed side by side.
    set_property(GLOBAL APPEND PROPERTY tagclient_multiarch_packages ${C_PACKAGE})
  endif()
  set_property(GLOBAL PROPERTY tagclient_${name}_target ${C_TARGET})
  set_property(GLOBAL PROPERTY tagclient_${name}_package ${C_PACKAGE})
  if(C_LIBRARY)
    # dpkg runs ldconfig once through its trigger; CPack would otherwise add
    # postinst and postrm scripts calling it. It writes those only when the
    # control files named here include none: these two are never created.
    set(CPACK_DEBIAN_${up}_PACKAGE_CONTROL_EXTRA
      ${TAGCLIENT_DEBIAN_DIR}/triggers ${CMAKE_BINARY_DIR}/no-maintainer-script/postinst
      ${CMAKE_BINARY_DIR}/no-maintainer-script/postrm PARENT_SCOPE)
  endif()
  if(C_CONFFILES)
    # Written by pre_build.cmake from the files staged under etc/.
    set(extra ${CMAKE_BINARY_DIR}/conffiles/${name}/conffiles)
    set_property(GLOBAL APPEND PROPERTY tagclient_conffile_components ${name})
  endif()
  if(C_SERVICE)
    list(TRANSFORM TAGCLIENT_SERVICE_SCRIPTS PREPEND ${TAGCLIENT_DEBIAN_DIR}/${C_PACKAGE}/ OUTPUT_VARIABLE scripts)
    list(APPEND extra ${scripts})
  endif()
  if(C_CONFFILES OR C_SERVICE)
    set(CPACK_DEBIAN_${up}_PACKAGE_CONTROL_EXTRA ${extra} PARENT_SCOPE)
  endif()
endfunction()

set(TAGPROTO_LIBS_TEXT
  "The libraries of the UDP tag protocol: libvmsg builds, encodes and decodes"
  "messages, libaxodict names the protocol's 182 tags, libvlog sets up"
  "logging over log4cpp, and libtagengine runs exchanges with devices.")

tagclient_component(libvmsg0 PACKAGE libvmsg0 SECTION libs TARGET vmsg LIBRARY
  SUMMARY "messages and wire encoding of the UDP tag protocol"
  DESCRIPTION ${TAGPROTO_LIBS_TEXT} "." "This package holds libvmsg: messages, typed tags and their encoding"
  "to and from one datagram.")
tagclient_component(libaxodict0 PACKAGE libaxodict0 SECTION libs TARGET axodict LIBRARY
  SUMMARY "tag dictionary of the UDP tag protocol"
  DESCRIPTION ${TAGPROTO_LIBS_TEXT} "." "This package holds libaxodict: for each tag id its name, its kind of"
  "value and the type code an agent sends for it.")
tagclient_component(libvlog0 PACKAGE libvlog0 SECTION libs TARGET vlog LIBRARY
  SUMMARY "one-call logging set-up for tag protocol programs"
  DESCRIPTION ${TAGPROTO_LIBS_TEXT} "." "This package holds libvlog: it sets log4cpp's root priority and sends"
  "records to standard error.")
tagclient_component(libtagengine0 PACKAGE libtagengine0 SECTION libs TARGET tagengine_shared LIBRARY
  DEPENDS libvmsg0 libaxodict0
  SUMMARY "exchanges with UDP tag protocol devices"
  DESCRIPTION ${TAGPROTO_LIBS_TEXT} "." "This package holds libtagengine: many exchanges with devices at once over"
  "one socket, with time-outs, retries, pacing and verified writes, and"
  "one-call reads and writes of typed tag values.")
tagclient_component(dev PACKAGE libtagproto-dev SECTION libdevel TARGET vmsg
  DEPENDS libvmsg0 libaxodict0 libvlog0 libtagengine0
  SUMMARY "development files for the UDP tag protocol libraries"
  DESCRIPTION ${TAGPROTO_LIBS_TEXT} "." "This package holds the headers, the pkg-config and CMake files, the"
  "tagproto(3) and tagengine(3) manual pages, example programs and the wire"
  "format description.")
tagclient_component(python3 PACKAGE python3-tagproto SECTION python TARGET tagproto_engine
  DEPENDS libtagengine0 libvmsg0 libaxodict0
  SUMMARY "Python interface to UDP tag protocol devices"
  DESCRIPTION "The Python package tagproto reads and writes the tags of devices of the"
  "tag-based management protocol over UDP: get, verified set and poll of a"
  "whole fleet at once, as plain calls or as asyncio coroutines, with one"
  "exception per way an exchange can fail and the tag table as data.")
tagclient_component(tagclient PACKAGE tagclient SECTION net TARGET tagclient
  DEPENDS libvmsg0 libaxodict0 libvlog0
  SUMMARY "command-line client for the UDP tag protocol"
  DESCRIPTION "tagclient sends one request of the tag-based management protocol to an agent"
  "over UDP and prints the reply as one line: made for shell scripts, it"
  "prints every failure as one line and always exits 0. With bash"
  "completion of the 182 tag names and their manual page.")
tagclient_component(tagagent PACKAGE tagagent SECTION net TARGET tagagent
  DEPENDS libvmsg0 libvlog0
  SUMMARY "demo agent for the UDP tag protocol"
  DESCRIPTION "tagagent answers the requests of the tag-based management protocol on a"
  "UDP port from an in-memory store of tag values, so that tagclient and"
  "scripts can be tried without a real device.")
tagclient_component(tagpoll PACKAGE tagpoll SECTION net TARGET tagpoll
  DEPENDS libvmsg0 libaxodict0 libvlog0
  SUMMARY "polls tag values of UDP tag protocol agents"
  DESCRIPTION "tagpoll sends one request of the tag-based management protocol to a"
  "whole fleet of agents at once, with time-outs, retries and pacing, and"
  "prints one result per target as a line, JSON Lines or CSV. With bash"
  "completion and its manual page.")
tagclient_component(tagconf PACKAGE tagconf SECTION net TARGET tagconf
  DEPENDS libvmsg0 libaxodict0 libvlog0
  SUMMARY "brings UDP tag protocol agents to a desired state"
  DESCRIPTION "tagconf reads a YAML file of targets and the tag values each should hold,"
  "prints what differs, writes only that and reads it back until every"
  "device holds it, and saves what devices hold as such a file. With bash"
  "completion and its manual page.")
tagclient_component(exporter PACKAGE tag-exporter SECTION net TARGET tag_exporter CONFFILES SERVICE
  DEPENDS libvmsg0 libaxodict0 libvlog0
  SUMMARY "Prometheus exporter for UDP tag protocol agents"
  DESCRIPTION "tag_exporter reads tag values from agents of the tag-based management"
  "protocol and serves them as Prometheus metrics over HTTP. With a systemd"
  "unit, enabled and started on installation, and a default modules file.")

tagclient_component(ansible PACKAGE ansible-tagproto SECTION admin TARGET ansible_collection
  SUMMARY "Ansible collection for UDP tag protocol devices"
  DESCRIPTION "The collection tagproto.fleet configures devices of the tag-based management"
  "protocol from playbooks: tag_config sets tags with verified writes, writing"
  "only what differs, with check and diff modes, and tag_facts reads tags into"
  "facts. Installed where ansible-core finds collections with no set-up.")
# Python and YAML alone: one package for every architecture. The modules run
# on the controller through the tagproto Python package.
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_ANSIBLE_PACKAGE_DEPENDS "ansible-core, python3-tagproto (>= ${PROJECT_VERSION})")

# tagclient_install_man(COMPONENT PAGE...): installs manual pages compressed
# (gzip -n, so the bytes do not depend on the build time), each under the
# section its file name ends with.
function(tagclient_install_man component)
  foreach(page IN LISTS ARGN)
    get_filename_component(file ${page} NAME)
    string(REGEX MATCH "[0-9]$" section ${file})
    set(out ${CMAKE_BINARY_DIR}/man/${file}.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh ${page} ${out}
      DEPENDS ${page} VERBATIM)
    add_custom_target(man_${file} ALL DEPENDS ${out})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
  endforeach()
endfunction()

# tagclient_packages(): after every folder is added, the copyright and
# changelog of each package that has its program, then CPack itself.
macro(tagclient_packages)
  set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh ${TAGCLIENT_DEBIAN_DIR}/changelog ${changelog}
    DEPENDS ${TAGCLIENT_DEBIAN_DIR}/changelog VERBATIM)
  add_custom_target(changelog ALL DEPENDS ${changelog})

  get_property(all GLOBAL PROPERTY tagclient_components)
  set(CPACK_COMPONENTS_ALL "")
  foreach(component IN LISTS all)
    get_property(target GLOBAL PROPERTY tagclient_${component}_target)
    get_property(package GLOBAL PROPERTY tagclient_${component}_package)
    if(TARGET ${target})
      list(APPEND CPACK_COMPONENTS_ALL ${component})
      install(FILES ${TAGCLIENT_DEBIAN_DIR}/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
    endif()
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME tagclient)
  set(CPACK_PACKAGE_VENDOR "The tagclient authors")
  set(CPACK_PACKAGE_CONTACT "${TAGCLIENT_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAGCLIENT_MAINTAINER}")
  # Each package has its own summary line. CPackDeb puts any summary other
  # than its default in front of every component's description.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
  # The packages install where this build was configured to install.
  set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Maintainer scripts 0755, conffiles and the rest 0644, whatever the
  # checkout's modes.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Our own libraries are found in the build tree, not in an installed package;
  # the component depends above name their packages.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/extlib ${CMAKE_BINARY_DIR}/engine)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  # No ABI promise beyond the exact version until the libraries reach 1.0.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
  # Splits the symbols into <package>-dbgsym and strips what is shipped.
  set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
  set(CPACK_PRE_BUILD_SCRIPTS ${TAGCLIENT_DEBIAN_DIR}/pre_build.cmake)
  get_property(CPACK_TAGCLIENT_CONFFILE_COMPONENTS GLOBAL PROPERTY tagclient_conffile_components)
  set(CPACK_TAGCLIENT_CONFFILES_DIR ${CMAKE_BINARY_DIR}/conffiles)
  set(CPACK_POST_BUILD_SCRIPTS ${TAGCLIENT_DEBIAN_DIR}/post_build.cmake)
  get_property(CPACK_TAGCLIENT_MULTIARCH_PACKAGES GLOBAL PROPERTY tagclient_multiarch_packages)
  # The development files use log4cpp's headers through vlog.h's users.
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "liblog4cpp5-dev")
  include(CPack)
endmacro()
