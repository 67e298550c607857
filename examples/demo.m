% Segments sample images (or yours) with Sorvik and Tamvel, without and with
% the edge term, and writes the results side by side as PNG files:
%   sorvik_demo.png      input | plain clustering | edge-weighted clustering
%   tamvel_demo.png      primary | secondary | plain | edge-weighted
%   sorvik_settings.png  Sorvik's result for three window sizes (rows) and
%                        three edge weights (columns)
% Run through scripts/demo.sh, which sets the environment variables read here.
1;

function img = read_image(file)
  [img, map] = imread(file);
  if ~isempty(map)  % indexed: look the grey value up in the colour map
    img = 255 * reshape(map(double(img) + 1, 1), size(img));
  end
  img = double(img);
  if size(img, 3) == 3 && isequal(img(:, :, 1), img(:, :, 2), img(:, :, 3))
    img = img(:, :, 1);  % grey stored as colour
  end
end

function [index, map] = figure_palette()
  % 64 grey levels for pictures, then one colour per class (colour-blind safe).
  greys = repmat((0:63)' / 63, 1, 3);
  classes = [0 114 178; 230 159 0; 0 158 115; 204 121 167; 86 180 233; 213 94 0; 240 228 66; 60 60 60] / 255;
  map = [greys; classes; 1 1 1];
  index = struct('grey', 0, 'class', 64, 'classes', size(classes, 1), 'white', size(map, 1) - 1);
end

function panel = picture_panel(img)
  % The first (or only) channel stretched over the grey levels.
  [index, ~] = figure_palette();
  img = double(img(:, :, 1));
  lo = min(img(:)); hi = max(img(:));
  panel = index.grey + round(63 * (img - lo) / max(hi - lo, eps));
end

function panel = label_panel(L)
  [index, ~] = figure_palette();
  panel = index.class + mod(L, index.classes);
end

function write_figure(file, panels)
  % PANELS is a cell array of rows of equal-height panels, separated by white
  % gaps; written as an indexed PNG, which keeps the file small.
  [index, map] = figure_palette();
  gap = 8;
  rows = {};
  for r = 1:size(panels, 1)
    row = panels{r, 1};
    for c = 2:size(panels, 2)
      row = [row, index.white * ones(size(row, 1), gap), panels{r, c}];
    end
    rows{end + 1} = row;
  end
  picture = rows{1};
  for r = 2:numel(rows)
    picture = [picture; index.white * ones(gap, size(picture, 2)); rows{r}];
  end
  imwrite(uint8(picture), map, file);
  printf('wrote %s\n', file);
end

addpath(getenv('DEMO_MEX_DIR'));
out = getenv('DEMO_OUT_DIR');
data = getenv('DEMO_DATA_DIR');
warning('off', 'all');  % the sample PNGs carry colour profiles the reader warns about
randn('seed', 1);

% Sorvik. By default the coins photograph with Gaussian noise of standard
% deviation 40 added, two classes: the noise makes plain clustering speckle,
% which the edge term (window 5, weight 1000) removes.
image_file = getenv('DEMO_IMAGE');
if isempty(image_file)
  clean = read_image(fullfile(data, 'coins.png'));
  img = clean + 40 * randn(size(clean));
  classes = 2; weight = 1000; name = 'coins.png with noise of standard deviation 40';
else
  img = read_image(image_file);
  classes = 4; weight = 600; name = image_file;
end
plain = Sorvik(img, [5 0 1e-4 30 4 classes]);
edged = Sorvik(img, [5 weight 1e-4 30 4 classes]);
printf('Sorvik on %s: %d x %d, %d classes, window 5, edge weight 0 and %g\n', ...
       name, size(img, 1), size(img, 2), classes, weight);
write_figure(fullfile(out, 'sorvik_demo.png'), {picture_panel(img), label_panel(plain), label_panel(edged)});

% The same image for three window sizes and three edge weights: what counts
% is about (pixels in the window - 1) x weight, so the anti-diagonal cells
% look alike; the bottom right is smoothed too much.
windows = [3 5 9];
weights = weight * [0.3 1 3];
grid = cell(3, 3);
for i = 1:3
  for j = 1:3
    grid{i, j} = label_panel(Sorvik(img, [windows(i) weights(j) 1e-4 30 4 classes]));
  end
end
printf('Sorvik settings grid: windows %s (rows), edge weights %s (columns)\n', ...
       mat2str(windows), mat2str(weights));
write_figure(fullfile(out, 'sorvik_settings.png'), grid);

% Tamvel. By default the T1 (primary) and proton-density (secondary) slices
% of one brain, each with Gaussian noise of standard deviation 20 added,
% four classes; secondary weight 1, window 5, band sigma 2, edge weight
% 10000 (the penalty sums edge-indicator values of at most 1).
primary_file = getenv('DEMO_PRIMARY');
if isempty(primary_file)
  primary = read_image(fullfile(data, 'BrainT1Slice.png'));
  secondary = read_image(fullfile(data, 'BrainProtonDensitySlice.png'));
  primary = primary + 20 * randn(size(primary));
  secondary = secondary + 20 * randn(size(secondary));
  name = 'the T1 / proton-density pair with noise of standard deviation 20';
else
  primary = read_image(primary_file);
  secondary = read_image(getenv('DEMO_SECONDARY'));
  name = [primary_file ' and ' getenv('DEMO_SECONDARY')];
end
classes = 4;
plain = Tamvel(primary, secondary, [1 1e-4 0 5 30 2 4 classes]);
edged = Tamvel(primary, secondary, [1 1e-4 10000 5 30 2 4 classes]);
printf('Tamvel on %s: %d x %d, %d classes, edge weight 0 and 10000\n', ...
       name, size(primary, 1), size(primary, 2), classes);
write_figure(fullfile(out, 'tamvel_demo.png'), ...
             {picture_panel(primary), picture_panel(secondary), label_panel(plain), label_panel(edged)});
