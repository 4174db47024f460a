# Test isolation: every ctest entry gets a QUORVANE_TMPDIR of its own inside
# the build tree, so that no test run touches the sync folder that running
# programs share. A directory that defines tests calls qv_isolate_tests() once;
# at the end of that directory every entry it added (add_test, and each case
# that gtest_discover_tests finds at test time for the targets named with
# qv_isolate_discovered_tests) gets $<build>/test-tmp/<entry name>, unless it
# chose a QUORVANE_TMPDIR itself. A test program makes its private root inside
# that folder (tests/support/test_main.cpp), so tests that run in parallel
# stay apart; scripts/test.sh empties test-tmp before a run and fails when a
# test left anything in it.
include_guard(GLOBAL)

function(qv_isolate_tests)
  cmake_language(DEFER CALL _qv_isolate_tests_now)
endfunction()

# Test programs whose cases are discovered when ctest runs.
function(qv_isolate_discovered_tests)
  set_property(DIRECTORY APPEND PROPERTY QV_DISCOVERED_TEST_TARGETS ${ARGN})
endfunction()

function(_qv_isolate_tests_now)
  set(QV_TEST_TMPDIR_ROOT ${PROJECT_BINARY_DIR}/test-tmp)
  # Folder names keep letters, digits, '.', '_' and '-' (anything else becomes
  # '_'). Names of parameterised cases can be far longer than a file name may
  # be, and what a test makes in its folder must stay within the limits of
  # the paths and link names built from it (a socket's path, a launch's
  # command line) wherever the build tree lies: a name past 60 characters
  # keeps its start and gets a digest of the whole name.
  set(QV_TEST_TMPDIR_FOLDER [=[
    string(REGEX REPLACE "[^A-Za-z0-9._-]" "_" folder "${test}")
    string(LENGTH "${folder}" length)
    if(length GREATER 60)
      string(SUBSTRING "${folder}" 0 43 start)
      string(MD5 digest "${test}")
      string(SUBSTRING "${digest}" 0 16 digest)
      set(folder "${start}-${digest}")
    endif()
]=])
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(test IN LISTS tests)
    get_test_property(${test} ENVIRONMENT environment)
    if(NOT "${environment}" MATCHES "(^|;)QUORVANE_TMPDIR=")
      cmake_language(EVAL CODE "${QV_TEST_TMPDIR_FOLDER}")
      set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT "QUORVANE_TMPDIR=${QV_TEST_TMPDIR_ROOT}/${folder}")
    endif()
  endforeach()

  # Discovered cases exist only once ctest has read the discovery scripts; this
  # script runs after them (it is the directory's last include) and walks the
  # lists of names they leave in <target>_TESTS. (ctest offers no appending
  # here; the discovery properties of these targets carry no ENVIRONMENT.)
  get_property(targets DIRECTORY PROPERTY QV_DISCOVERED_TEST_TARGETS)
  if(NOT targets)
    return()
  endif()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/qv_test_tmpdirs.cmake)
  list(JOIN targets " " QV_TARGETS)
  string(CONFIGURE [=[
# Generated: a QUORVANE_TMPDIR of its own for every discovered test case.
foreach(target IN ITEMS @QV_TARGETS@)
  foreach(test IN LISTS ${target}_TESTS)
@QV_TEST_TMPDIR_FOLDER@
    set_tests_properties("${test}" PROPERTIES ENVIRONMENT "QUORVANE_TMPDIR=@QV_TEST_TMPDIR_ROOT@/${folder}")
  endforeach()
endforeach()
]=] content @ONLY)
  file(WRITE ${script} "${content}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
