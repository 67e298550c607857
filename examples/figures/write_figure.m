% write_figure(file, panels, titles)
% write_figure(file, panels, titles, layout)
% Writes a PNG of panels in a grid, each under its title, drawn without a
% display. PANELS is a cell array of figure_panel images (an empty cell leaves
% its place blank); TITLES holds, for each panel, a string or a cell array of
% lines. LAYOUT may have the fields
%   heading        a line above the whole figure
%   row_labels     for each row, a string or a cell array of lines, drawn to
%                  its left
%   column_labels  a string for each column, drawn above the first row
%   classes        K: a legend mapping the colours of classes 0 .. K-1
% The picture is written to a temporary file beside FILE and then renamed, so
% FILE is either the old picture or the whole new one.
function write_figure(file, panels, titles, layout)
  if nargin < 4
    layout = struct();
  end
  gap = 12; line_height = 15;
  [rows, columns] = size(panels);
  text_lines = @(t) numel(cellstr(t));
  text_width = @(t) 8 * max(cellfun(@numel, cellstr(t)));

  % Each column as wide as its widest panel or title; each row as high as
  % its tallest panel, with room for its tallest title above.
  widths = zeros(1, columns); heights = zeros(1, rows); title_heights = zeros(1, rows);
  for r = 1:rows
    for c = 1:columns
      widths(c) = max([widths(c), size(panels{r, c}, 2), text_width(titles{r, c}) + 16]);
      heights(r) = max(heights(r), size(panels{r, c}, 1));
      title_heights(r) = max(title_heights(r), line_height * text_lines(titles{r, c}) + 2);
    end
  end
  left = gap; top = gap;
  if isfield(layout, 'row_labels')
    left = left + max(cellfun(text_width, layout.row_labels)) + gap;
  end
  if isfield(layout, 'heading')
    top = top + line_height + gap;
  end
  if isfield(layout, 'column_labels')
    top = top + line_height + 4;
  end
  legend_height = 0;
  if isfield(layout, 'classes') && layout.classes > 0
    legend_height = line_height + gap;
  end
  x0 = left + [0, cumsum(widths + gap)];
  y0 = top + [0, cumsum(title_heights + heights + gap)];
  picture = ones(y0(end) + legend_height, max(x0(end), legend_width(layout) + 2 * gap), 3);

  if isfield(layout, 'heading')
    picture = draw_text(picture, layout.heading, gap, gap);
  end
  for c = 1:columns
    if isfield(layout, 'column_labels')
      label = layout.column_labels{c};
      picture = draw_text(picture, label, top - line_height - 4, x0(c) + (widths(c) - text_width(label)) / 2);
    end
  end
  for r = 1:rows
    if isfield(layout, 'row_labels')
      lines = cellstr(layout.row_labels{r});
      y = y0(r) + title_heights(r) + (heights(r) - line_height * numel(lines)) / 2;
      for i = 1:numel(lines)
        picture = draw_text(picture, lines{i}, y + line_height * (i - 1), gap);
      end
    end
    for c = 1:columns
      lines = cellstr(titles{r, c});
      for i = 1:numel(lines)
        picture = draw_text(picture, lines{i}, y0(r) + line_height * (i - 1), ...
                            x0(c) + (widths(c) - 8 * numel(lines{i})) / 2);
      end
      panel = panels{r, c};
      if ~isempty(panel)
        y = y0(r) + title_heights(r) + floor((heights(r) - size(panel, 1)) / 2);
        x = x0(c) + floor((widths(c) - size(panel, 2)) / 2);
        picture(y + (1:size(panel, 1)), x + (1:size(panel, 2)), :) = panel;
      end
    end
  end
  if legend_height
    picture = draw_legend(picture, layout.classes, size(picture, 1) - line_height - gap / 2, gap);
  end

  [folder, name] = fileparts(file);
  partial = fullfile(folder, ['.' name '.partial.png']);
  % Indexed where the colours allow it, which keeps the file small.
  pixels = uint8(round(255 * picture));
  [colours, ~, index] = unique(reshape(pixels, [], 3), 'rows');
  if size(colours, 1) <= 256
    imwrite(uint8(reshape(index - 1, size(pixels, 1), size(pixels, 2))), double(colours) / 255, partial);
  else
    imwrite(pixels, partial);
  end
  [moved, message] = movefile(partial, file, 'f');
  if ~moved
    delete(partial);
    error('write_figure: cannot write %s: %s', file, message);
  end
end

function width = legend_width(layout)
  width = 0;
  if isfield(layout, 'classes') && layout.classes > 0
    width = 8 * numel('class index:') + layout.classes * (14 + 4 + 8 * numel(num2str(layout.classes - 1)) + 12);
  end
end

function picture = draw_legend(picture, classes, y, x)
  % "class index:" and, for each class, its colour and its index.
  picture = draw_text(picture, 'class index:', y, x);
  x = x + 8 * numel('class index:') + 8;
  for k = 0:classes - 1
    picture(y + (1:13), x + (1:14), :) = figure_panel('labels', k * ones(13, 14));
    label = num2str(k);
    picture = draw_text(picture, label, y, x + 18);
    x = x + 18 + 8 * numel(label) + 12;
  end
end

function picture = draw_text(picture, text, y, x)
  % Black text whose top-left corner is at (y, x), clipped to the picture.
  bitmap = figure_text(text);
  y = round(y) + (1:size(bitmap, 1)); x = round(x) + (1:size(bitmap, 2));
  keep_y = y >= 1 & y <= size(picture, 1); keep_x = x >= 1 & x <= size(picture, 2);
  bitmap = bitmap(keep_y, keep_x);
  region = picture(y(keep_y), x(keep_x), :);
  region(repmat(bitmap, [1 1 3])) = 0;
  picture(y(keep_y), x(keep_x), :) = region;
end
