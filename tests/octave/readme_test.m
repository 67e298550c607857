% The README's Octave lines, run from the README's own text: the first call,
% whose block must start on its first screen and makes its own image, then
% the Octave section's block in the same workspace, as a user pastes them,
% with the plug-ins of this build in place of the package they install.
1;

function blocks = octave_blocks(lines)
  % Each ```octave block's lines, without those of pkg, which this build's
  % plug-ins stand in for; and where the first one starts.
  starts = find(strcmp(lines, '```octave'));
  blocks = cell(size(starts));
  for k = 1:numel(starts)
    last = starts(k) + find(strcmp(lines(starts(k) + 1:end), '```'), 1);
    block = lines(starts(k) + 1:last - 1);
    blocks{k} = strjoin(block(cellfun(@isempty, regexp(block, '^pkg ', 'once'))), "\n");
  end
end

readme = fileread(fullfile(getenv('SOURCE_DIR'), 'README.md'));
lines = strsplit(readme, "\n");
first = find(strcmp(lines, '```octave'), 1);
assert(~isempty(first) && first <= 40, 'the first Octave block starts on line %d, past the first screen', first);
blocks = octave_blocks(lines);
assert(numel(blocks) == 3, 'expected the first call, the Octave section and the masks, found %d Octave blocks', ...
       numel(blocks));
assert(~isempty(regexp(blocks{1}, '^L = Sorvik\(', 'lineanchors', 'once')), 'the first Octave block calls no Sorvik');
assert(isempty(regexp(blocks{1}, 'imread', 'once')), 'the first call reads a file a bare clone lacks');

addpath(getenv('MEX_DIR'));
addpath(getenv('TEST_DIR'));
stub = fresh_folder();
fid = fopen(fullfile(stub, 'imshow.m'), 'w');
fprintf(fid, 'function imshow(varargin)\n  global shown;\n  shown = varargin;\nend\n');
fclose(fid);
addpath(stub);
global shown;
shown = {};
randn('state', 29);
cd(stub);
eval(blocks{1});

% The image the block made: a bright square on a dark ground, under noise.
truth = false(128, 128);
truth(33:96, 33:96) = true;
assert(size(L), size(truth));
assert(isequal(unique(L(:))', [0 1]));
% Classes start ordered from dark to bright, so the square is class 1.
plain = mean((I(:) > 105) == truth(:));
assert(mean((L(:) == 1) == truth(:)) > 0.99 && plain < 0.95, 'edge-weighted %.4f right, plain %.4f', ...
       mean((L(:) == 1) == truth(:)), plain);
assert(numel(shown) == 2 && isequal(shown{1}, L + 1) && size(shown{2}, 1) == 2, 'imshow got other arguments');
printf('first call: %.2f%% right; plain thresholding at the midpoint %.2f%%\n', ...
       100 * mean((L(:) == 1) == truth(:)), 100 * plain);

eval(blocks{2});
assert(isequal(size(L), [128 128 4]) && info.iterations >= 1 && size(info.centres, 1) == 2);
assert(isequal(L, Sorvik(V, s, "volume", true)), 'the threads changed the labels');
assert(isequal(size(T), [128 128]) && isequal(unique(T(:))', [0 1]));
right = max(mean((T(:) == 1) == truth(:)), mean((T(:) == 0) == truth(:)));
assert(right > 0.97, 'Tamvel labelled %.4f of the pixels right', right);
eval(blocks{3});
assert(isequal(L == -1, ~brain) && isequal(unique(L(brain))', [0 1]), 'the masked call labelled other pixels');
disp('README Octave lines passed');
