# The Pipes host test launches the installable program.
if(TARGET test_device_qvpipesapplication_test)
  target_link_libraries(test_device_qvpipesapplication_test PRIVATE quorvane_numerics quorvane_application)
  add_dependencies(test_device_qvpipesapplication_test quorvane-algorithm3)
endif()
# The TCP host test connects the installable program to its listener.
if(TARGET test_device_qvtcpapplication_test)
  target_link_libraries(test_device_qvtcpapplication_test PRIVATE quorvane_numerics quorvane_application)
  add_dependencies(test_device_qvtcpapplication_test quorvane-algorithm3)
endif()
# The logged Pipes host launches the installable program too.
if(TARGET test_device_qvlinklogdevices_test)
  target_link_libraries(test_device_qvlinklogdevices_test PRIVATE quorvane_numerics quorvane_application)
  add_dependencies(test_device_qvlinklogdevices_test quorvane-algorithm3)
endif()
