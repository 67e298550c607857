# One MEX plug-in per command, built against a given host: the stand-in host
# for the C++ tests, Octave's headers for the real thing. Each exports
# mexFunction and nothing else. The boundary is a host of the API
# (cmake/edgeseg.cmake); each plug-in takes from its archive only what its
# command calls.

set(BOUNDARY_SOURCES
  ${PROJECT_SOURCE_DIR}/boundary/host_array.cpp
  ${PROJECT_SOURCE_DIR}/boundary/call_options.cpp
  ${PROJECT_SOURCE_DIR}/boundary/entry.cpp
  ${PROJECT_SOURCE_DIR}/boundary/settings_input.cpp
  ${PROJECT_SOURCE_DIR}/boundary/host_console.cpp
  ${PROJECT_SOURCE_DIR}/boundary/run_outputs.cpp)

function(add_mex_plugin target command boundary output_dir)
  add_library(${target} MODULE ${ARGN})
  target_link_libraries(${target} PRIVATE ${boundary})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    SUFFIX ".mex"
    OUTPUT_NAME ${command}
    LIBRARY_OUTPUT_DIRECTORY ${output_dir})
  # The version script keeps every symbol but mexFunction local; a Windows
  # DLL exports what its definition file lists.
  if(WIN32)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/mexFunction.def)
  else()
    target_link_options(${target} PRIVATE
      "LINKER:--version-script=${PROJECT_SOURCE_DIR}/cmake/mexFunction.map")
  endif()
  # The help text sits beside the plug-in, so that `help <command>` finds it.
  add_custom_command(OUTPUT ${output_dir}/${command}.m
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/mex/${command}.m ${output_dir}/${command}.m
    DEPENDS ${PROJECT_SOURCE_DIR}/mex/${command}.m)
  add_custom_target(${target}_help DEPENDS ${output_dir}/${command}.m)
  add_dependencies(${target} ${target}_help)
endfunction()

# Both commands for one host: targets <prefix>_sorvik and <prefix>_tamvel,
# over the boundary compiled once for that host (<prefix>_boundary).
function(add_mex_plugins prefix host output_dir)
  add_library(${prefix}_boundary STATIC ${BOUNDARY_SOURCES})
  target_link_libraries(${prefix}_boundary PUBLIC edgeseg ${host})
  add_mex_plugin(${prefix}_sorvik Sorvik ${prefix}_boundary ${output_dir} ${PROJECT_SOURCE_DIR}/boundary/sorvik_mex.cpp)
  add_mex_plugin(${prefix}_tamvel Tamvel ${prefix}_boundary ${output_dir} ${PROJECT_SOURCE_DIR}/boundary/tamvel_mex.cpp)
endfunction()
