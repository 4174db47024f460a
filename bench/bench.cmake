if(TARGET algorithm3_bench)
  target_link_libraries(algorithm3_bench PRIVATE quorvane_numerics quorvane_numerics_reference)
endif()
