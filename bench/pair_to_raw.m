% Writes the grey values of an image pair as 32-bit floats, x (columns)
% fastest, then y (rows): the layout the Tamvel benchmark reads with --pair.
% An RGB image with equal channels gives its first channel; an indexed image
% gives 255 times the first column of its colour map at each index.
% Usage: octave-cli pair_to_raw.m PRIMARY.png SECONDARY.png PRIMARY.raw SECONDARY.raw
1;

function grey = grey_values(file)
  [pixels, map] = imread(file);
  if isempty(map)
    grey = double(pixels(:, :, 1));
  else
    grey = 255 * reshape(map(double(pixels) + 1, 1), size(pixels));
  end
end

arguments = argv();
warning('off', 'all');  % sample PNGs carry colour profiles the reader warns about
for i = 1:2
  file = fopen(arguments{i + 2}, 'w');
  fwrite(file, single(grey_values(arguments{i})'), 'float32');
  fclose(file);
end
