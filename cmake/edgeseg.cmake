# The host-neutral API: public headers in include/edgeseg/, the code in
# api/, one static library over both commands' kernels.

set(EDGESEG_API_SOURCES
  ${PROJECT_SOURCE_DIR}/api/conversion.cpp
  ${PROJECT_SOURCE_DIR}/api/sorvik.cpp
  ${PROJECT_SOURCE_DIR}/api/sorvik_steps.cpp
  ${PROJECT_SOURCE_DIR}/api/tamvel.cpp)

add_library(edgeseg STATIC ${EDGESEG_API_SOURCES})
target_include_directories(edgeseg PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:include>)
target_link_libraries(edgeseg PUBLIC segmentation_kernels pair_segmentation_kernels)
add_library(edgeseg::edgeseg ALIAS edgeseg)
