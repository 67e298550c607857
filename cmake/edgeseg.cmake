# The host-neutral API: public headers in include/edgeseg/, the code in
# api/, one static library over both commands' kernels. Installed with a
# package config, so that another project finds it with
# find_package(edgeseg) and links edgeseg::edgeseg.

set(EDGESEG_API_SOURCES
  ${PROJECT_SOURCE_DIR}/api/conversion.cpp
  ${PROJECT_SOURCE_DIR}/api/sorvik.cpp
  ${PROJECT_SOURCE_DIR}/api/sorvik_steps.cpp
  ${PROJECT_SOURCE_DIR}/api/tamvel.cpp)

add_library(edgeseg STATIC ${EDGESEG_API_SOURCES})
target_include_directories(edgeseg PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:include>)
target_link_libraries(edgeseg PUBLIC sorvik_kernels tamvel_kernels)
add_library(edgeseg::edgeseg ALIAS edgeseg)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The kernels' archives go with the API's: a static library carries none of
# the code it calls. The public headers need no image library; the core
# headers they include go beside them.
install(TARGETS edgeseg sorvik_kernels tamvel_kernels segmentation_core
        EXPORT edgesegTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES
  ${PROJECT_SOURCE_DIR}/include/edgeseg/image_view.h
  ${PROJECT_SOURCE_DIR}/include/edgeseg/segment.h
  ${PROJECT_SOURCE_DIR}/include/edgeseg/settings_table.h
  ${PROJECT_SOURCE_DIR}/include/edgeseg/sorvik_steps.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/edgeseg)
install(FILES ${PROJECT_SOURCE_DIR}/core/refusal.h ${PROJECT_SOURCE_DIR}/core/run_report.h
  ${PROJECT_SOURCE_DIR}/core/settings_table.h ${PROJECT_SOURCE_DIR}/core/centre_table.h ${PROJECT_SOURCE_DIR}/core/run_warnings.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/edgeseg/core)

set(EDGESEG_CONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/edgeseg)
install(EXPORT edgesegTargets NAMESPACE edgeseg:: DESTINATION ${EDGESEG_CONFIG_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/edgesegConfig.cmake.in
  ${PROJECT_BINARY_DIR}/edgesegConfig.cmake
  INSTALL_DESTINATION ${EDGESEG_CONFIG_DIR})
install(FILES ${PROJECT_BINARY_DIR}/edgesegConfig.cmake DESTINATION ${EDGESEG_CONFIG_DIR})
