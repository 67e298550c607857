# The Octave host: compile and link with the flags `mkoctfile -p` reports for
# MEX files (its OpenMP flag aside: the plug-ins run on the caller's thread).
find_program(MKOCTFILE mkoctfile REQUIRED)

function(mkoctfile_flags variable name)
  execute_process(COMMAND ${MKOCTFILE} -p ${name}
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(REMOVE_ITEM flags -fopenmp)
  set(${variable} ${flags} PARENT_SCOPE)
endfunction()

mkoctfile_flags(OCTAVE_INCFLAGS INCFLAGS)
mkoctfile_flags(OCTAVE_CPPFLAGS CPPFLAGS)
mkoctfile_flags(OCTAVE_CXXFLAGS CXXFLAGS)
mkoctfile_flags(OCTAVE_CXXPICFLAG CXXPICFLAG)
mkoctfile_flags(OCTAVE_DL_LDFLAGS DL_LDFLAGS)
list(REMOVE_ITEM OCTAVE_DL_LDFLAGS -shared)

add_library(octave_host INTERFACE)
target_compile_options(octave_host INTERFACE
  ${OCTAVE_INCFLAGS} ${OCTAVE_CPPFLAGS} ${OCTAVE_CXXFLAGS} ${OCTAVE_CXXPICFLAG})
target_link_options(octave_host INTERFACE ${OCTAVE_DL_LDFLAGS})

find_program(OCTAVE_CLI octave-cli)

# The Octave package archive (<name>-<version>.tar.gz) from the working tree,
# written to the build folder: `cmake --build build --target octave_package`.
add_custom_target(octave_package
  COMMAND bash ${PROJECT_SOURCE_DIR}/package/make_package.sh ${PROJECT_BINARY_DIR}
  COMMENT "Packing the Octave package archive into ${PROJECT_BINARY_DIR}"
  VERBATIM)
