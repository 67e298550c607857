% edgeseg_settings  Suggest settings for Sorvik or Tamvel from the image itself.
%
%   [S, EST] = edgeseg_settings(IMAGE, K)
%   [S, EST] = edgeseg_settings(PRIMARY, SECONDARY, K)
%   [S, EST] = edgeseg_settings(..., "volume", TF)
%   [S, EST] = edgeseg_settings(..., "mask", M)
%
%   Measures the noise of IMAGE and how far apart its K classes lie, and
%   returns a struct S of named settings for Sorvik (window size 5, the
%   edge weight of the help's formula, the default tolerance and
%   iterations), ready for L = Sorvik(IMAGE, S). With two images it
%   returns settings for L = Tamvel(PRIMARY, SECONDARY, S).
%
%   The noise standard deviation s is estimated robustly: the image is
%   filtered with the high-pass mask [1 -2 1; -2 4 -2; 1 -2 1], which
%   removes flat regions and linear ramps, and the median absolute
%   deviation of that residual, over every slice and channel, is scaled to
%   a standard deviation (edges are few, so the median ignores them;
%   non-finite pixels are left out). The class spacing d is taken from
%   plain clustering (Sorvik with the edge term off): for each class the
%   distance from its centre to the nearest other centre, and the median of
%   these. The edge weight is then 4 x d x s / (n - 1), with n = 21 pixels
%   in the disc of window 5 (see "Choosing the edge weight" in help Sorvik).
%   For Tamvel, whose penalty is scaled by an edge indicator that stays
%   well below 1 even in flat noisy regions, the weight is 50/3 times that
%   (the ratio of the two commands' examples at the same noise, 600 and
%   10000), and the secondary weight is (s of PRIMARY / s of SECONDARY)^2,
%   which gives both images an equal say.
%
%   EST holds what was used: EST.noise_sd (s; for two images the primary's,
%   with EST.secondary_noise_sd), EST.class_spacing (d), EST.centres (the
%   plain clustering's class centres, one row per class) and
%   EST.disc_pixels (n).
%
%   EST.suggested_centres (K x channels) are starting centres taken from the
%   data's own distribution, so that every class starts with pixels: class k
%   starts at the (k - 1/2)/K quantile of the pixels along their first
%   principal axis (for a grey image: of their values), classes ordered from
%   dark to bright in the first channel. With two images they are placed in
%   the metric of Tamvel's cost (the secondary scaled by the square root of
%   the secondary weight), and EST.suggested_secondary_centres (K x the
%   primary's channels) holds their secondary part. Unlike the evenly spread
%   start, they leave no class empty when the two images' contrasts run
%   opposite ways. Pass them as the calls' starting centres:
%     L = Sorvik(I, s, "centres", est.suggested_centres);
%     L = Tamvel(P, S, s, "centres", est.suggested_centres, ...
%                "secondary_centres", est.suggested_secondary_centres);
%
%   To override a suggestion, change its field before the call:
%     [s, est] = edgeseg_settings(I, 3);
%     s.edge_weight = 2 * s.edge_weight;    % smoother regions
%     s.window_size = 7;                    % wider reach
%     L = Sorvik(I, s);
%
%   With "mask", M (as Sorvik takes it: non-zero inside), everything is
%   measured inside the mask only: the noise from residuals that lie wholly
%   inside, the classes and the starting centres from the pixels inside.
%   Pass the same mask to the call.
%
%   A grey image stored as colour (three equal channels) is best given as
%   I(:, :, 1). A grey volume (rows x columns x depth) needs "volume", true,
%   as in the call to Sorvik itself; the noise is measured slice by slice.
%
%   See also Sorvik, Tamvel.
function [s, est] = edgeseg_settings(varargin)
  volume = false;
  mask = [];
  while numel(varargin) >= 4 && ischar(varargin{end - 1}) && any(strcmpi(varargin{end - 1}, {'volume', 'mask'}))
    if strcmpi(varargin{end - 1}, 'volume')
      volume = logical(varargin{end});
    else
      mask = varargin{end};
    end
    varargin(end - 1:end) = [];
  end
  if numel(varargin) == 2
    images = varargin(1);
  elseif numel(varargin) == 3
    images = varargin(1:2);
  else
    error('edgeseg_settings:badInputs', 'call it as edgeseg_settings(IMAGE, K) or edgeseg_settings(PRIMARY, SECONDARY, K)');
  end
  K = varargin{end};
  if ~(isnumeric(K) && isscalar(K) && isreal(K) && K == fix(K) && K >= 1)
    error('edgeseg_settings:badInputs', 'K must be one whole number >= 1');
  end
  for i = 1:numel(images)
    if ~((isnumeric(images{i}) || islogical(images{i})) && isreal(images{i}) && ~isempty(images{i}))
      error('edgeseg_settings:badInputs', 'the images must be real numeric arrays with at least one pixel');
    end
    images{i} = double(images{i});
  end
  if numel(images) == 2
    check_pair_geometry(images{1}, images{2}, volume);
  end

  window = 5;
  disc_pixels = 21;  % pixels of the disc of diameter 5: the 5 x 5 block without corners
  options = {'volume', volume};
  if ~isempty(mask)
    options = [options, {'mask', mask}];
  end
  plain = Sorvik(images{1}, [0 0 1e-4 30 4 K], options{:});
  for i = 1:numel(images)
    images{i} = outside_as_nan(images{i}, plain);
  end
  noise_sd = noise_estimate(images{1});
  values = pixel_values(images{1}, plain);
  [centres, spacing] = class_spacing(values, plain, K);
  weight = 4 * spacing * noise_sd / (disc_pixels - 1);

  est = struct('noise_sd', noise_sd, 'class_spacing', spacing, 'centres', centres, 'disc_pixels', disc_pixels);
  if numel(images) == 1
    s = struct('class_count', K, 'window_size', window, 'edge_weight', weight, 'tolerance', 1e-4, ...
               'max_iterations', 30, 'last_plain_iteration', 4);
    est.suggested_centres = suggested_centres(values, K);
  else
    est.secondary_noise_sd = noise_estimate(images{2});
    secondary_weight = 1;
    if est.secondary_noise_sd > 0 && noise_sd > 0
      secondary_weight = (noise_sd / est.secondary_noise_sd) ^ 2;
    end
    s = struct('class_count', K, 'window_size', window, 'edge_weight', weight * 50 / 3, ...
               'secondary_weight', secondary_weight, 'tolerance', 1e-4, 'max_iterations', 30, ...
               'band_sigma', 2, 'last_plain_iteration', 4);
    % Tamvel reads as many secondary channels as the primary has. The
    % centres are placed in the metric of its cost, where the secondary
    % distance is scaled by the secondary weight.
    secondary = pixel_values(images{2}, plain)(:, 1:columns(values));
    scale = sqrt(secondary_weight);
    joint = suggested_centres([values, scale * secondary], K);
    est.suggested_centres = joint(:, 1:columns(values));
    est.suggested_secondary_centres = joint(:, columns(values) + 1:end) / scale;
  end
end

% The pixels outside the mask (labelled -1) as NaN, which every estimate
% leaves out: a residual that reaches past the mask's border too.
function img = outside_as_nan(img, labels)
  outside = labels(:) < 0;
  if any(outside)
    img = reshape(img, numel(labels), []);
    img(outside, :) = NaN;
    img = reshape(img, [size(labels) size(img, 2)]);
  end
end

% One row per pixel, one column per channel (a volume's depth is pixels).
function values = pixel_values(img, labels)
  values = reshape(img, numel(labels), []);
end

function check_pair_geometry(primary, secondary, volume)
  spatial = 2 + volume;
  a = [size(primary) ones(1, spatial)];
  b = [size(secondary) ones(1, spatial)];
  if ~isequal(a(1:spatial), b(1:spatial)) || numel(secondary) / prod(b(1:spatial)) < numel(primary) / prod(a(1:spatial))
    error('edgeseg_settings:geometryMismatch', ...
          'SECONDARY must have the rows, columns (and depth) of PRIMARY and at least its channels');
  end
end

function sd = noise_estimate(img)
  % For Gaussian noise of standard deviation s the residual has standard
  % deviation 6 s (the root of the sum of the mask's squares), and the
  % median absolute deviation of a Gaussian is 0.6745 of its deviation.
  mask = [1 -2 1; -2 4 -2; 1 -2 1];
  residual = [];
  planes = size(img);
  for p = 1:prod(planes(3:end))
    r = conv2(img(:, :, p), mask, 'valid');
    residual = [residual; r(isfinite(r))];  %#ok<AGROW>
  end
  if isempty(residual)
    sd = 0;
    return;
  end
  sd = median(abs(residual - median(residual))) / 0.6745 / 6;
end

function [centres, spacing] = class_spacing(values, labels, K)
  % Centres as the means of each class's finite pixels, over the channels.
  labels = labels(:);
  finite = all(isfinite(values), 2);
  centres = nan(K, size(values, 2));
  for k = 0:K - 1
    members = labels == k & finite;
    if any(members)
      centres(k + 1, :) = mean(values(members, :), 1);
    end
  end
  used = centres(all(isfinite(centres), 2), :);
  if size(used, 1) < 2
    spacing = 0;
    return;
  end
  nearest = inf(size(used, 1), 1);
  for a = 1:size(used, 1)
    for b = 1:size(used, 1)
      if a ~= b
        nearest(a) = min(nearest(a), norm(used(a, :) - used(b, :)));
      end
    end
  end
  spacing = median(nearest);
end

function centres = suggested_centres(values, K)
  % Class k starts at the (k - 1/2) / K quantile of the finite pixels along
  % their first principal axis (for one channel: of their values), as the
  % pixel at that rank. Centres on one line leave every pixel the same
  % distance across it, so its nearest centre is the nearest along the line,
  % and the pixel at each quantile falls to its own class: every class
  % starts with pixels unless two quantiles coincide. The axis points
  % towards the first channel's bright end, so on a grey image class 1 is
  % the darkest, as in Sorvik's evenly spread start.
  values = values(all(isfinite(values), 2), :);
  n = rows(values);
  if n == 0
    centres = nan(K, columns(values));
    return;
  end
  ranks = floor(((1:K)' - 0.5) / K * n) + 1;
  if columns(values) == 1
    ordered = sort(values);
    centres = ordered(ranks);
    return;
  end
  middle = mean(values, 1);
  centred = values - middle;
  [vectors, eigenvalues] = eig(centred' * centred);
  [~, top] = max(diag(eigenvalues));
  direction = vectors(:, top);
  leading = find(abs(direction) >= max(abs(direction)) / 2, 1);
  direction = direction * sign(direction(leading));
  ordered = sort(centred * direction);
  centres = middle + ordered(ranks) * direction';
end

%!test
%! % The noise estimate on the demo's scene of known noise: within 15% for sd 5 to 50.
%! for sd = [5 10 20 30 40 50]
%!   randn('seed', sd);
%!   [x, y] = meshgrid(1:256, 1:256);
%!   truth = double(hypot(x - 95, y - 128) < 70) + 2 * (x > 170 & x < 235 & y > 30 & y < 226);
%!   means = [50 125 200];
%!   img = means(truth + 1) + sd * randn(size(truth));
%!   [s, est] = edgeseg_settings(img, 3);
%!   assert(abs(est.noise_sd - sd) / sd < 0.15, sprintf('sd %d estimated as %.2f', sd, est.noise_sd));
%! end

%!test
%! % The weight follows the help's formula from the estimates, and the struct drives Sorvik.
%! randn('seed', 1);
%! truth = kron([0 1 2; 2 0 1], ones(40));
%! img = 100 * truth + 30 * randn(size(truth));
%! [s, est] = edgeseg_settings(img, 3);
%! assert(s.edge_weight, 4 * est.class_spacing * est.noise_sd / 20, 1e-9);
%! assert(abs(est.class_spacing - 100) < 10);
%! assert(abs(s.edge_weight - 600) < 120);
%! L = Sorvik(img, s);
%! assert(mean(L(:) == truth(:)) > 0.99);

%!test
%! % Two images: the secondary weight evens out their noise.
%! randn('seed', 2);
%! truth = kron([0 1; 1 0], ones(40));
%! [s, est] = edgeseg_settings(100 * truth + 10 * randn(80), 100 * truth + 20 * randn(80), 2);
%! assert(abs(s.secondary_weight - 0.25) < 0.06);
%! assert(isfield(s, 'band_sigma'));

%!test
%! % Two weightings whose contrasts run opposite ways: the suggested centres
%! % run from dark to bright in the primary and bright to dark in the
%! % secondary, and under Tamvel's cost every class starts with pixels.
%! randn('seed', 3);
%! truth = kron([0 1; 2 3], ones(30));
%! primary = 40 * truth + 8 * randn(size(truth));
%! secondary = 200 - 40 * truth + 8 * randn(size(truth));
%! [s, est] = edgeseg_settings(primary, secondary, 4);
%! assert(size(est.suggested_centres), [4 1]);
%! assert(all(diff(est.suggested_centres) > 0) && all(diff(est.suggested_secondary_centres) < 0));
%! cost = (primary(:) - est.suggested_centres') .^ 2 + ...
%!        s.secondary_weight * (secondary(:) - est.suggested_secondary_centres') .^ 2;
%! [~, start] = min(cost, [], 2);
%! assert(all(accumarray(start, 1, [4 1]) > 0));

%!error id=edgeseg_settings:geometryMismatch edgeseg_settings(ones(4), ones(5), 2)
%!error id=edgeseg_settings:geometryMismatch edgeseg_settings(ones(4, 4, 3), ones(4, 4, 2), 2)
%!error id=edgeseg_settings:badInputs edgeseg_settings(ones(4))
%!error id=edgeseg_settings:badInputs edgeseg_settings(ones(4), 0)
%!error id=edgeseg_settings:badInputs edgeseg_settings({1}, 2)
