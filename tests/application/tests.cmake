# The application's numerics and the program around them live in libraries of their own.
file(GLOB QV_APPLICATION_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
foreach(source IN LISTS QV_APPLICATION_TESTS)
  get_filename_component(stem ${source} NAME_WE)
  target_link_libraries(test_application_${stem} PRIVATE quorvane_numerics quorvane_numerics_reference quorvane_application)
endforeach()
# The program's own exit statuses are checked on the executable.
add_dependencies(test_application_qvapplication_test quorvane-algorithm3)

# A second implementation in Python, compared bit for bit with the C++ one on
# a few hundred calls; the calls are split in shards that run in parallel.
# The test command installs python3, so a missing interpreter is an error
# rather than a silently skipped check.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_executable(algorithm3_driver ${CMAKE_CURRENT_LIST_DIR}/algorithm3_driver.cpp)
  target_link_libraries(algorithm3_driver PRIVATE quorvane_numerics)
  qv_apply_flags(algorithm3_driver)
  set(QV_ALGORITHM3_SHARDS 7)
  math(EXPR last_shard "${QV_ALGORITHM3_SHARDS} - 1")
  foreach(shard RANGE ${last_shard})
    add_test(NAME application.Algorithm3PythonOracle.shard${shard}
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/algorithm3_oracle.py
              $<TARGET_FILE:algorithm3_driver> ${shard} ${QV_ALGORITHM3_SHARDS})
    set_tests_properties(application.Algorithm3PythonOracle.shard${shard} PROPERTIES
      TIMEOUT 600 LABELS application)
  endforeach()
endif()

# The installed tree: exports, the program's run path, the example host built
# through find_package and pkg-config. Needs everything built first; a
# sanitizer build's library cannot serve an uninstrumented example.
if(NOT QV_SANITIZE AND NOT QV_FUZZ)
  add_test(NAME application.InstalledTree
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/qvcheck-install.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  set_tests_properties(application.InstalledTree PROPERTIES TIMEOUT 300 LABELS application)
  # The export check itself fails when a promised call is missing from the
  # headers and the exports alike.
  add_test(NAME application.ExportCheckHoldsThePromisedCalls
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/qvcheckexports_selftest.sh ${PROJECT_SOURCE_DIR}
            $<TARGET_FILE:quorvane_shared> ${QV_PUBLIC_HEADERS})
  set_tests_properties(application.ExportCheckHoldsThePromisedCalls PROPERTIES TIMEOUT 120 LABELS application)
endif()

# No program or shared library of the build tree has an empty or relative
# run-path entry (which makes the loader search the current folder), and each
# finds the libraries it needs. Checked after the build, so a target added
# later is held to it too.
add_test(NAME application.BuildTreeRunPaths
  COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/qvcheck-runpaths.sh ${PROJECT_BINARY_DIR})
set_tests_properties(application.BuildTreeRunPaths PROPERTIES TIMEOUT 300 LABELS application)
