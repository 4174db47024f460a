# The service-discovery tests run against a stand-in DNS-SD library, built as
# libdns_sd.so.1 in a folder of its own. The library is loaded by that bare
# name, and the search path of the loading program comes before the system's
# cache: a test program that links the stand-in gets it, every other program
# the system's.
set(QV_FAKEDNSSD_SOURCE ${CMAKE_CURRENT_LIST_DIR}/fakednssd/fakednssd.cpp)
foreach(variant fakednssd fakednssd_incomplete)
  add_library(${variant} SHARED EXCLUDE_FROM_ALL ${QV_FAKEDNSSD_SOURCE})
  set_target_properties(${variant} PROPERTIES OUTPUT_NAME dns_sd SOVERSION 1
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/utilities/${variant})
  target_include_directories(${variant} PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_LIST_DIR})
  qv_apply_flags(${variant})
endforeach()
# Lacks one function: what a machine without a usable library looks like.
target_compile_definitions(fakednssd_incomplete PRIVATE FAKEDNSSD_INCOMPLETE)

foreach(stem qvservicediscovery_test qvservicediscoverypublic_test qvservicediscoveryprotocol_test
             qvthreadnames_test)
  if(TARGET test_utilities_${stem})
    target_link_libraries(test_utilities_${stem} PRIVATE fakednssd)
    target_include_directories(test_utilities_${stem} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  endif()
endforeach()
# The incomplete one is linked too, though the program calls none of it: a
# run path alone would not do where a sanitizer's shared runtime (g++'s) makes
# the call to dlopen, whose search then follows the runtime's path, not the
# program's, and finds the system's library.
if(TARGET test_utilities_qvservicediscoverymissing_test)
  target_link_libraries(test_utilities_qvservicediscoverymissing_test PRIVATE -Wl,--no-as-needed fakednssd_incomplete)
endif()
