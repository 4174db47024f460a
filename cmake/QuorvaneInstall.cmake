# What `cmake --install` lays out: the shared and the static library, the
# public headers under include/quorvane/, a CMake package (find_package
# (Quorvane CONFIG)) with its version file, a pkg-config file, and the program.
include(CMakePackageConfigHelpers)

set(QV_PUBLIC_HEADERS
  ${PROJECT_SOURCE_DIR}/include/quorvane.h
  ${PROJECT_SOURCE_DIR}/include/quorvane_export.h
  ${PROJECT_SOURCE_DIR}/include/quorvane_text.h
  ${PROJECT_SOURCE_DIR}/include/quorvane_oldstrings.h)
set(QV_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quorvane)

set_target_properties(quorvane_shared PROPERTIES
  EXPORT_NAME quorvane VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
set_target_properties(quorvane PROPERTIES EXPORT_NAME quorvane_static)

install(TARGETS quorvane_shared quorvane EXPORT QuorvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${QV_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvane)
install(EXPORT QuorvaneTargets NAMESPACE Quorvane:: DESTINATION ${QV_CMAKE_PACKAGE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuorvaneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QuorvaneConfig.cmake INSTALL_DESTINATION ${QV_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuorvaneConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuorvaneConfig.cmake ${PROJECT_BINARY_DIR}/QuorvaneConfigVersion.cmake
  DESTINATION ${QV_CMAKE_PACKAGE_DIR})

# Relative to where the file lies, so that an installed tree can be moved.
file(RELATIVE_PATH QV_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/quorvane.pc.in ${PROJECT_BINARY_DIR}/quorvane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quorvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET quorvane-algorithm3)
  install(TARGETS quorvane-algorithm3 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
