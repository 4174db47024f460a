if(TARGET algorithm3_bench)
  target_link_libraries(algorithm3_bench PRIVATE quorvane_numerics quorvane_numerics_reference)
endif()

# The far side of the host benchmarks, built and linked as quorvane-algorithm3
# is: an echo of integers and a sink of real lists on the public calls.
add_executable(quorvane-bench-peer ${CMAKE_CURRENT_LIST_DIR}/qvbenchpeer.cpp)
target_link_libraries(quorvane-bench-peer PRIVATE quorvane_shared)
qv_apply_flags(quorvane-bench-peer)

# The host benchmarks launch the installable program and the peer.
foreach(host IN LISTS QV_BENCH_HOST_PROGRAMS)
  if(TARGET ${host})
    add_dependencies(${host} quorvane-algorithm3 quorvane-bench-peer)
    target_compile_definitions(${host} PRIVATE QV_ALGORITHM3_PROGRAM="$<TARGET_FILE:quorvane-algorithm3>"
                               QV_BENCH_PEER_PROGRAM="$<TARGET_FILE:quorvane-bench-peer>")
  endif()
endforeach()
# The end-to-end benchmark checks each answer against the simulation run here.
if(TARGET qvendtoend_bench)
  target_link_libraries(qvendtoend_bench PRIVATE quorvane_numerics)
endif()
