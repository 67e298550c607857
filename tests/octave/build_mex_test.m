% build_mex.m in Octave: builds both plug-ins with mkoctfile --mex into a
% fresh folder, puts them on the path and leaves the environment as it was.
1;

addpath(getenv('TEST_DIR'));
work = fresh_folder();
addpath(getenv('SOURCE_DIR'));

flags = {getenv('CXXFLAGS'), getenv('XTRA_CXXFLAGS')};
out = build_mex(fullfile(work, 'plugins'));
assert(out, fullfile(work, 'plugins'));
assert({getenv('CXXFLAGS'), getenv('XTRA_CXXFLAGS')}, flags);
check_installed_commands(out);
disp('build_mex tests passed');
