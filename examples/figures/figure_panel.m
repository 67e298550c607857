% rgb = figure_panel('image', image)  a grey or colour image (3 channels),
%                                      stretched from its least to its
%                                      largest finite value; of other
%                                      images the first channel
% rgb = figure_panel('labels', labels) one colour per class index
% colours = figure_panel('colours')    the class colours, one row per index
% Panels are rows x columns x 3 doubles in [0, 1], for write_figure.
function rgb = figure_panel(kind, values)
  % Colour-blind safe; class k gets row mod(k, 8) + 1.
  colours = [0 114 178; 230 159 0; 0 158 115; 204 121 167; 86 180 233; 213 94 0; 240 228 66; 60 60 60] / 255;
  switch kind
    case 'colours'
      rgb = colours;
    case 'image'
      values = double(reshape(values, size(values, 1), size(values, 2), []));
      if size(values, 3) ~= 3
        values = values(:, :, 1);
      end
      finite = values(isfinite(values));
      lo = 0; hi = 1;
      if ~isempty(finite)
        lo = min(finite); hi = max(finite);
      end
      rgb = (values - lo) / max(hi - lo, eps);
      rgb(~isfinite(rgb)) = 0;
      rgb = round(63 * min(max(rgb, 0), 1)) / 63;  % 64 levels, so a picture can be indexed
      if size(rgb, 3) == 1
        rgb = repmat(rgb, [1 1 3]);
      end
    case 'labels'
      index = mod(round(values), size(colours, 1)) + 1;
      rgb = reshape(colours(index, :), [size(values) 3]);
    otherwise
      error('figure_panel: unknown kind %s', kind);
  end
end
