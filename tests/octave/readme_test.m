% The README's first call, run from the README's own text: the first Octave
% block, which must start on its first screen, with the plug-ins of this
% build in place of the package it installs and loads, on the coins photo.
1;

readme = fileread(fullfile(getenv('SOURCE_DIR'), 'README.md'));
lines = strsplit(readme, "\n");
first = find(strcmp(lines, '```octave'), 1);
assert(~isempty(first) && first <= 40, 'the first Octave block starts on line %d, past the first screen', first);
last = first + find(strcmp(lines(first + 1:end), '```'), 1);
block = lines(first + 1:last - 1);
assert(any(~cellfun(@isempty, regexp(block, '^L = Sorvik\(', 'once'))), 'the first Octave block calls no Sorvik');
% The build's plug-ins stand in for the package, and the picture for the display.
block = block(cellfun(@isempty, regexp(block, '^pkg ', 'once')));

addpath(getenv('MEX_DIR'));
addpath(getenv('TEST_DIR'));
stub = fresh_folder();
fid = fopen(fullfile(stub, 'imshow.m'), 'w');
fprintf(fid, 'function imshow(varargin)\n  global shown;\n  shown = varargin;\nend\n');
fclose(fid);
addpath(stub);
global shown;
shown = {};
warning('off', 'all');  % the sample PNG carries a colour profile the reader warns about
cd(getenv('DATA_DIR'));
eval(strjoin(block, "\n"));

coins = imread('coins.png');
assert(size(L), size(coins));
assert(isequal(unique(L(:))', [0 1]));
% Plain intensity order: the coins are brighter than the background.
assert(mean(double(coins(L == 1))) > mean(double(coins(L == 0))) + 50);
assert(numel(shown) == 2 && isequal(shown{1}, L + 1) && size(shown{2}, 1) == 2, 'imshow got other arguments');
disp('README first call passed');
