# Run by CPack once the files of a package are staged: gives every file and
# folder the same modification time, taken from SOURCE_DATE_EPOCH where it is
# set (as distributions set it, from the commit), so that the package's bytes
# do not depend on when or where it was built.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  return()
endif()
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(path IN LISTS staged)
  execute_process(COMMAND touch --no-dereference "--date=@$ENV{SOURCE_DATE_EPOCH}" "${path}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
