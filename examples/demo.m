% Segments scenes with Sorvik and Tamvel, without and with the edge term, and
% writes titled pictures to DEMO_OUT_DIR. By default, scenes it makes itself,
% whose true classes are known, so it prints how many pixels each call got
% right:
%   sorvik_shapes.png    Sorvik on a noisy grey scene of shapes
%   tamvel_shapes.png    Tamvel on two weightings of the same shapes
%   sorvik_volume.png    Sorvik on a small noisy volume, a row of slices
%   sorvik_settings.png  three window sizes (rows) by three edge weights
%                        (columns), on the coins photograph when the sample
%                        images are there, else on the shapes
% and, when the sample images are in DEMO_DATA_DIR:
%   sorvik_coins.png     Sorvik on coins.png with noise added
%   tamvel_brain.png     Tamvel on a T1 / proton-density pair with noise added
% With DEMO_IMAGE, Sorvik on that file instead (sorvik_image.png and
% sorvik_image_settings.png, or for a multi-page TIFF, read as a volume,
% sorvik_image_volume.png); with DEMO_PRIMARY and DEMO_SECONDARY, Tamvel on
% that pair (tamvel_pair.png). An input that cannot be used ends the demo
% with one line on standard error and exit status 2, before anything is
% written. Run through scripts/demo.sh, which sets the environment variables.
1;

function stop_with(message)
  fprintf(stderr, 'demo: %s\n', message);
  exit(2);
end

function [img, is_volume] = read_image(file)
  % Any file imread reads; a multi-page file is read as a volume of its
  % pages. A grey volume comes back as rows x columns x depth, a colour one
  % as rows x columns x depth x 3.
  try
    info = imfinfo(file);
    if numel(info) > 1 && (numel(unique([info.Width])) > 1 || numel(unique([info.Height])) > 1)
      stop_with(sprintf('the pages of %s differ in size, so they make no volume', file));
    elseif numel(info) > 1
      img = imread(file, 'Index', 'all');    % rows x columns x channels x pages
      map = [];
    else
      [img, map] = imread(file);
    end
  catch
    stop_with(sprintf('cannot read %s as an image', file));
  end
  is_volume = numel(info) > 1;
  if ~isempty(map)  % indexed: look the grey value up in the colour map
    img = 255 * reshape(map(double(img) + 1, 1), size(img));
  end
  img = double(img);
  if size(img, 3) == 3 && isequal(img(:, :, 1, :), img(:, :, 2, :), img(:, :, 3, :))
    img = img(:, :, 1, :);  % grey stored as colour
  end
  if is_volume
    img = permute(img, [1 2 4 3]);
  end
  if isempty(img)
    stop_with(sprintf('%s holds no pixels', file));
  end
end

function L = segment(command, images, settings, is_volume)
  % A grey volume (rows x columns x depth) needs the option "volume", else
  % the host's array reads as one slice with depth channels. A colour
  % volume (rows x columns x depth x 3) is a volume as it stands.
  if is_volume && size(images{1}, 4) == 1
    L = feval(command, images{:}, settings, 'volume', true);
  else
    L = feval(command, images{:}, settings);
  end
end

function text = call_text(command, settings)
  % The call as one would type it, with settings written short (1e-4).
  values = arrayfun(@short_number, settings, 'UniformOutput', false);
  inputs = 'I';
  if strcmp(command, 'Tamvel')
    inputs = 'P, S';
  end
  text = sprintf('%s(%s, [%s])', command, inputs, strjoin(values, ' '));
end

function text = short_number(value)
  text = sprintf('%g', value);
  if value ~= 0 && abs(value) < 1e-3
    text = regexprep(sprintf('%.0e', value), 'e([-+])0*', 'e$1');
  end
end

function text = extent_text(img, is_volume)
  % rows x columns, then the depth of a volume and the channels of a
  % many-channel image.
  text = sprintf('%d x %d', size(img, 1), size(img, 2));
  if is_volume
    text = sprintf('%s x %d', text, size(img, 3));
  end
  channels = size(img, 3 + is_volume);
  if channels > 1
    text = sprintf('%s, %d channels', text, channels);
  end
end

function text = percent_right(L, truth)
  text = sprintf('%.2f%% right', 100 * fraction_right(L, truth));
end

function value = three_digits(value)
  value = str2double(sprintf('%.3g', value));
end

function panels = slice_row(kind, volume, slices)
  panels = arrayfun(@(z) figure_panel(kind, volume(:, :, z, :)), slices, 'UniformOutput', false);
end

function write_settings_grid(file, img, name, classes, weight, truth)
  % What counts is about (pixels in the window - 1) x weight, so the
  % anti-diagonal cells look alike; the bottom right is smoothed too much.
  windows = [3 5 9];
  weights = weight * [0.3 1 3];
  panels = cell(3, 3); titles = cell(3, 3);
  for i = 1:3
    for j = 1:3
      settings = [windows(i) weights(j) 1e-4 30 4 classes];
      L = Sorvik(img, settings);
      panels{i, j} = figure_panel('labels', L);
      titles{i, j} = call_text('Sorvik', settings);
      if ~isempty(truth)
        titles{i, j} = {titles{i, j}, percent_right(L, truth)};
      end
    end
  end
  layout = struct('heading', sprintf('Sorvik on %s, %d classes: window size by edge weight', name, classes), ...
                  'row_labels', {arrayfun(@(w) sprintf('window %d', w), windows, 'UniformOutput', false)}, ...
                  'column_labels', {arrayfun(@(w) sprintf('edge weight %g', w), weights, 'UniformOutput', false)}, ...
                  'classes', classes);
  write_figure(file, panels, titles, layout);
  printf('Sorvik settings grid on %s: windows %s (rows), edge weights %s (columns)\n  wrote %s\n', name, ...
         strjoin(arrayfun(@short_number, windows, 'UniformOutput', false), ', '), ...
         strjoin(arrayfun(@short_number, weights, 'UniformOutput', false), ', '), file);
end

here = fileparts(mfilename('fullpath'));
addpath(fullfile(here, 'figures'), fullfile(here, 'scenes'), getenv('DEMO_MEX_DIR'));
out = getenv('DEMO_OUT_DIR');
data = getenv('DEMO_DATA_DIR');
warning('off', 'all');  % the sample PNGs carry colour profiles the reader warns about

% Every input is read and checked before anything is segmented or written.
image_file = getenv('DEMO_IMAGE');
primary_file = getenv('DEMO_PRIMARY');
secondary_file = getenv('DEMO_SECONDARY');
if ~isempty(image_file)
  [user_image, user_volume] = read_image(image_file);
end
if ~isempty(primary_file)
  [user_primary, primary_volume] = read_image(primary_file);
  [user_secondary, secondary_volume] = read_image(secondary_file);
  if primary_volume ~= secondary_volume || ~isequal(size(user_primary), size(user_secondary))
    stop_with(sprintf('%s (%s) and %s (%s) differ in size; Tamvel needs two images of one geometry', ...
                      primary_file, extent_text(user_primary, primary_volume), ...
                      secondary_file, extent_text(user_secondary, secondary_volume)));
  end
end

if isempty(image_file) && isempty(primary_file)
  % Sorvik on a synthetic scene: three classes 75 grey levels apart, noise
  % of standard deviation 40. The weight removes speckle up to about two
  % noise standard deviations (4 x 75 x 40 / 20, window 5).
  randn('seed', 1);
  noise = 40; classes = 3;
  [truth, primary, secondary] = shapes_scene(256, 256, noise);
  plain_settings = [5 0 1e-4 30 4 classes];
  edge_settings = [5 600 1e-4 30 4 classes];
  plain = Sorvik(primary, plain_settings);
  edged = Sorvik(primary, edge_settings);
  printf('Sorvik on shapes 256 x 256 with noise sd %d, %d classes: plain clustering %s, edge-weighted %s\n', ...
         noise, classes, percent_right(plain, truth), percent_right(edged, truth));
  file = fullfile(out, 'sorvik_shapes.png');
  write_figure(file, {figure_panel('labels', truth), figure_panel('image', primary), ...
                      figure_panel('labels', plain), figure_panel('labels', edged)}, ...
               {'true classes', {'input I', sprintf('shapes + noise sd %d', noise)}, ...
                {'plain clustering', call_text('Sorvik', plain_settings), percent_right(plain, truth)}, ...
                {'edge-weighted', call_text('Sorvik', edge_settings), percent_right(edged, truth)}}, ...
               struct('heading', 'Sorvik on a synthetic scene whose classes are known', 'classes', classes));
  printf('  wrote %s\n', file);
  shapes = primary; shapes_truth = truth;

  % Tamvel on both weightings of the scene: the secondary image separates
  % the disc from the background, which the primary alone confuses more.
  plain_settings = [1 1e-4 0 5 30 2 4 classes];
  edge_settings = [1 1e-4 10000 5 30 2 4 classes];
  plain = Tamvel(primary, secondary, plain_settings);
  edged = Tamvel(primary, secondary, edge_settings);
  printf('Tamvel on the shapes pair with noise sd %d, %d classes: plain clustering %s, edge-weighted %s\n', ...
         noise, classes, percent_right(plain, truth), percent_right(edged, truth));
  file = fullfile(out, 'tamvel_shapes.png');
  write_figure(file, {figure_panel('labels', truth), figure_panel('image', primary), figure_panel('image', secondary), ...
                      figure_panel('labels', plain), figure_panel('labels', edged)}, ...
               {'true classes', {'primary P', sprintf('shapes + noise sd %d', noise)}, ...
                {'secondary S', sprintf('shapes + noise sd %d', noise)}, ...
                {'edge weight 0', call_text('Tamvel', plain_settings), percent_right(plain, truth)}, ...
                {'edge-weighted', call_text('Tamvel', edge_settings), percent_right(edged, truth)}}, ...
               struct('heading', 'Tamvel on two weightings of the synthetic scene', 'classes', classes));
  printf('  wrote %s\n', file);

  % Sorvik on a volume of 8 slices: a ball and a bar, given as a
  % rows x columns x depth array with the option "volume". The edge term
  % works within each slice; the centres are shared by the whole volume.
  [truth, volume] = shapes_scene(96, 96, noise, 8);
  plain_settings = [5 0 1e-4 30 4 classes];
  edge_settings = [5 600 1e-4 30 4 classes];
  plain = segment('Sorvik', {volume}, plain_settings, true);
  edged = segment('Sorvik', {volume}, edge_settings, true);
  printf('Sorvik on a volume 96 x 96 x 8 with noise sd %d: plain clustering %s, edge-weighted %s\n', ...
         noise, percent_right(plain, truth), percent_right(edged, truth));
  file = fullfile(out, 'sorvik_volume.png');
  slices = 1:8;
  write_figure(file, [slice_row('labels', truth, slices); slice_row('image', volume, slices); ...
                      slice_row('labels', plain, slices); slice_row('labels', edged, slices)], ...
               repmat(arrayfun(@(z) sprintf('slice %d', z), slices, 'UniformOutput', false), 4, 1), ...
               struct('heading', sprintf('Sorvik on a 96 x 96 x 8 volume, noise sd %d', noise), ...
                      'row_labels', {{'true classes', 'input I', ...
                                      {'plain', call_text('Sorvik', plain_settings), percent_right(plain, truth)}, ...
                                      {'edge-weighted', call_text('Sorvik', edge_settings), percent_right(edged, truth)}}}, ...
                      'classes', classes));
  printf('  wrote %s\n', file);

  samples = {'coins.png', 'BrainT1Slice.png', 'BrainProtonDensitySlice.png'};
  have_samples = ~isempty(data) && all(cellfun(@(f) exist(fullfile(data, f), 'file') == 2, samples));
  if ~have_samples
    write_settings_grid(fullfile(out, 'sorvik_settings.png'), shapes, 'the shapes, noise sd 40', classes, 600, ...
                        shapes_truth);
  else
    % The coins photograph with noise of standard deviation 40, two classes:
    % the noise makes plain clustering speckle, which the edge term
    % (window 5, weight 1000) removes.
    randn('seed', 1);
    clean = read_image(fullfile(data, 'coins.png'));
    img = clean + 40 * randn(size(clean));
    plain_settings = [5 0 1e-4 30 4 2];
    edge_settings = [5 1000 1e-4 30 4 2];
    plain = Sorvik(img, plain_settings);
    edged = Sorvik(img, edge_settings);
    file = fullfile(out, 'sorvik_coins.png');
    write_figure(file, {figure_panel('image', img), figure_panel('labels', plain), figure_panel('labels', edged)}, ...
                 {{'input I', 'coins.png + noise sd 40'}, {'plain clustering', call_text('Sorvik', plain_settings)}, ...
                  {'edge-weighted', call_text('Sorvik', edge_settings)}}, ...
                 struct('heading', sprintf('Sorvik on coins.png (%d x %d) with noise added, 2 classes', size(img, 1), ...
                                           size(img, 2)), 'classes', 2));
    printf('Sorvik on coins.png with noise sd 40: %d x %d, 2 classes, window 5, edge weight 0 and 1000\n  wrote %s\n', ...
           size(img, 1), size(img, 2), file);
    write_settings_grid(fullfile(out, 'sorvik_settings.png'), img, 'coins.png + noise sd 40', 2, 1000, []);

    % The T1 (primary) and proton-density (secondary) slices of one brain,
    % each with noise of standard deviation 20, four classes; edge weight
    % 10000 (the penalty sums edge-indicator values of at most 1).
    primary = read_image(fullfile(data, 'BrainT1Slice.png'));
    secondary = read_image(fullfile(data, 'BrainProtonDensitySlice.png'));
    primary = primary + 20 * randn(size(primary));
    secondary = secondary + 20 * randn(size(secondary));
    plain_settings = [1 1e-4 0 5 30 2 4 4];
    edge_settings = [1 1e-4 10000 5 30 2 4 4];
    plain = Tamvel(primary, secondary, plain_settings);
    edged = Tamvel(primary, secondary, edge_settings);
    file = fullfile(out, 'tamvel_brain.png');
    write_figure(file, {figure_panel('image', primary), figure_panel('image', secondary), ...
                        figure_panel('labels', plain), figure_panel('labels', edged)}, ...
                 {{'primary P', 'T1 + noise sd 20'}, {'secondary S', 'proton density + noise sd 20'}, ...
                  {'edge weight 0', call_text('Tamvel', plain_settings)}, ...
                  {'edge-weighted', call_text('Tamvel', edge_settings)}}, ...
                 struct('heading', sprintf('Tamvel on a T1 / proton-density pair (%d x %d) with noise added, 4 classes', ...
                                           size(primary, 1), size(primary, 2)), 'classes', 4));
    printf('Tamvel on the T1 / proton-density pair with noise sd 20: %d x %d, 4 classes, edge weight 0 and 10000\n  wrote %s\n', ...
           size(primary, 1), size(primary, 2), file);
  end
end

if ~isempty(image_file)
  % Four classes; the edge weight is the one edgeseg_settings suggests from
  % the image's own noise and class spacing.
  classes = 4;
  [suggested, estimates] = edgeseg_settings(user_image, classes, 'volume', user_volume);
  weight = three_digits(suggested.edge_weight);
  printf('edgeseg_settings: noise sd %s, class spacing %s, so edge weight %s\n', ...
         short_number(three_digits(estimates.noise_sd)), short_number(three_digits(estimates.class_spacing)), ...
         short_number(weight));
  plain_settings = [5 0 1e-4 30 4 classes];
  edge_settings = [5 weight 1e-4 30 4 classes];
  try
    plain = segment('Sorvik', {user_image}, plain_settings, user_volume);
    edged = segment('Sorvik', {user_image}, edge_settings, user_volume);
  catch err
    stop_with(sprintf('Sorvik cannot segment %s: %s', image_file, err.message));
  end
  [~, name, extension] = fileparts(image_file);
  name = [name extension];
  printf('Sorvik on %s: %s, %d classes, window 5, edge weight 0 and %s\n', image_file, ...
         extent_text(user_image, user_volume), classes, short_number(weight));
  if user_volume
    file = fullfile(out, 'sorvik_image_volume.png');
    slices = unique(round(linspace(1, size(user_image, 3), min(size(user_image, 3), 8))));
    write_figure(file, [slice_row('image', user_image, slices); slice_row('labels', plain, slices); ...
                        slice_row('labels', edged, slices)], ...
                 repmat(arrayfun(@(z) sprintf('slice %d', z), slices, 'UniformOutput', false), 3, 1), ...
                 struct('heading', sprintf('Sorvik on %s, a volume of %d slices', name, size(user_image, 3)), ...
                        'row_labels', {{'input I', {'plain', call_text('Sorvik', plain_settings)}, ...
                                        {'edge-weighted', call_text('Sorvik', edge_settings)}}}, ...
                        'classes', classes));
    printf('  wrote %s\n', file);
  else
    file = fullfile(out, 'sorvik_image.png');
    write_figure(file, {figure_panel('image', user_image), figure_panel('labels', plain), figure_panel('labels', edged)}, ...
                 {['input I: ' name], {'plain clustering', call_text('Sorvik', plain_settings)}, ...
                  {'edge-weighted', call_text('Sorvik', edge_settings)}}, ...
                 struct('heading', sprintf('Sorvik on %s, %d classes', name, classes), 'classes', classes));
    printf('  wrote %s\n', file);
    write_settings_grid(fullfile(out, 'sorvik_image_settings.png'), user_image, name, classes, weight, []);
  end
end

if ~isempty(primary_file)
  % Four classes, window 5, band sigma 2; the edge and secondary weights
  % are those edgeseg_settings suggests from both images' noise and the
  % primary's class spacing.
  classes = 4;
  [suggested, estimates] = edgeseg_settings(user_primary, user_secondary, classes, 'volume', primary_volume);
  weight = three_digits(suggested.edge_weight);
  secondary_weight = three_digits(suggested.secondary_weight);
  printf('edgeseg_settings: noise sd %s (primary) and %s (secondary), so secondary weight %s and edge weight %s\n', ...
         short_number(three_digits(estimates.noise_sd)), short_number(three_digits(estimates.secondary_noise_sd)), ...
         short_number(secondary_weight), short_number(weight));
  plain_settings = [secondary_weight 1e-4 0 5 30 2 4 classes];
  edge_settings = [secondary_weight 1e-4 weight 5 30 2 4 classes];
  try
    plain = segment('Tamvel', {user_primary, user_secondary}, plain_settings, primary_volume);
    edged = segment('Tamvel', {user_primary, user_secondary}, edge_settings, primary_volume);
  catch err
    stop_with(sprintf('Tamvel cannot segment %s and %s: %s', primary_file, secondary_file, err.message));
  end
  [~, name, extension] = fileparts(primary_file);
  [~, name2, extension2] = fileparts(secondary_file);
  printf('Tamvel on %s and %s: %s, %d classes, edge weight 0 and %s\n', primary_file, secondary_file, ...
         extent_text(user_primary, primary_volume), classes, short_number(weight));
  middle = ceil(size(user_primary, 3) / 2);
  slice_of = @(v) v(:, :, middle, :);
  heading = sprintf('Tamvel on %s and %s, %d classes', [name extension], [name2 extension2], classes);
  if primary_volume
    heading = sprintf('%s: slice %d of %d', heading, middle, size(user_primary, 3));
  end
  file = fullfile(out, 'tamvel_pair.png');
  write_figure(file, {figure_panel('image', slice_of(user_primary)), figure_panel('image', slice_of(user_secondary)), ...
                      figure_panel('labels', slice_of(plain)), figure_panel('labels', slice_of(edged))}, ...
               {['primary P: ' name extension], ['secondary S: ' name2 extension2], ...
                {'edge weight 0', call_text('Tamvel', plain_settings)}, ...
                {'edge-weighted', call_text('Tamvel', edge_settings)}}, ...
               struct('heading', heading, 'classes', classes));
  printf('  wrote %s\n', file);
end
