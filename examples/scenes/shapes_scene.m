% [truth, primary, secondary] = shapes_scene(rows, columns, noise)
% [truth, primary, secondary] = shapes_scene(rows, columns, noise, depth)
% A scene of three classes whose labels are known: the background (0), a disc
% (1) and a bar (2), laid out as on a 256 x 256 square and stretched to ROWS x
% COLUMNS. The primary image puts the classes 75 grey levels apart (50, 125,
% 200); the secondary image weights them in another order (125, 50, 200), as
% two MR weightings of one slice do. Both get Gaussian noise of standard
% deviation NOISE from randn, primary first, so the caller's seed fixes them.
% With DEPTH, a volume of DEPTH slices: the disc becomes a ball that shrinks
% toward the first and last slice, the bar runs through every slice.
function [truth, primary, secondary] = shapes_scene(rows, columns, noise, depth)
  if nargin < 4
    depth = 1;
  end
  [x, y, z] = meshgrid((1:columns) * 256 / columns, (1:rows) * 256 / rows, 1:depth);
  radius = 70;
  if depth > 1
    % 0.9 of the full radius in the middle slice, 0.3 in the outermost ones.
    height = abs(z - (depth + 1) / 2) / ((depth + 1) / 2);
    radius = 70 * sqrt(0.81 - 0.72 * height .^ 2);
  end
  truth = zeros(rows, columns, depth);
  truth(hypot(x - 95, y - 128) < radius) = 1;
  truth(x > 170 & x < 235 & y > 30 & y < 226) = 2;
  primary_means = [50 125 200];
  secondary_means = [125 50 200];
  primary = primary_means(truth + 1) + noise * randn(size(truth));
  secondary = secondary_means(truth + 1) + noise * randn(size(truth));
end
