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
# The SharedMemory host test connects the installable program to its listener.
if(TARGET test_device_qvshmapplication_test)
  target_link_libraries(test_device_qvshmapplication_test PRIVATE quorvane_numerics quorvane_application)
  add_dependencies(test_device_qvshmapplication_test quorvane-algorithm3)
endif()
# The logged Pipes host launches the installable program too.
if(TARGET test_device_qvlinklogdevices_test)
  target_link_libraries(test_device_qvlinklogdevices_test PRIVATE quorvane_numerics quorvane_application)
  add_dependencies(test_device_qvlinklogdevices_test quorvane-algorithm3)
endif()
# A program the Pipes tests launch: its end of the link on what it inherited.
add_executable(qvpipes_child ${CMAKE_CURRENT_LIST_DIR}/qvpipes_child.cpp)
target_link_libraries(qvpipes_child PRIVATE quorvane_test_plumbing)
qv_apply_flags(qvpipes_child)
foreach(test IN ITEMS test_device_qvpipeslaunch_test test_device_qvpipessignals_test
                     test_device_qvpipesanswers_test test_device_qvbulkpeerkilled_test)
  if(TARGET ${test})
    add_dependencies(${test} qvpipes_child)
    target_compile_definitions(${test} PRIVATE QV_PIPES_CHILD="$<TARGET_FILE:qvpipes_child>")
  endif()
endforeach()
# A program the peer-death tests start as the connecting side, and kill.
add_executable(qvconnector_child ${CMAKE_CURRENT_LIST_DIR}/qvconnector_child.cpp)
target_link_libraries(qvconnector_child PRIVATE quorvane_test_plumbing)
qv_apply_flags(qvconnector_child)
foreach(test IN ITEMS test_device_qvpeerkilled_test test_device_qvlaunchreaping_test
                     test_device_qvshmcontrolnames_test)
  if(TARGET ${test})
    add_dependencies(${test} qvconnector_child)
    target_compile_definitions(${test} PRIVATE QV_CONNECTOR_CHILD="$<TARGET_FILE:qvconnector_child>")
  endif()
endforeach()
# The reaping test launches the installable program too.
if(TARGET test_device_qvlaunchreaping_test)
  add_dependencies(test_device_qvlaunchreaping_test quorvane-algorithm3)
endif()
# The long command-line test launches the installable program over each device.
if(TARGET test_device_qvlaunchcommandline_test)
  add_dependencies(test_device_qvlaunchcommandline_test quorvane-algorithm3)
endif()
