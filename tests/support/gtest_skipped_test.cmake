# KORVA_GTEST_SKIPPED against the endings of GoogleTest's output, one row each: whether CTest
# reports the test as skipped. A row that matches wrongly hides a failure behind "Skipped".
#   cmake -P gtest_skipped_test.cmake
include(${CMAKE_CURRENT_LIST_DIR}/gtest_skipped.cmake)
set(head "[==========] 2 tests from 1 test suite ran. (3 ms total)\n")
set(skipped_one "[  PASSED  ] 0 tests.\n[  SKIPPED ] 1 test, listed below:\n[  SKIPPED ] Soak.Mixed\n")
set(skipped_two "[  PASSED  ] 0 tests.\n[  SKIPPED ] 2 tests, listed below:\n[  SKIPPED ] A.B\n[  SKIPPED ] A.C\n")
set(failed " 1 FAILED TEST\n")
# name|expected|output
set(rows
  "one skipped|1|${head}${skipped_one}"
  "all skipped|1|${head}${skipped_two}"
  "all skipped, disabled ones too|1|${head}${skipped_two}\n  YOU HAVE 1 DISABLED TEST\n\n"
  "one passed, one skipped|0|${head}[  PASSED  ] 1 test.\n[  SKIPPED ] 1 test, listed below:\n[  SKIPPED ] A.B\n"
  "one failed, one skipped|0|${head}${skipped_one}[  FAILED  ] 1 test, listed below:\n[  FAILED  ] A.C\n\n${failed}"
  "a leak reported after the skip|0|${head}${skipped_one}\n==12==ERROR: LeakSanitizer: detected memory leaks\n"
  "passed|0|${head}[  PASSED  ] 2 tests.\n"
  "a skip in a test's own output|0|[  SKIPPED ] is what the log says\n${head}[  PASSED  ] 2 tests.\n")
set(failures 0)
foreach(row IN LISTS rows)
  string(REGEX MATCH "^([^|]*)\\|([01])\\|(.*)$" parts "${row}")
  set(name "${CMAKE_MATCH_1}")
  set(expected "${CMAKE_MATCH_2}")
  set(output "${CMAKE_MATCH_3}")
  set(matched 0)
  if(output MATCHES "${KORVA_GTEST_SKIPPED}")
    set(matched 1)
  endif()
  if(NOT matched EQUAL expected)
    message("FAILED: ${name}: skipped ${matched}, expected ${expected}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures} rows failed")
endif()
message("gtest_skipped_test: passed")
