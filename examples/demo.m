% Segments a noisy scene (or your image) with Sorvik and a noisy image pair
% (or yours) with Tamvel, without and with the edge term, and writes the
% results side by side as PNG files. Run through scripts/demo.sh.
1;

function img = read_image(file)
  [img, map] = imread(file);
  if ~isempty(map)  % indexed: look the grey value up in the colour map
    img = 255 * reshape(map(double(img) + 1, 1), size(img));
  end
  img = double(img);
end

function rgb = as_picture(img)
  % Grey or colour values stretched to 0..255 for display.
  img = double(img);
  lo = min(img(:)); hi = max(img(:));
  rgb = uint8(255 * (img - lo) / max(hi - lo, eps));
  if size(rgb, 3) == 1
    rgb = repmat(rgb, [1 1 3]);
  elseif size(rgb, 3) ~= 3
    rgb = repmat(rgb(:, :, 1), [1 1 3]);
  end
end

function rgb = labels_picture(L)
  palette = uint8([230 25 75; 60 180 75; 255 225 25; 0 130 200; 245 130 48; 145 30 180; 70 240 240; 240 50 230]);
  rgb = reshape(palette(mod(L(:), size(palette, 1)) + 1, :), [size(L) 3]);
end

function write_panels(file, panels)
  gap = 255 * ones(size(panels{1}, 1), 8, 3, 'uint8');
  row = panels{1};
  for i = 2:numel(panels)
    row = [row, gap, panels{i}];
  end
  imwrite(row, file);
  printf('wrote %s\n', file);
end

function [primary, secondary] = synthetic_pair()
  % Three regions; the secondary image weights them differently, as two MR
  % weightings of one slice do.
  [x, y] = meshgrid(1:320, 1:220);
  region = ones(220, 320);
  region((x - 110) .^ 2 + (y - 110) .^ 2 < 70 ^ 2) = 2;
  region(x > 190 & x < 290 & y > 40 & y < 180) = 3;
  primary = [60 140 210](region) + 28 * randn(220, 320);
  secondary = [170 60 120](region) + 28 * randn(220, 320);
end

addpath(getenv('DEMO_MEX_DIR'));
out = getenv('DEMO_OUT_DIR');
randn('seed', 1);
[scene, scene2] = synthetic_pair();

% Sorvik: window 5, plain iterations 0..4, up to 30 iterations, 3 classes.
image_file = getenv('DEMO_IMAGE');
if isempty(image_file)
  img = scene; classes = 3; name = 'a synthetic scene';
else
  img = read_image(image_file); classes = 4; name = image_file;
end
plain = Sorvik(img, [5 0 1e-4 30 4 classes]);
edged = Sorvik(img, [5 600 1e-4 30 4 classes]);
printf('Sorvik on %s: %d x %d, %d classes\n', name, size(img, 1), size(img, 2), classes);
write_panels(fullfile(out, 'sorvik_demo.png'), {as_picture(img), labels_picture(plain), labels_picture(edged)});

% Tamvel: secondary weight 1, edge weight 10000 (the penalty sums edge-indicator
% values of at most 1), window 5, band sigma 2.
primary_file = getenv('DEMO_PRIMARY');
if isempty(primary_file)
  primary = scene; secondary = scene2; classes = 3; name = 'a synthetic pair';
else
  primary = read_image(primary_file); secondary = read_image(getenv('DEMO_SECONDARY'));
  classes = 4; name = [primary_file ' and ' getenv('DEMO_SECONDARY')];
end
plain = Tamvel(primary, secondary, [1 1e-4 0 5 30 2 4 classes]);
edged = Tamvel(primary, secondary, [1 1e-4 10000 5 30 2 4 classes]);
printf('Tamvel on %s: %d x %d, %d classes\n', name, size(primary, 1), size(primary, 2), classes);
write_panels(fullfile(out, 'tamvel_demo.png'), ...
             {as_picture(primary), as_picture(secondary), labels_picture(plain), labels_picture(edged)});
