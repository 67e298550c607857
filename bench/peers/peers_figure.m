% Composes the titled figure of the scene peers_compare segmented with every
% method: the input, the true classes and each method's labels, from the
% PGM files and peers_figure.tsv it wrote to DIR; writes DIR/peers.png.
% Each result's classes are renamed to the true classes they match, so that
% one colour means one class in every panel.
% Usage: octave-cli bench/peers/peers_figure.m DIR
arguments = argv();
folder = arguments{1};
here = fileparts(mfilename('fullpath'));
addpath(fullfile(here, '..', '..', 'examples', 'figures'), fullfile(here, '..', '..', 'examples', 'scenes'));

lines = strsplit(strtrim(fileread(fullfile(folder, 'peers_figure.tsv'))), "\n");
truth = double(imread(fullfile(folder, 'peers_truth.pgm')));
fields = strsplit(lines{1}, "\t");
panels = {figure_panel('image', imread(fullfile(folder, fields{1}))), figure_panel('labels', truth)};
titles = {fields{2}, 'true classes'};
for i = 2:numel(lines)
  fields = strsplit(lines{i}, "\t");   % file, method, settings
  [right, matched] = fraction_right(double(imread(fullfile(folder, fields{1}))), truth);
  panels{end + 1} = figure_panel('labels', matched);   % each class in the colour of its true class
  titles{end + 1} = {fields{2}, fields{3}, sprintf('%.2f%% right', 100 * right)};
end
columns = ceil(numel(panels) / 2);
panels(end + 1:2 * columns) = {[]};
titles(end + 1:2 * columns) = {''};
file = fullfile(folder, 'peers.png');
write_figure(file, reshape(panels, columns, 2)', reshape(titles, columns, 2)', ...
             struct('heading', 'One noisy scene segmented by each method, classes matched to the true ones', ...
                    'classes', max(truth(:)) + 1));
printf('wrote %s\n', file);
