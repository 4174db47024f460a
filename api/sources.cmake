# Number conversions must give the same bits on every build: one rounding per
# operation, no fused multiply-add.
set_property(SOURCE
  ${CMAKE_CURRENT_LIST_DIR}/qvbinaryconvert.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qvnumbertext.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qvnumericdispatch.cpp
  TARGET_DIRECTORY quorvane_objects
  APPEND PROPERTY COMPILE_OPTIONS -ffp-contract=off)
