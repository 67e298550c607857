% Writes a PNG's pixels as 32-bit floats, x (columns) fastest, then y (rows),
% then channel: the layout the benchmark reads with --camera or --colour.
% Usage: octave-cli png_to_raw.m INPUT.png OUTPUT.raw
arguments = argv();
warning('off', 'all');  % sample PNGs carry colour profiles the reader warns about
pixels = imread(arguments{1});
file = fopen(arguments{2}, 'w');
fwrite(file, single(permute(pixels, [2 1 3])), 'float32');
fclose(file);
