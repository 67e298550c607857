% Compares Sorvik and Tamvel with plain k-means on a synthetic scene whose
% classes are known (scenes/shapes_scene.m: background, a disc and a bar):
% the fraction of pixels labelled right and the CPU time per call, for
% several noise levels. Plain k-means is the same command with the
% edge term off (window size 0; for Tamvel also T < 0, so that every pixel is
% relabelled in every iteration), which leaves only the nearest-centre
% clustering with evenly spread initial centres.
%   bash scripts/demo.sh --compare
% or, after a build, octave-cli examples/compare_kmeans.m (DEMO_MEX_DIR
% chooses the plug-in folder, default build/mex).
1;

function [right, seconds] = measure(call, truth)
  % The least CPU time of seven calls (the calls run on this thread alone,
  % and the least time is the one least disturbed by other work), and the
  % fraction right.
  times = zeros(1, 7);
  for i = 1:7
    start = cputime();
    L = call();
    times(i) = cputime() - start;
  end
  right = fraction_right(L, truth);
  seconds = min(times);
end

here = fileparts(mfilename('fullpath'));
addpath(fullfile(here, 'scenes'));
mex_dir = getenv('DEMO_MEX_DIR');
if isempty(mex_dir)
  mex_dir = fullfile(here, '..', 'build', 'mex');
end
addpath(mex_dir);
randn('seed', 5);

printf('| command, noise sd | plain k-means: right, time | edge-weighted: right, time | settings of the edge-weighted call |\n');
printf('|---|---|---|---|\n');
for noise = [20 30 40 50]
  [truth, primary, secondary] = shapes_scene(256, 256, noise);
  % Sorvik: window 5; weight 4 x 75 x noise / 20 removes speckle up to
  % about two noise standard deviations between centres 75 apart.
  weight = 4 * 75 * noise / 20;
  [plain_right, plain_time] = measure(@() Sorvik(primary, [0 0 1e-4 30 4 3]), truth);
  [edge_right, edge_time] = measure(@() Sorvik(primary, [5 weight 1e-4 30 4 3]), truth);
  printf('| Sorvik, %d | %.2f%%, %.1f ms | %.2f%%, %.1f ms | `[5 %g 1e-4 30 4 3]` |\n', noise, ...
         100 * plain_right, 1000 * plain_time, 100 * edge_right, 1000 * edge_time, weight);
end
for noise = [20 30 40 50]
  [truth, primary, secondary] = shapes_scene(256, 256, noise);
  % No edge penalty and T < 0, so that the band never forms: every pixel is
  % relabelled in every iteration.
  [plain_right, plain_time] = measure(@() Tamvel(primary, secondary, [1 1e-4 0 0 30 2 -1 3]), truth);
  [edge_right, edge_time] = measure(@() Tamvel(primary, secondary, [1 1e-4 10000 5 30 2 4 3]), truth);
  printf('| Tamvel, %d | %.2f%%, %.1f ms | %.2f%%, %.1f ms | `[1 1e-4 10000 5 30 2 4 3]` |\n', noise, ...
         100 * plain_right, 1000 * plain_time, 100 * edge_right, 1000 * edge_time);
end
