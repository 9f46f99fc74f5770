# Runs on CPack's staging tree before the packages are made: drops the
# compiler's .comment section from every ELF file, as Debian's own strip
# step does. The -dbgsym split comes after this and is unaffected.
find_program(OBJCOPY objcopy REQUIRED)
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(f IN LISTS staged)
  if(IS_SYMLINK "${f}")
    continue()
  endif()
  file(READ "${f}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND ${OBJCOPY} --remove-section=.comment "${f}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

# conffiles of the components that install configuration: every file staged
# under etc/, by its absolute path.
foreach(component IN LISTS CPACK_TAGCLIENT_CONFFILE_COMPONENTS)
  file(GLOB_RECURSE configs LIST_DIRECTORIES false RELATIVE "${CPACK_TEMPORARY_DIRECTORY}/${component}"
    "${CPACK_TEMPORARY_DIRECTORY}/${component}/etc/*")
  list(TRANSFORM configs PREPEND "/")
  list(JOIN configs "\n" lines)
  if(lines)
    file(WRITE "${CPACK_TAGCLIENT_CONFFILES_DIR}/${component}/conffiles" "${lines}\n")
  endif()
endforeach()
