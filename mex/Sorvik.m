% Sorvik  Segment an image into K classes by edge-weighted clustering.
%
%   L = Sorvik(IMAGE, PARAMETERS)
%   L = Sorvik(IMAGE, SETTINGS)
%   L = Sorvik(IMAGE, PARAMETERS, "threads", N, "volume", TF, "progress", TF,
%              "exactsums", TF, "mask", M, "centres", C)
%   [L, INFO] = Sorvik(...)
%
%   Assigns every pixel of IMAGE to one of K classes. A pixel's cost for a
%   class is the squared Euclidean distance between its channel values and
%   the class centre plus, after the plain iterations, an edge weight times
%   the number of pixels in a disc around it (in its own slice) that carry a
%   different label. Pixels are relabelled one at a time in raster order and
%   in place; the centres then become the means of their pixels. This
%   repeats until the energy settles or the iteration limit is reached.
%   Without the edge term (window size <= 0, or only plain iterations) this
%   is plain k-means with evenly spread initial centres.
%
%   IMAGE is a logical or numeric array (double, single, int8 ... uint64;
%   complex input uses the real part):
%
%     rows x columns                      a grey image
%     rows x columns x C                  one slice with C channels (colour: C = 3)
%     rows x columns x depth x C          a volume with C channels
%
%   The host drops a trailing singleton dimension, so a grey volume
%   rows x columns x depth reads as one slice with depth channels unless
%   the option "volume" is true. A 3-D IMAGE of more than 4 channels
%   without the option raises the warning Sorvik:manyChannels (the labels
%   are those of the channels); pass "volume", false to keep the channels
%   without it, or warning('off', 'Sorvik:manyChannels').
%
%   PARAMETERS is a vector of at least six numbers (further values are
%   ignored):
%
%     #  setting              meaning                                  typical
%     1  window size w        diameter in pixels of the disc of the    3 .. 9
%                             edge term; w <= 0 turns the term off;
%                             3 and 4 give the 3 x 3 block, 5 the
%                             5 x 5 block without corners; |w| <= 46340
%     2  edge weight          cost of each pixel in the disc with      see below
%                             another label, in squared intensity
%                             units (finite)
%     3  tolerance            stop when (E - Eprev)^2 < tolerance *    1e-4
%                             Eprev, tested after every edge
%                             iteration; 0 runs all iterations
%     4  max iterations N     iterations 0 .. N-1 at most              20 .. 50
%     5  last plain iter. T   iterations 0 .. T run without the edge   3 .. 5
%                             term and without the test (T < 0: edge
%                             term from the start)
%     6  class count K        whole number from 1 to 16777216          2 .. 8
%
%   Whole-number settings are truncated toward zero (4.9 gives 4); every
%   setting passes through single precision first.
%
%   SETTINGS is a struct of named settings instead of the vector, with the
%   same labels: window_size, edge_weight, tolerance (default 1e-4),
%   max_iterations (default 30), last_plain_iteration (default 4) and
%   class_count. Fields may come in any order; an unknown field name is
%   refused. edgeseg_settings(IMAGE, K) suggests one from the image.
%     s.class_count = 3; s.window_size = 5; s.edge_weight = 600;
%     L = Sorvik(I, s);
%
%   Options follow PARAMETERS as name-value pairs in any order. Names match
%   without regard to case and may be char vectors or strings; a name given
%   twice keeps its last value.
%
%     "threads", N   threads the call may use, a whole number >= 0: 1 (the
%                    default) runs it on the caller's thread only, 0 on
%                    every core the process may run on, N > 1 on N threads
%                    (at most 256). The labels do not depend on N.
%     "volume", TF   true or false (the default). True reads a 3-D IMAGE,
%                    rows x columns x depth, as a volume of one channel
%                    instead of one slice with depth channels; the labels
%                    are then rows x columns x depth. 2-D and 4-D arrays
%                    read the same either way.
%     "progress", TF true or false (the default). True prints a line
%                    after every iteration: its number (from 1), its phase
%                    (plain, or edge once the edge term applies), the
%                    energy and its change, the pixels that changed label
%                    and the seconds since the call began; and at the end
%                    whether the run converged or reached the limit.
%     "exactsums", TF true or false (the default). False adds each
%                    iteration's energy in single precision in raster
%                    order, as the established iteration does. True sums
%                    it exactly and rounds it once, and the centre sums
%                    too where doubles could round them: accurate on the
%                    largest volumes and independent of the order of the
%                    pixels, but a run may then stop at another iteration
%                    and give other labels on some inputs.
%     "mask", M      the pixels to segment: a logical or numeric array of
%                    IMAGE's rows x columns (x depth), non-zero inside. A
%                    pixel outside is not swept, counts in no centre, value
%                    range or energy, is no pixel's neighbour (the edge term
%                    counts only differing pixels inside) and gets label -1.
%                    A mask with every pixel inside gives the labels of none.
%     "centres", C   where the classes start: K x channels, row k + 1 the
%                    centre of class k, in place of the evenly spread
%                    start (read through single precision; [] gives the
%                    spread). [s, est] = edgeseg_settings(IMAGE, K) suggests
%                    est.suggested_centres, which start every class with
%                    pixels. The spread's own centres give the same labels
%                    as none.
%
%   Warnings (identifier: cause), which warning('off', id) silences; they
%   change neither L nor INFO:
%     Sorvik:emptyClass    a class ended with no pixel; starting centres
%                          from the data ("centres") may help
%     Sorvik:notConverged  the run reached N while the convergence test
%                          still failed; says the last change against the
%                          tolerance. Runs with tolerance 0 or without edge
%                          iterations (T >= N - 1) stay quiet.
%
%   Ctrl-C stops a running call within a fraction of a second with the
%   error Sorvik:interrupted; the call returns nothing and the session
%   goes on.
%
%   INFO, when asked for, is a struct of what the run that made L found:
%     centres     K x C: row k + 1 is the centre of class k, the mean of the
%                 finite pixels labelled k in L (the centre update after
%                 the last sweep); a class without pixels has centre 0
%     iterations  how many iterations ran
%     converged   true when the convergence test ended the run, false when
%                 it reached the limit N
%     energy      the last sweep's energy: the sum over the pixels of the
%                 squared distance to their centre plus the edge term (NaN
%                 when no iteration ran)
%     energies    every iteration's energy, one row each
%     counts      K x 1: pixels of each class in L, those holding NaN or
%                 Inf included (they keep label 0)
%   Asking for INFO does not change L. The energies are sums in single
%   precision in raster order (exact sums rounded once with "exactsums"),
%   as the convergence test reads them.
%
%   Choosing the edge weight: a pixel whose whole disc of n pixels carries
%   one label pays about (n - 1) x weight to leave it (n = 9 for w = 3,
%   21 for w = 5, 37 for w = 7), while noise of size e past the midpoint of
%   two centres d apart gains it 2 x d x e. A weight near 4 x d x s / (n - 1)
%   removes speckle from noise of standard deviation s: for d = 100, s = 30
%   and w = 5 that is 600. More weight or a wider window also rounds corners
%   and removes structures thinner than about w / 2. The weight scales with
%   the square of the intensity range: divide by 255^2 for images in 0 .. 1.
%
%   L is a double array rows x columns x depth of class indices 0 .. K-1,
%   and -1 outside the mask.
%   Labels start at 0, so colour maps and indexing need L + 1:
%     imshow(label2rgb(L + 1))        % MATLAB, or Octave's image package
%     imshow(L + 1, jet(K))           % plain Octave
%   Initial centres are spread evenly inside each channel's range, so on a
%   grey image class 0 starts darkest and class K-1 brightest; ties go to
%   the lower class index. The same input gives the same labels on every
%   machine.
%
%   Masking pixels: pass the mask, e.g. a brain mask of an MR slice:
%     L = Sorvik(I, s, "mask", brain);   % -1 outside the brain
%   Pixels holding NaN or Inf inside the mask keep label 0 and do not move
%   the centres, but they are neighbours and add to the energy.
%
%   Errors (identifier: cause):
%     Sorvik:notEnoughInputs    fewer than 2 inputs
%     Sorvik:badOption          an unknown option, an input after PARAMETERS
%                               that is no option name, a missing value, or
%                               a value that is not one real whole number
%                               >= 0 ("threads") or true/false ("volume",
%                               "progress", "exactsums")
%     Sorvik:tooManyOutputs     more than two outputs requested
%     Sorvik:interrupted        Ctrl-C while the call ran
%     Sorvik:tooFewParameters   fewer than six parameter values
%     Sorvik:badParameters      a setting is NaN, infinite or out of range;
%                               PARAMETERS is no vector (image and settings
%                               swapped?); a settings struct with an
%                               unknown field, a missing class_count,
%                               window_size or edge_weight, or a field that
%                               is not one real number
%     Sorvik:emptyImage         IMAGE has a zero extent ([] or 0 x 5)
%     Sorvik:badCentres         "centres" is not K x channels, holds NaN or
%                               Inf, or is no real numeric matrix
%     Sorvik:unsupportedClass   char, cell, struct, function handle, ...
%     Sorvik:sparseInput        sparse array (pass full(x))
%     Sorvik:tooManyDimensions  5 or more dimensions
%     Sorvik:tooLarge           larger than the image container holds
%     Sorvik:geometryMismatch   a mask of other rows, columns or depth
%     Sorvik:emptyMask          a mask without a pixel inside
%     Sorvik:imageLibrary       the image library failed
%     Sorvik:outOfMemory        not enough memory
%
%   Example: three noisy grey levels, plain and edge-weighted
%     truth = kron([0 1 2; 2 0 1], ones(40));       % 80 x 120, classes 0 .. 2
%     img = 100 * truth + 30 * randn(size(truth));
%     plain = Sorvik(img, [0 0 1e-4 30 4 3]);       % plain k-means
%     edged = Sorvik(img, [5 600 1e-4 30 4 3]);     % window 5, weight 600
%     [mean(plain(:) == truth(:)), mean(edged(:) == truth(:))]  % about 0.93 and 0.999
%
%   See also Tamvel, edgeseg_settings.

%!test
%! % The example: the edge term removes the speckle that plain k-means leaves.
%! randn('seed', 3);
%! truth = kron([0 1 2; 2 0 1], ones(40));
%! img = 100 * truth + 30 * randn(size(truth));
%! plain = Sorvik(img, [0 0 1e-4 30 4 3]);
%! edged = Sorvik(img, [5 600 1e-4 30 4 3]);
%! assert(class(edged), 'double');
%! assert(size(edged), size(truth));
%! assert(mean(plain(:) == truth(:)) < 0.96);
%! assert(mean(edged(:) == truth(:)) > 0.99);

%!test
%! % Any numeric class, and a volume with two channels.
%! assert(Sorvik(uint8([0 10 200 210]), [3 1 0 10 2 2]), [0 0 1 1]);
%! assert(Sorvik(int16([0 10; 200 210]), [3 1 0 10 2 2]), [0 0; 1 1]);
%! assert(size(Sorvik(rand(4, 5, 6, 2), [3 1 0 5 1 2])), [4 5 6]);

%!test
%! % Every thread count gives the same labels.
%! img = kron([0 1; 1 0], ones(9)) * 100 + 20 * randn(18);
%! L = Sorvik(img, [5 300 1e-4 20 3 2]);
%! assert(Sorvik(img, [5 300 1e-4 20 3 2], 'threads', 0), L);
%! assert(Sorvik(img, [5 300 1e-4 20 3 2], "Threads", 4), L);

%!test
%! % A grey volume: one channel over three slices instead of three channels.
%! v = repmat(kron([0 1; 1 0], ones(6)) * 100, [1 1 3]) + 20 * randn(12, 12, 3);
%! L = Sorvik(v, [3 200 0 10 2 2], 'volume', true);
%! assert(size(L), [12 12 3]);
%! % The same labels as two equal channels under twice the edge weight and tolerance.
%! assert(Sorvik(cat(4, v, v), [3 400 0 10 2 2]), L);
%! assert(size(Sorvik(v, [3 200 0 10 2 2], 'volume', false)), [12 12]);

%!error id=Sorvik:notEnoughInputs Sorvik(1)
%!error id=Sorvik:badOption Sorvik(1, [3 1 0 10 2 2], 3)
%!error id=Sorvik:badOption Sorvik(1, [3 1 0 10 2 2], 'thread', 2)
%!error id=Sorvik:badOption Sorvik(1, [3 1 0 10 2 2], 'threads')
%!error id=Sorvik:badOption Sorvik(1, [3 1 0 10 2 2], 'threads', 1.5)
%!error id=Sorvik:badOption Sorvik(1, [3 1 0 10 2 2], 'threads', -1)
%!error id=Sorvik:badOption Sorvik(1, [3 1 0 10 2 2], 'threads', NaN)
%!error id=Sorvik:badOption Sorvik(1, [3 1 0 10 2 2], 'threads', [2 2])
%!error id=Sorvik:badOption Sorvik(1, [3 1 0 10 2 2], 'volume', 2)
%!error id=Sorvik:tooManyOutputs [a, b, c] = Sorvik(1, [3 1 0 10 2 2]);
%!error id=Sorvik:badOption Sorvik(1, [3 1 0 10 2 2], 'progress', 2)
%!error id=Sorvik:badOption Sorvik(1, [3 1 0 10 2 2], 'progress')
%!error id=Sorvik:badOption Sorvik(1, [3 1 0 10 2 2], 'exactsums', 0.5)
%!error id=Sorvik:geometryMismatch Sorvik(ones(3, 4), [3 1 0 10 2 2], 'mask', true(4, 3))
%!error id=Sorvik:emptyMask Sorvik(ones(3, 4), [3 1 0 10 2 2], 'mask', zeros(3, 4))
%!error id=Sorvik:unsupportedClass Sorvik(ones(3, 4), [3 1 0 10 2 2], 'mask', {1})
%!error id=Sorvik:tooFewParameters Sorvik(1, [3 1 0])
%!error id=Sorvik:badParameters Sorvik(1, [3 1 0 10 2 0])
%!error id=Sorvik:unsupportedClass Sorvik('text', [3 1 0 10 2 2])
%!error id=Sorvik:sparseInput Sorvik(speye(3), [3 1 0 10 2 2])
%!error id=Sorvik:tooManyDimensions Sorvik(ones(2, 2, 2, 2, 2), [3 1 0 10 2 2])
%!error id=Sorvik:emptyImage Sorvik([], [3 1 0 10 2 2])
%!error id=Sorvik:badParameters Sorvik([3 1 0 10 2 2], magic(4))
%!error id=Sorvik:badParameters Sorvik(1, struct('class_count', 2, 'window_size', 3, 'edgeweight', 1))

%!test
%! % INFO against a hand computation: the class means and sizes of the labels.
%! img = [10 12 50; 11 NaN 52; 90 91 49];
%! [L, info] = Sorvik(img, [0 0 0 5 -1 3]);
%! assert(L, [0 0 1; 0 0 1; 2 2 1]);
%! assert(info.centres, [11; 50.333333333333336; 90.5], 1e-5);
%! assert(info.counts, [4; 3; 2]);
%! assert(info.iterations, 5);
%! assert(info.converged, false);
%! assert(info.energy, info.energies(end));
%! assert(size(info.energies), [5 1]);
%! assert(Sorvik(img, [0 0 0 5 -1 3]), L);

%!test
%! % Exact sums: one labelling for every thread count; on whole numbers
%! % with tolerance 0 nothing is summed differently.
%! img = single(kron([0 1; 1 0], ones(20)) * 100 + 20 * randn(40));
%! L = Sorvik(img, [5 300 1e-4 20 3 3], "exactsums", true);
%! assert(Sorvik(img, [5 300 1e-4 20 3 3], "ExactSums", true, "threads", 2), L);
%! whole = round(abs(img));
%! assert(Sorvik(whole, [5 300 0 20 3 3], "exactsums", true), Sorvik(whole, [5 300 0 20 3 3]));

%!test
%! % A mask: -1 outside, and the values there change no label inside.
%! img = kron([0 1; 1 0], ones(10)) * 100 + 20 * randn(20);
%! M = true(20); M(1:4, :) = false;
%! L = Sorvik(img, [5 300 1e-4 20 3 2], "mask", M);
%! assert(L(~M), -ones(nnz(~M), 1));
%! assert(all(L(M) >= 0));
%! img(~M) = NaN;
%! assert(Sorvik(img, [5 300 1e-4 20 3 2], "Mask", double(M)), L);

%!test
%! % Progress: a line per iteration, and why the run ended.
%! img = kron([0 1; 1 0], ones(9)) * 100 + 20 * randn(18);
%! text = evalc('L = Sorvik(img, [5 300 1e-4 20 3 2], "progress", true);');
%! [~, info] = Sorvik(img, [5 300 1e-4 20 3 2]);
%! lines = strsplit(strtrim(text), "\n");
%! assert(numel(lines), info.iterations + 1);
%! assert(strncmp(lines{1}, 'Sorvik: iteration 1, plain phase: energy', 40));
%! assert(! isempty(strfind(lines{end}, 'converged after')) == info.converged);
%! assert(isempty(evalc('Sorvik(img, [5 300 1e-4 20 3 2]);')));

%!test
%! % Settings by name give the vector's labels; the defaults fill what is left out.
%! img = kron([0 1; 1 0], ones(9)) * 100 + 20 * randn(18);
%! s = struct('class_count', 2, 'window_size', 5, 'edge_weight', 300);
%! assert(Sorvik(img, s), Sorvik(img, [5 300 1e-4 30 4 2]));

%!demo
%! % Three noisy grey levels: plain k-means against the edge-weighted result.
%! truth = kron([0 1 2; 2 0 1], ones(40));
%! img = 100 * truth + 30 * randn(size(truth));
%! plain = Sorvik(img, [0 0 1e-4 30 4 3]);
%! edged = Sorvik(img, [5 600 1e-4 30 4 3]);
%! printf('plain: %.1f%% right; w = 5, weight 600: %.1f%% right\n', ...
%!        100 * mean(plain(:) == truth(:)), 100 * mean(edged(:) == truth(:)));
%! if isempty(available_graphics_toolkits())
%!   % No display (octave-cli): the input and both results side by side in a file.
%!   file = fullfile(tempdir(), 'Sorvik_demo_1.png');
%!   imwrite([(img - min(img(:))) / (max(img(:)) - min(img(:))), plain / 2, edged / 2], file);
%!   printf('no graphics here: wrote input | plain | edge-weighted to %s\n', file);
%! else
%!   subplot(1, 3, 1); imagesc(img); axis image off; title('input');
%!   subplot(1, 3, 2); imagesc(plain); axis image off;
%!   title(sprintf('plain: %.1f%% right', 100 * mean(plain(:) == truth(:))));
%!   subplot(1, 3, 3); imagesc(edged); axis image off;
%!   title(sprintf('w = 5, weight 600: %.1f%% right', 100 * mean(edged(:) == truth(:))));
%!   colormap(gray);
%! end

%!demo
%! % The window size and the edge weight: more of either gives smoother regions.
%! truth = kron([0 1 2; 2 0 1], ones(40));
%! img = 100 * truth + 45 * randn(size(truth));
%! weights = [0 300 1200]; windows = [3 5 9];
%! graphics = ~isempty(available_graphics_toolkits());
%! grid = [];
%! for i = 1:3
%!   row = [];
%!   for j = 1:3
%!     L = Sorvik(img, [windows(i) weights(j) 1e-4 30 4 3]);
%!     printf('w = %d, weight %4d: %.1f%% right\n', windows(i), weights(j), 100 * mean(L(:) == truth(:)));
%!     row = [row, L / 2];
%!     if graphics
%!       subplot(3, 3, 3 * (i - 1) + j); imagesc(L); axis image off;
%!       title(sprintf('w = %d, weight %d', windows(i), weights(j)));
%!     end
%!   end
%!   grid = [grid; row];
%! end
%! if graphics
%!   colormap(gray);
%! else
%!   % No display (octave-cli): the grid of labels in a file.
%!   file = fullfile(tempdir(), 'Sorvik_demo_2.png');
%!   imwrite(grid, file);
%!   printf('no graphics here: wrote the grid (windows down, weights across) to %s\n', file);
%! end
