# Compiler flags shared by every target of the project.
set(QV_WARNINGS -Wall -Wextra -Wpedantic -Wno-unused-parameter)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # g++ 12 at -O3 reports std::string concatenation inside libstdc++ as an
  # overlapping memcpy (a known false positive); keep it visible, not fatal.
  list(APPEND QV_WARNINGS -Wshadow=local -Wno-error=restrict)
else()
  list(APPEND QV_WARNINGS -Wshadow-uncaptured-local)
endif()
if(QV_WERROR)
  list(APPEND QV_WARNINGS -Werror)
endif()

set(QV_SANITIZE_FLAGS)
if(QV_SANITIZE)
  set(QV_SANITIZE_FLAGS -fsanitize=${QV_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
endif()
if(QV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QV_FUZZ needs clang (CXX=clang++)")
  endif()
  # Coverage instrumentation for everything; only the fuzz targets link the fuzzer's main.
  list(APPEND QV_SANITIZE_FLAGS -fsanitize=fuzzer-no-link)
endif()
add_compile_options(${QV_SANITIZE_FLAGS})
add_link_options(${QV_SANITIZE_FLAGS})

function(qv_apply_flags target)
  target_compile_options(${target} PRIVATE ${QV_WARNINGS})
endfunction()
