% Runs the cases the Python tests list in CASE_DIR/cases.txt through the
% Octave plug-ins and writes each case's labels to CASE_DIR/<name>.labels
% (doubles, rows x columns x depth, column-major) and its info to
% CASE_DIR/<name>.info. A case reads its image
% from the raw files the tests wrote, or from a sample image, which it then
% writes out for the tests in the same raw form, with its class and extents
% in <name>.shape.
%
% One line per case:
%   name command source class is_complex rows columns depth channels threads count settings...
% source is "raw", or "sample:<reader>:<file>" (readers: image, first_channel,
% indexed_grey, raw_volume). Tamvel's secondary image comes from a second
% source in the field after the first, or "raw" for <name>.in2.
%
% The command "suggest" runs edgeseg_settings instead, on one image or (with
% two sources) a pair, with the class count as the last setting, and writes
% CASE_DIR/<name>.suggestion: one line per field of its two structs, the
% field's name and then its values (matrices row by row).
1;

function write_suggestion(path, s, est)
  f = fopen(path, 'w');
  for record = {s, est}
    names = fieldnames(record{1});
    for i = 1:numel(names)
      fprintf(f, '%s ', names{i});
      fprintf(f, '%.17g ', record{1}.(names{i})');
      fprintf(f, '\n');
    end
  end
  fclose(f);
end

function values = read_raw(path, cls, is_complex, extents)
  count = prod(extents);
  stored = cls;
  if strcmp(cls, 'logical')
    stored = 'uint8';
  end
  f = fopen(path, 'r');
  values = fread(f, count, [stored '=>' stored]);
  if is_complex
    values = complex(values, fread(f, count, [stored '=>' stored]));
  end
  fclose(f);
  if strcmp(cls, 'logical')
    values = logical(values);
  end
  values = reshape(values, extents);
end

function write_raw(path, values)
  f = fopen(path, 'w');
  if islogical(values)
    fwrite(f, uint8(values), 'uint8');
  else
    fwrite(f, values, class(values));
  end
  fclose(f);
end

% The run's info as lines of numbers: iterations and converged; the
% energies; the counts; the centres row by row (and the secondary centres).
function write_info(path, info)
  f = fopen(path, 'w');
  fprintf(f, '%d %d\n', info.iterations, info.converged);
  fprintf(f, '%.17g ', info.energies); fprintf(f, '\n');
  fprintf(f, '%.17g ', info.counts); fprintf(f, '\n');
  fprintf(f, '%.17g ', info.centres'); fprintf(f, '\n');
  if isfield(info, 'secondary_centres')
    fprintf(f, '%.17g ', info.secondary_centres'); fprintf(f, '\n');
  end
  fclose(f);
end

function img = sample_image(reader, file)
  path = fullfile(getenv('DATA_DIR'), file);
  switch reader
    case 'image'
      img = imread(path);
    case 'first_channel'
      img = imread(path)(:, :, 1);
    case 'indexed_grey'
      [index, map] = imread(path);
      img = 255 * map(double(index) + 1, 1);
      img = reshape(img, size(index));
    case 'raw_volume'
      f = fopen(path, 'r');
      img = fread(f, 181 * 217 * 3, 'uint8=>uint8');
      fclose(f);
      img = permute(reshape(img, [181 217 3]), [2 1 3]);
  end
end

% The image of a case, read from raw files or a sample (then written out).
function img = case_image(fields, source, suffix, case_dir)
  name = fields{1};
  extents = cellfun(@str2double, fields(6:9));
  if strcmp(source, 'raw')
    img = read_raw(fullfile(case_dir, [name suffix]), fields{4}, str2double(fields{5}), extents);
    return;
  end
  parts = strsplit(source, ':');
  img = sample_image(parts{2}, parts{3});
  write_raw(fullfile(case_dir, [name suffix]), img);
  shape = [size(img) 1 1 1];
  if ndims(img) == 3 && strcmp(parts{2}, 'image')
    shape = [shape(1:2) 1 shape(3)];  % a colour image: channels, not planes
  end
  f = fopen(fullfile(case_dir, [name suffix '.shape']), 'w');
  fprintf(f, '%s %d %d %d %d\n', class(img), shape(1:4));
  fclose(f);
  if ndims(img) == 3 && strcmp(parts{2}, 'image')
    img = reshape(img, shape(1:4));
  end
end

warning('off', 'all');  % sample PNGs carry colour profiles the reader warns about
addpath(getenv('MEX_DIR'));
case_dir = getenv('CASE_DIR');
list = fopen(fullfile(case_dir, 'cases.txt'), 'r');
line = fgetl(list);
while ischar(line)
  fields = strsplit(strtrim(line), ' ');
  name = fields{1};
  command = fields{2};
  sources = strsplit(fields{3}, ',');
  threads = str2double(fields{10});
  count = str2double(fields{11});
  settings = cellfun(@str2double, fields(12:11 + count));
  primary = case_image(fields, sources{1}, '.in', case_dir);
  if strcmp(command, 'suggest')
    images = {primary};
    if numel(sources) == 2
      images{2} = case_image(fields, sources{2}, '.in2', case_dir);
    end
    [s, est] = edgeseg_settings(images{:}, settings(end), 'volume', true);
    write_suggestion(fullfile(case_dir, [name '.suggestion']), s, est);
    line = fgetl(list);
    continue;
  end
  % Every 3-D array here is a volume; a slice with channels comes as
  % rows x columns x 1 x channels.
  if strcmp(command, 'sorvik')
    [labels, info] = Sorvik(primary, settings, 'threads', threads, 'volume', true);
  else
    secondary = case_image(fields, sources{2}, '.in2', case_dir);
    [labels, info] = Tamvel(primary, secondary, settings, 'threads', threads, 'volume', true);
  end
  write_raw(fullfile(case_dir, [name '.labels']), labels);
  write_info(fullfile(case_dir, [name '.info']), info);
  line = fgetl(list);
end
fclose(list);
