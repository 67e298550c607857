% The demo's building blocks: the fraction labelled right, the synthetic
% scene, the bitmap text and the titled picture. Expected values are worked
% out by hand from the layout rules in write_figure.m.
% Run: octave-cli demo_functions_test.m (EXAMPLES_DIR names examples/).
examples = getenv('EXAMPLES_DIR');
addpath(fullfile(examples, 'figures'), fullfile(examples, 'scenes'));
failures = 0;
function failures = check(failures, condition, what)
  if ~condition
    printf('FAILED: %s\n', what);
    failures = failures + 1;
  end
end

% fraction_right: the numbering of classes does not count; labels past the
% true classes count as wrong and keep indices of their own when matched.
truth = [0 0 1 1 2 2];
[right, matched] = fraction_right([2 2 0 0 1 1], truth);
failures = check(failures, right == 1 && isequal(matched, truth), 'permuted labels are all right');
[right, matched] = fraction_right([1 1 0 0 0 3], truth);
failures = check(failures, abs(right - 4 / 6) < 1e-12, 'four of six right under the best matching');
failures = check(failures, isequal(matched(1:4), [0 0 1 1]) && matched(6) > 2, 'matched labels renamed');

% shapes_scene: the disc's centre, the bar and a corner; the ball of a volume
% is widest in the middle slices.
randn('seed', 1);
[truth, primary, secondary] = shapes_scene(256, 256, 0);
failures = check(failures, truth(128, 95) == 1 && truth(128, 200) == 2 && truth(5, 5) == 0, 'scene classes');
failures = check(failures, primary(128, 95) == 125 && secondary(128, 95) == 50, 'noiseless means');
truth = shapes_scene(64, 64, 0, 6);
disc = squeeze(sum(sum(truth == 1, 1), 2))';
failures = check(failures, isequal(disc, fliplr(disc)) && disc(3) > disc(2) && disc(2) > disc(1), 'ball slices');

% figure_text: 13 x 8 pixels a character; the top row of 'T' is a bar;
% characters outside printable ASCII are drawn as '?'.
bitmap = figure_text('T?');
failures = check(failures, isequal(size(bitmap), [13 16]), 'text size');
failures = check(failures, isequal(bitmap(3:5, 1:8), [1 1 1 1 1 1 1 0; 0 0 0 1 0 0 0 0; 0 0 0 1 0 0 0 0]), ...
                 'T is a bar over a stem');
failures = check(failures, isequal(figure_text(char(200)), bitmap(:, 9:16)), 'non-ASCII drawn as ?');

% figure_panel: a grey image stretched over 64 levels from 0 to 1 with NaN
% drawn black; class k in colour mod(k, 8) + 1.
panel = figure_panel('image', [0 NaN; 21 63]);
failures = check(failures, isequal(panel(:, :, 1), [0 0; 21 / 63 1]) && size(panel, 3) == 3, 'grey panel');
colours = figure_panel('colours');
panel = figure_panel('labels', [0 9]);
failures = check(failures, isequal(squeeze(panel(1, 2, :))', colours(2, :)), 'label colours wrap');

% write_figure: two 10 x 20 panels titled 'a' and 'bb' and a legend of 2
% classes. Columns are max(20, 8 x characters + 16) wide: 24 and 32; with
% gaps of 12 the width is the legend's, 12 + 8 x 12 + 2 x (14 + 4 + 8 + 12)
% + 12 = 196. Height: 12 + 17 (title) + 10 + 12, then the legend's 27: 78.
% The first panel starts at row 12 + 17 + 1 and column 12 + 2 + 1.
folder = tempname();
mkdir(folder);
file = fullfile(folder, 'grid.png');
panels = {figure_panel('labels', zeros(10, 20)), figure_panel('labels', ones(10, 20))};
write_figure(file, panels, {'a', 'bb'}, struct('classes', 2));
[index, map] = imread(file);
picture = ind2rgb(index, map);
failures = check(failures, isequal(size(picture), [78 196 3]), sprintf('picture size %s', mat2str(size(picture))));
failures = check(failures, isequal(squeeze(round(255 * picture(30, 15, :)))', [0 114 178]), 'first panel placed');
failures = check(failures, all(picture(29, 15, :) == 1), 'white above the panel');
failures = check(failures, any(any(all(picture(13:25, 21:28, :) == 0, 3))), 'the title is drawn');
failures = check(failures, numel(dir(folder)) == 3, 'no temporary file left beside the picture');
confirm_recursive_rmdir(false);
rmdir(folder, 's');

if failures
  exit(1);
end
printf('demo functions: all checks passed\n');
