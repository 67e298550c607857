% Tamvel in the real host: the T1 / proton-density pair, plain iterations
% against an independent clustering, conversions, and every refusal followed
% by a call that works.
1;

function expect_error(identifier, varargin)
  try
    Tamvel(varargin{:});
  catch err
    assert(err.identifier, identifier);
    assert(~isempty(err.message));
    % The session goes on working after every error.
    L = Tamvel([0 0 9; 0 9 9], zeros(2, 3), [1 0 0 0 5 0 5 2]);
    assert(L, [0 0 1; 0 1 1]);
    return;
  end
  error('expected error %s, but the call succeeded', identifier);
end

function centres = spaced_centres(image, K)
  % K centres per channel spread evenly inside the channel's finite range.
  centres = zeros(K, size(image, 3), 'single');
  for c = 1:size(image, 3)
    v = double(image(:, :, c));
    v = v(isfinite(v));
    if isempty(v), continue; end
    centres(:, c) = single(((max(v) - min(v)) / (K + 1)) * (1:K)' + min(v));
  end
end

function L = plain_reference(I, J, p)
  % Tamvel's plain iterations for a single-slice pair, written from the
  % documented rules. Without the edge penalty a pixel's choice does not
  % depend on the others, so a whole class is evaluated at once.
  alpha = double(single(p(1)));
  N = fix(single(p(5)));
  K = double(fix(single(p(8))));
  I = single(I);
  S = size(I, 3);
  J = single(J(:, :, 1:S));
  CI = spaced_centres(I, K);
  CJ = spaced_centres(J, K);
  L = zeros(size(I, 1), size(I, 2));
  finite = all(isfinite(I), 3) & all(isfinite(J), 3);
  for iteration = 1:N
    best = inf(size(L));
    for k = 0:K - 1
      dI = zeros(size(L), 'single');
      dJ = zeros(size(L), 'single');
      for c = 1:S
        dI = dI + (I(:, :, c) - CI(k + 1, c)) .^ 2;
        dJ = dJ + (J(:, :, c) - CJ(k + 1, c)) .^ 2;
      end
      cost = alpha * double(dJ) + double(dI);
      wins = cost < best;
      best(wins) = double(single(cost(wins)));
      L(wins) = k;
    end
    for k = 0:K - 1
      members = finite & L == k;
      for c = 1:S
        Ic = I(:, :, c);
        Jc = J(:, :, c);
        CI(k + 1, c) = single(sum(double(Ic(members))) / (nnz(members) + 1e-10));
        CJ(k + 1, c) = single(sum(double(Jc(members))) / (nnz(members) + 1e-10));
      end
    end
  end
end

function run_help_example(help_file)
  % The example of the help text, run exactly as written.
  text = fileread(help_file);
  lines = strsplit(text, "\n");
  first = find(strncmp(lines, '%   Example:', 12), 1) + 1;
  last = first - 1 + find(strcmp(strtrim(lines(first:end)), '%'), 1) - 1;
  assert(last >= first);
  code = strjoin(regexprep(lines(first:last), '^%', ''), "\n");
  evalc(code);
  assert(size(edged), size(truth));
  assert(mean(edged(:) == truth(:)) > 0.99);
end

warning('off', 'all');  % sample PNGs carry colour profiles the reader warns about
addpath(getenv('MEX_DIR'));
data_dir = getenv('DATA_DIR');
rand('seed', 11); randn('seed', 11);

t1 = imread(fullfile(data_dir, 'BrainT1Slice.png'));
t1 = t1(:, :, 1);  % stored as RGB with equal channels
[idx, map] = imread(fullfile(data_dir, 'BrainProtonDensitySlice.png'));
pd = reshape(255 * map(double(idx) + 1, 1), size(idx));

%% The MR pair: one class index per pixel, every class used.
for K = [3 4]
  L = Tamvel(double(t1), pd, [1 1e-4 2000 5 10 -2 4 K]);
  assert(class(L), 'double');
  assert(size(L), [217 181]);
  assert(all(L(:) == fix(L(:))));
  assert(unique(L(:))', 0:K - 1);
end

%% Plain iterations agree exactly with the independent clustering above.
cases = {
  {t1, pd, [1 0 0 0 10 0 10 3]}
  {t1, pd, [0.25 0 0 5 8 2 7 4]}
  {pd, t1, [0 0 0 0 6 0 6 2]}
  {[randn(20, 30) * 40, nan(20, 1)], cat(3, rand(20, 31) * 9, nan(20, 31)), [2 0 0 0 7 0 9 3]}
  {cat(3, randn(15, 12) * 10, rand(15, 12) * 50), rand(15, 12, 3) * 20, [0.5 0 0 0 6 0 6 4]}
};
for i = 1:numel(cases)
  [I, J, q] = deal(cases{i}{:});
  assert(isequal(Tamvel(I, J, q), plain_reference(I, J, q)), sprintf('case %d differs from the reference', i));
end

%% Classes, orientations and shapes of the inputs.
p = [1 1e-4 2000 5 10 -2 4 3];
pd8 = uint8(pd);
expected = Tamvel(double(t1), double(pd8), p);
assert(isequal(Tamvel(t1, pd8, p), expected));
assert(isequal(Tamvel(single(t1), single(pd8), p), expected));
assert(isequal(Tamvel(int16(t1), int16(pd8), p), expected));
assert(isequal(Tamvel(t1, pd8, p'), expected));
assert(isequal(Tamvel(t1, pd8, single(p)), expected));
assert(isequal(Tamvel(t1, pd8, [p 99 -1]), expected));
% Settings by name, in any order, give the vector's labels.
named = struct('class_count', 3, 'band_sigma', -2, 'last_plain_iteration', 4, 'max_iterations', 10, ...
               'window_size', 5, 'edge_weight', 2000, 'tolerance', 1e-4, 'secondary_weight', 1);
assert(isequal(Tamvel(t1, pd8, named), expected));
assert(isequal(Tamvel(t1, pd8, struct('edge_weight', 2000, 'window_size', 5, 'class_count', 3)), ...
               Tamvel(t1, pd8, [1 1e-4 2000 5 30 2 4 3])));
pint = [1 0 2000 5 10 -2 4 3];
assert(isequal(Tamvel(t1, pd8, int32(pint)), Tamvel(t1, pd8, pint)));
masks = Tamvel(t1 > 60, pd8 > 100, [1 0 1 3 5 2 2 2]);
assert(isequal(masks, Tamvel(double(t1 > 60), double(pd8 > 100), [1 0 1 3 5 2 2 2])));
assert(all(ismember(masks(:), [0 1])));
assert(size(Tamvel(rand(4, 5, 3), rand(4, 5, 3), [1 0 1 3 4 1 1 2])), [4 5]);
assert(size(Tamvel(rand(4, 5, 6, 2), rand(4, 5, 6, 2), [1 0 1 3 4 1 1 2])), [4 5 6]);
assert(size(Tamvel(rand(4, 5), rand(4, 5, 3), [1 0 1 3 4 1 1 2])), [4 5]);

%% A volume of three proton-density slices; the host drops a trailing
% singleton, so a volume needs a fourth dimension of channels...
fid = fopen(fullfile(data_dir, 'BrainProtonDensity3Slices.raw'), 'r');
volume = permute(reshape(fread(fid, Inf, 'uint8=>uint8'), [181 217 3]), [2 1 3]);
fclose(fid);
Lv = Tamvel(cat(4, volume, volume), cat(4, volume, volume / 2), [1 1e-4 500 5 8 -2 3 3]);
assert(size(Lv), [217 181 3]);
assert(unique(Lv(:))', 0:2);
% ...or "volume", true, which reads both images as one channel over their
% slices; two equal channels give its labels under twice the edge weight
% and the tolerance.
Lg = Tamvel(volume, volume / 2, [1 1e-4 500 5 8 -2 3 3], 'volume', true);
assert(size(Lg), [217 181 3]);
assert(unique(Lg(:))', 0:2);
assert(isequal(Tamvel(cat(4, volume, volume), cat(4, volume / 2, volume / 2), [1 2e-4 1000 5 8 -2 3 3]), Lg));
assert(size(Tamvel(volume, volume, [1 0 1 3 4 1 1 2], 'Volume', false)), [217 181]);

%% Every thread count gives the same labels, on the MR pair and the volume.
Lp = Tamvel(t1, pd8, p);
for n = [0 1 4]
  assert(isequal(Tamvel(t1, pd8, p, 'threads', n), Lp));
  assert(isequal(Tamvel(double(t1), pd, [1 1e-4 2000 5 10 -2 4 4], 'THREADS', n), ...
                 Tamvel(double(t1), pd, [1 1e-4 2000 5 10 -2 4 4])));
  assert(isequal(Tamvel(volume, volume / 2, [1 1e-4 500 5 8 -2 3 3], 'volume', true, 'Threads', n), Lg));
  assert(isequal(Tamvel(cat(4, volume, volume), cat(4, volume, volume / 2), [1 1e-4 500 5 8 -2 3 3], ...
                        'threads', uint8(n)), Lv));
end

%% Refusals, each identified, each followed by a working call.
good = [1 0 1 3 5 1 2 2];
expect_error('Tamvel:notEnoughInputs', magic(4), magic(4));
expect_error('Tamvel:badOption', magic(4), magic(4), good, 1);
expect_error('Tamvel:tooFewParameters', magic(4), magic(4), good(1:7));
expect_error('Tamvel:badParameters', magic(4), magic(4), [1 0 1 3 5 1 2 0]);
expect_error('Tamvel:badParameters', magic(4), magic(4), [1 0 1 3 NaN 1 2 2]);
expect_error('Tamvel:badParameters', magic(4), magic(4), [1 0 1 3 5 1 1e10 2]);
expect_error('Tamvel:badParameters', magic(4), magic(4), [1 0 1 46341 5 1 2 2]);
expect_error('Tamvel:badParameters', magic(4), magic(4), [Inf 0 1 3 5 1 2 2]);
expect_error('Tamvel:badParameters', magic(4), magic(4), [1 0 1 3 5 NaN 2 2]);
expect_error('Tamvel:geometryMismatch', magic(4), zeros(4, 5), good);
expect_error('Tamvel:geometryMismatch', magic(4), zeros(5, 4), good);
expect_error('Tamvel:geometryMismatch', rand(4, 4, 3), rand(4, 4, 2), good);
expect_error('Tamvel:geometryMismatch', rand(4, 4, 2, 2), rand(4, 4, 3, 2), good);
expect_error('Tamvel:emptyImage', zeros(0, 5), zeros(0, 5), good);
expect_error('Tamvel:emptyImage', zeros(4, 5, 0), zeros(4, 5, 0), good);
expect_error('Tamvel:badParameters', good, magic(4), magic(4));
expect_error('Tamvel:badParameters', magic(4), magic(4), struct('class_count', 2, 'window_size', 3, 'edge_weight', 1, 'sigma', 2));
expect_error('Tamvel:badParameters', magic(4), magic(4), struct('class_count', 2, 'window_size', 3));
expect_error('Tamvel:unsupportedClass', 'abcd', magic(4), good);
expect_error('Tamvel:unsupportedClass', magic(4), {1, 2}, good);
expect_error('Tamvel:unsupportedClass', magic(4), magic(4), 'abcdefgh');
expect_error('Tamvel:sparseInput', sparse(magic(4)), magic(4), good);
expect_error('Tamvel:sparseInput', magic(4), sparse(magic(4)), good);
expect_error('Tamvel:tooManyDimensions', rand(2, 2, 2, 2, 2), rand(2, 2, 2, 2, 2), good);
% Options: names, values, and the order of the checks (options before inputs).
expect_error('Tamvel:badOption', magic(4), magic(4), good, 'volumes', true);
expect_error('Tamvel:badOption', magic(4), magic(4), good, 'volume');
expect_error('Tamvel:badOption', magic(4), magic(4), good, true, 'volume');
for bad = {2.5, -1, NaN, Inf, [4 4], [], 3i, sparse(2), 'all'}
  expect_error('Tamvel:badOption', magic(4), magic(4), good, 'threads', bad{1});
end
for bad = {2, NaN, [], 'yes'}
  expect_error('Tamvel:badOption', magic(4), magic(4), good, 'volume', bad{1});
  expect_error('Tamvel:badOption', magic(4), magic(4), good, 'progress', bad{1});
end
expect_error('Tamvel:badOption', magic(4), zeros(4, 5), good, 'threads', 0.5);
try
  [a, b, c] = Tamvel(magic(4), magic(4), good);
  error('three outputs were accepted');
catch err
  assert(err.identifier, 'Tamvel:tooManyOutputs');
end

%% The help text sits beside the plug-in, and its example runs as written.
assert(~isempty(strfind(evalc('help Tamvel'), 'L = Tamvel(PRIMARY, SECONDARY, PARAMETERS)')));
run_help_example(fullfile(getenv('MEX_DIR'), 'Tamvel.m'));

disp('Tamvel Octave tests passed');
