% The Octave package: builds the archive from the working tree, installs it
% with pkg into a throw-away prefix (its own package lists, so the user's
% packages are untouched), loads it and checks both commands, their help,
% the tests in their help files and the package's demo.
1;

addpath(getenv('TEST_DIR'));
work = fresh_folder();

[status, output] = system(sprintf('bash "%s" "%s"', fullfile(getenv('SOURCE_DIR'), 'package', 'make_package.sh'), work));
if status ~= 0
  error('make_package.sh failed:\n%s', output);
end
archive = strtrim(output);
assert(~isempty(regexp(archive, 'edgeseg-\d+\.\d+\.\d+\.tar\.gz$', 'once')), 'unexpected archive %s', archive);

prefix = fullfile(work, 'packages');
pkg('prefix', prefix, fullfile(work, 'packages-arch'));
pkg('local_list', fullfile(work, 'local_packages'));
pkg('global_list', fullfile(work, 'global_packages'));
pkg('install', archive);
pkg('load', 'edgeseg');

check_installed_commands(fullfile(work, 'packages-arch'));
% The demo with an output argument draws nothing and returns the fraction
% of pixels labelled right: plain and edge-weighted, for both commands.
accuracy = edgeseg_demo();
assert(accuracy([2 4]) > accuracy([1 3]));
assert(all(accuracy([2 4]) > 0.99));
assert(~isempty(strfind(evalc('help edgeseg_demo'), 'edgeseg_demo(NOISE)')));
% Without an output and without graphics it writes its picture and says where.
text = evalc('edgeseg_demo()');
picture = fullfile(tempdir(), 'edgeseg_demo.png');
assert(~isempty(strfind(text, ['wrote ' picture])) && exist(picture, 'file') == 2, text);
delete(picture);

pkg('unload', 'edgeseg');
assert(isempty(which('Sorvik')));
disp('Octave package tests passed');
