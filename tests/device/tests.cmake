# The Pipes host test launches the installable program.
if(TARGET test_device_qvpipesapplication_test)
  target_link_libraries(test_device_qvpipesapplication_test PRIVATE quorvane_numerics quorvane_application)
  add_dependencies(test_device_qvpipesapplication_test quorvane-algorithm3)
endif()
