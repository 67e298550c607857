% Sorvik in the real host: conversions, exact labels against an independent
% reference, results on sample images, and every refusal followed by a call
% that works.
1;

function expect_error(identifier, varargin)
  try
    Sorvik(varargin{:});
  catch err
    assert(err.identifier, identifier);
    assert(~isempty(err.message));
    % The session goes on working after every error.
    L = Sorvik(magic(4), [3 1 0 5 1 2]);
    assert(size(L), [4 4]);
    return;
  end
  error('expected error %s, but the call succeeded', identifier);
end

function img = sample(name)
  img = imread(fullfile(getenv('DATA_DIR'), name));
end

warning('off', 'all');  % sample PNGs carry colour profiles the reader warns about
addpath(getenv('MEX_DIR'));
addpath(getenv('TEST_DIR'));
rand('seed', 7); randn('seed', 7);

%% Geometry: rows x columns x depth of class indices, for 2-, 3- and 4-D input.
coins = sample('coins.png');
L = Sorvik(coins, [5 2000 1e-4 10 3 2]);
assert(class(L), 'double');
assert(size(L), [303 384]);
assert(all(ismember(unique(L), [0 1])));
assert(size(Sorvik(rand(4, 5, 3), [3 1 0 3 0 2])), [4 5]);
assert(size(Sorvik(rand(4, 5, 6, 2), [3 1 0 3 0 2])), [4 5 6]);

%% Every class gives the labels of the same values in double.
expected = Sorvik(double(coins), [5 2000 1e-4 10 3 2]);
assert(isequal(L, expected));
small = [0 10 20; 120 110 100; 30 60 90];
reference_labels = Sorvik(small, [3 50 0 8 2 3]);
for cls = {'single', 'int8', 'uint8', 'int16', 'uint16', 'int32', 'uint32', 'int64', 'uint64'}
  assert(isequal(Sorvik(cast(small, cls{1}), [3 50 0 8 2 3]), reference_labels), cls{1});
end
assert(isequal(Sorvik(small > 50, [3 0 0 5 10 2]), double(small > 50)));
assert(isequal(Sorvik(complex(small, 99 * ones(3)), [3 50 0 8 2 3]), reference_labels));

%% The parameter vector: any accepted class, row or column, extra values ignored.
p = [3 50 0 8 2 3];
for q = {p', single(p), int32(p), [p 7 7]}
  assert(isequal(Sorvik(small, q{1}), reference_labels));
end

%% Rows stay rows: a bright pixel at (2, 3) comes back at (2, 3).
spot = zeros(4, 6); spot(2, 3) = 100;
Ls = Sorvik(spot, [0 0 0 5 10 2]);
assert(find(Ls), sub2ind([4 6], 2, 3));

%% Exact agreement with the pixel-by-pixel reference, plain and edge phases.
cases = {
  {round(rand(9, 7) * 4), [3 2 0 6 1 3]}
  {rand(8, 6, 2) * 100, [5 900 1e-3 8 2 4]}
  {round(rand(6, 5, 3, 2) * 3), [3 1.5 1e-2 5 0 2]}
  {randn(7, 9) * 50, [4 300 0 6 -1 3]}
  {[rand(5, 5) * 10, nan(5, 1)], [6 20 0 5 1 2]}
  {rand(3, 2) * 9, [9 5 0 4 0 3]}
};
for i = 1:numel(cases)
  [img, q] = deal(cases{i}{:});
  got = Sorvik(img, q);
  want = sorvik_reference(img, q);
  assert(isequal(got, want), sprintf('case %d differs from the reference', i));
end

%% Sample images: a photograph, a colour image, an MR volume.
camera = sample('camera.png');
Lc = Sorvik(camera, [5 2 0 30 4 4]);
assert(isequal(unique(Lc)', 0:3));
% Plain clustering of a dark and a bright class puts the coins in class 1.
Lp = Sorvik(coins, [0 0 0 10 10 2]);
assert(mean(double(coins(Lp == 1))) > mean(double(coins(Lp == 0))) + 50);
astronaut = sample('astronaut.png');
La = Sorvik(astronaut, [3 100 1e-4 10 3 5]);
assert(size(La), [512 512]);
assert(numel(unique(La)) == 5);
fid = fopen(fullfile(getenv('DATA_DIR'), 'BrainProtonDensity3Slices.raw'), 'r');
volume = permute(reshape(fread(fid, Inf, 'uint8=>uint8'), [181 217 3]), [2 1 3]);
fclose(fid);
% The host drops a trailing singleton dimension, so a grey volume of three
% slices reads as three channels of one slice...
assert(size(Sorvik(volume, [5 500 1e-4 5 3 3])), [217 181]);
assert(isequal(Sorvik(volume, [5 500 1e-4 5 3 3], 'volume', false), Sorvik(volume, [5 500 1e-4 5 3 3])));
% ...unless "volume" is true: one channel over three slices. Two equal
% channels give its labels under twice the edge weight and the tolerance.
Lg = Sorvik(volume, [5 500 1e-4 10 3 3], 'volume', true);
assert(size(Lg), [217 181 3]);
assert(isequal(unique(Lg)', 0:2));
assert(isequal(Sorvik(cat(4, volume, volume), [5 1000 2e-4 10 3 3]), Lg));
% A 4-D array is a volume either way.
Lv = Sorvik(cat(4, volume, volume / 2), [5 500 1e-4 10 3 3]);
assert(size(Lv), [217 181 3]);
assert(isequal(unique(Lv)', 0:2));
assert(isequal(Sorvik(cat(4, volume, volume / 2), [5 500 1e-4 10 3 3], 'VOLUME', true), Lv));

%% Every thread count gives the same labels, on the sample images and the volume.
for n = [0 1 4]
  assert(isequal(Sorvik(coins, [5 2000 1e-4 10 3 2], 'threads', n), L));
  assert(isequal(Sorvik(camera, [5 2 0 30 4 4], 'Threads', n), Lc));
  assert(isequal(Sorvik(astronaut, [3 100 1e-4 10 3 5], 'THREADS', int32(n)), La));
  assert(isequal(Sorvik(volume, [5 500 1e-4 10 3 3], 'volume', true, 'threads', n), Lg));
  assert(isequal(Sorvik(cat(4, volume, volume / 2), [5 500 1e-4 10 3 3], 'threads', n), Lv));
end

%% Settings by name give the vector's labels, with the defaults of the help.
s = struct('class_count', 2, 'window_size', 5, 'edge_weight', 2000, 'tolerance', 1e-4, 'max_iterations', 10, ...
           'last_plain_iteration', 3);
assert(isequal(Sorvik(coins, s), L));
assert(isequal(Sorvik(camera, struct('edge_weight', 2, 'class_count', 4, 'window_size', 5)), ...
               Sorvik(camera, [5 2 1e-4 30 4 4])));
assert(isequal(Sorvik(coins, struct('class_count', int8(2), 'window_size', single(5), 'edge_weight', 2000, ...
                                    'max_iterations', 10, 'last_plain_iteration', 3)), L));

%% Many channels and no "volume": a warning of its own, which can be switched off; the labels stay.
warning('on', 'Sorvik:manyChannels');
lastwarn('');
many = Sorvik(volume(:, :, [1 2 3 1 2]), [5 500 1e-4 5 3 3]);
[~, id] = lastwarn();
assert(id, 'Sorvik:manyChannels');
warning('off', 'Sorvik:manyChannels');
lastwarn('');
assert(isequal(Sorvik(volume(:, :, [1 2 3 1 2]), [5 500 1e-4 5 3 3]), many));
[~, id] = lastwarn();
assert(isempty(id));

%% Non-finite pixels keep label 0 and leave the centres alone.
img = [0 0 100 100 NaN Inf];
Ln = Sorvik(img, [0 0 0 5 10 2]);
assert(Ln, [0 0 1 1 0 0]);

%% Refusals, each identified, each followed by a working call.
good = [3 1 0 5 1 2];
expect_error('Sorvik:notEnoughInputs', magic(4));
expect_error('Sorvik:badOption', magic(4), good, 1);
expect_error('Sorvik:tooFewParameters', magic(4), [3 1 0 5 1]);
expect_error('Sorvik:badParameters', magic(4), [3 1 0 5 1 0]);
expect_error('Sorvik:badParameters', magic(4), [3 1 0 NaN 1 2]);
expect_error('Sorvik:badParameters', magic(4), [3 1 0 5 1e10 2]);
expect_error('Sorvik:badParameters', magic(4), [3 1 0 5 1 2^25]);
expect_error('Sorvik:badParameters', magic(4), [46341 1 0 5 1 2]);
expect_error('Sorvik:badParameters', magic(4), [3 Inf 0 5 1 2]);
expect_error('Sorvik:unsupportedClass', 'abcd', good);
expect_error('Sorvik:unsupportedClass', {1, 2}, good);
expect_error('Sorvik:unsupportedClass', struct('a', 1), good);
expect_error('Sorvik:unsupportedClass', @sin, good);
expect_error('Sorvik:unsupportedClass', magic(4), 'abcdef');
expect_error('Sorvik:sparseInput', sparse(magic(4)), good);
expect_error('Sorvik:tooManyDimensions', rand(2, 2, 2, 2, 2), good);
expect_error('Sorvik:emptyImage', zeros(0, 5), good);
expect_error('Sorvik:emptyImage', [], good);
% Swapped inputs, settings that are no vector, and settings structs that cannot be meant.
expect_error('Sorvik:badParameters', good, coins);
expect_error('Sorvik:badParameters', magic(4), reshape(good, 2, 3));
expect_error('Sorvik:badParameters', magic(4), struct('class_count', 2, 'window_size', 3, 'edgeweight', 1));
expect_error('Sorvik:badParameters', magic(4), struct('window_size', 3, 'edge_weight', 1));
expect_error('Sorvik:badParameters', magic(4), struct('class_count', [2 3], 'window_size', 3, 'edge_weight', 1));
expect_error('Sorvik:badParameters', magic(4), struct('class_count', '2', 'window_size', 3, 'edge_weight', 1));
expect_error('Sorvik:badParameters', magic(4), struct('class_count', {2, 3}, 'window_size', 3, 'edge_weight', 1));
try
  Sorvik(magic(4), [3 1 0 5 1 0.5]);
catch err
  assert(~isempty(strfind(err.message, '0.5, which truncates to 0')), err.message);
end
% Options: names, values, and the order of the checks (options before inputs).
expect_error('Sorvik:badOption', magic(4), good, 'thread', 2);
expect_error('Sorvik:badOption', magic(4), good, 'threads');
expect_error('Sorvik:badOption', magic(4), good, 'threads', 4, 'volume');
expect_error('Sorvik:badOption', magic(4), good, 4, 'threads');
expect_error('Sorvik:badOption', magic(4), good, ['th'; 're'], 1);
expect_error('Sorvik:badOption', magic(4), good, {'threads'}, 1);
for bad = {2.5, -1, NaN, Inf, -Inf, [1 2], [], complex(2, 0), sparse(2), '4', {4}, single(0.5)}
  expect_error('Sorvik:badOption', magic(4), good, 'threads', bad{1});
end
for bad = {2, -1, 0.5, NaN, [true true], 'true'}
  expect_error('Sorvik:badOption', magic(4), good, 'volume', bad{1});
  expect_error('Sorvik:badOption', magic(4), good, 'progress', bad{1});
end
expect_error('Sorvik:badOption', 'abcd', good, 'bogus', 1);
try
  [a, b, c] = Sorvik(magic(4), good);
  error('three outputs were accepted');
catch err
  assert(err.identifier, 'Sorvik:tooManyOutputs');
end

%% The settings suggestion sits beside the plug-in; its tests (noise of known sd) pass.
[passed, total] = test('edgeseg_settings', 'quiet');
assert(total >= 5 && passed == total, 'test edgeseg_settings: %d of %d passed', passed, total);

%% The suggested centres start every class of a plain clustering of camera with pixels and keep them filled.
[~, est] = edgeseg_settings(camera, 4);
assert(size(est.suggested_centres), [4 1]);
centres = est.suggested_centres;
values = double(camera(:));
for iteration = 1:30
  [~, nearest] = min(abs(values - centres'), [], 2);
  counts = accumarray(nearest, 1, [4 1]);
  assert(all(counts > 0), 'iteration %d leaves a class of camera empty', iteration);
  centres = accumarray(nearest, values, [4 1]) ./ counts;
end

%% The demos of the help files run without graphics, as in octave-cli, and say where their pictures went.
assert(isempty(available_graphics_toolkits()));
for d = {{'Sorvik', 1}, {'Sorvik', 2}, {'Tamvel', 1}}
  text = evalc('demo(d{1}{:})');
  file = regexp(text, 'no graphics here: wrote .* to (\S+\.png)', 'tokens', 'once');
  assert(~isempty(file) && exist(file{1}, 'file') == 2, '%s demo %d wrote no picture:\n%s', d{1}{:}, text);
  delete(file{1});
end

%% The help text sits beside the plug-in.
assert(~isempty(strfind(evalc('help Sorvik'), 'L = Sorvik(IMAGE, PARAMETERS)')));

disp('Sorvik Octave tests passed');
