# MATLAB, where it is installed: the same sources through matlab_add_mex.
find_package(Matlab QUIET COMPONENTS MX_LIBRARY)
if(Matlab_FOUND)
  # The interrupt query (Ctrl-C) lives in libut, beside the MX library.
  get_filename_component(matlab_library_dir ${Matlab_MX_LIBRARY} DIRECTORY)
  find_library(MATLAB_UT_LIBRARY NAMES ut libut PATHS ${matlab_library_dir} NO_DEFAULT_PATH REQUIRED)
  foreach(command Sorvik Tamvel)
    string(TOLOWER ${command} name)
    if(command STREQUAL "Sorvik")
      set(sources ${PROJECT_SOURCE_DIR}/boundary/sorvik_mex.cpp)
      set(kernels edgeseg)
    else()
      set(sources ${PROJECT_SOURCE_DIR}/boundary/tamvel_mex.cpp)
      set(kernels edgeseg)
    endif()
    # The separate-complex API: mxGetData then points at the real parts.
    matlab_add_mex(NAME matlab_${name} SRC ${BOUNDARY_SOURCES} ${sources}
                   OUTPUT_NAME ${command} LINK_TO ${kernels} ${MATLAB_UT_LIBRARY} R2017b)
    set_target_properties(matlab_${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/matlab)
    add_custom_command(TARGET matlab_${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different
              ${PROJECT_SOURCE_DIR}/mex/${command}.m ${PROJECT_BINARY_DIR}/matlab/${command}.m)
  endforeach()
  message(STATUS "MATLAB found at ${Matlab_ROOT_DIR}: building Sorvik and Tamvel for MATLAB")
else()
  message(STATUS "MATLAB not found: building for Octave and the stand-in host only")
endif()
