# Installs the API into a fresh prefix, builds examples/cpp_api against it
# with find_package as another project would, and runs the example, which
# exits 0 when its labels are as expected.
#   cmake -DBINARY_DIR=<this build> -DSOURCE_DIR=<sources> -DWORK_DIR=<scratch>
#         -DCXX_COMPILER=<compiler> [-DEXAMPLE_FLAGS=<sanitizer flags>] -P install_example.cmake
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run_step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "failed (${failed}): ${ARGN}")
  endif()
endfunction()

run_step(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix})
# What a consumer sees: the API's headers, none of the image library's.
if(NOT EXISTS ${prefix}/include/edgeseg/segment.h OR EXISTS ${prefix}/include/CImg.h)
  message(FATAL_ERROR "the installed headers are not the API's alone")
endif()
run_step(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/cpp_api -B ${WORK_DIR}/build
         -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
         "-DCMAKE_CXX_FLAGS=${EXAMPLE_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXAMPLE_FLAGS}")
run_step(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run_step(${WORK_DIR}/build/cpp_api_example)
