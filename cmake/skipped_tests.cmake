# Run by ctest after the tests (CTestCustom.cmake in the build folder): lists
# every test that was skipped, with the reason it gave, since ctest itself
# shows only that it was. RESULTS is the folder of GoogleTest's XML reports,
# one per test, which ctest empties before each run.
file(GLOB_RECURSE reports "${RESULTS}/*.xml")
set(skipped "")
foreach(report IN LISTS reports)
  file(READ "${report}" xml)
  if(NOT xml MATCHES "<testcase name=\"([^\"]*)\"[^>]* result=\"skipped\"[^>]* classname=\"([^\"]*)\"")
    continue()
  endif()
  set(test "${CMAKE_MATCH_2}.${CMAKE_MATCH_1}")
  # The message is the skip's place, a line break, then its reason.
  string(REGEX MATCH "<skipped message=\"[^\"]*\"><!\\[CDATA\\[[^\n]*\n([^]]*)" _ "${xml}")
  string(STRIP "${CMAKE_MATCH_1}" why)
  string(APPEND skipped "  ${test}: ${why}\n")
endforeach()
if(skipped)
  # On standard output, which ctest shows.
  execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "\nSkipped, and what would run them:\n${skipped}")
endif()
