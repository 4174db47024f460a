# The link services against a real DNS-SD daemon. The program runs only inside
# qvavahi_namespace.sh, which starts a private message bus and daemon in
# namespaces of their own, so it is named outside the *_test.cpp glob. Each
# suite gets its own namespace and daemons; where the kernel refuses the
# namespaces the script says why and the entry is skipped.
add_executable(test_network_qvlinkservicesavahi ${CMAKE_CURRENT_LIST_DIR}/qvlinkservicesavahi_avahitest.cpp)
target_link_libraries(test_network_qvlinkservicesavahi PRIVATE quorvane_test_support)
qv_apply_flags(test_network_qvlinkservicesavahi)
foreach(suite IN ITEMS AvahiLinkServer AvahiListener AvahiPublishedService)
  add_test(NAME network.${suite}
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/qvavahi_namespace.sh
            $<TARGET_FILE:test_network_qvlinkservicesavahi> --gtest_filter=*${suite}*)
  set_tests_properties(network.${suite} PROPERTIES
    TIMEOUT ${QV_TEST_TIMEOUT} LABELS "network;avahi" SKIP_RETURN_CODE 77
    # A filter that matches nothing would pass silently.
    FAIL_REGULAR_EXPRESSION "Running 0 tests")
  if(QV_SANITIZE MATCHES "thread")
    # Added to the options the run gives (halt_on_error, say), not in their place.
    set_property(TEST network.${suite} APPEND PROPERTY ENVIRONMENT_MODIFICATION
      "TSAN_OPTIONS=string_append::suppressions=${CMAKE_CURRENT_LIST_DIR}/qvavahi_tsan.supp")
  endif()
endforeach()
