# The Tamvel benchmark: fast kernels against the reference iteration. Not a
# test; `cmake --build <dir> --target bench_tamvel` builds and runs it (the
# `bench` target runs it too).
add_executable(tamvel_bench ${CMAKE_CURRENT_LIST_DIR}/tamvel_bench.cpp)
link_reference(tamvel_bench tamvel_reference tamvel_kernels)

set(TAMVEL_BENCH_DATA_DIR ${PROJECT_SOURCE_DIR}/../shared/data)
set(TAMVEL_BENCH_OUTPUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/output)
set(tamvel_bench_inputs)
set(tamvel_bench_arguments)

# The T1 / proton-density slice pair, when Octave can decode it.
find_program(OCTAVE_CLI octave-cli)
set(tamvel_t1 ${TAMVEL_BENCH_DATA_DIR}/BrainT1Slice.png)
set(tamvel_pd ${TAMVEL_BENCH_DATA_DIR}/BrainProtonDensitySlice.png)
if(OCTAVE_CLI AND EXISTS ${tamvel_t1} AND EXISTS ${tamvel_pd})
  set(tamvel_bench_inputs ${TAMVEL_BENCH_OUTPUT_DIR}/brain_t1.raw ${TAMVEL_BENCH_OUTPUT_DIR}/brain_pd.raw)
  add_custom_command(
    OUTPUT ${tamvel_bench_inputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TAMVEL_BENCH_OUTPUT_DIR}
    COMMAND ${OCTAVE_CLI} --norc --no-history --quiet ${CMAKE_CURRENT_LIST_DIR}/pair_to_raw.m
            ${tamvel_t1} ${tamvel_pd} ${tamvel_bench_inputs}
    DEPENDS ${tamvel_t1} ${tamvel_pd} ${CMAKE_CURRENT_LIST_DIR}/pair_to_raw.m
    COMMENT "Decoding the T1 / proton-density slices for the Tamvel benchmark")
  set(tamvel_bench_arguments --pair ${tamvel_bench_inputs} 181 217)
endif()

add_custom_target(bench_tamvel
  COMMAND tamvel_bench ${tamvel_bench_arguments}
  DEPENDS tamvel_bench ${tamvel_bench_inputs}
  USES_TERMINAL
  COMMENT "Tamvel benchmark")
if(TARGET bench)
  add_dependencies(bench bench_tamvel)
endif()
