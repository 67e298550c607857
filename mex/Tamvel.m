% Tamvel  Segment an image into K classes jointly with a second image of the same scene.
%
%   L = Tamvel(PRIMARY, SECONDARY, PARAMETERS)
%   L = Tamvel(PRIMARY, SECONDARY, SETTINGS)
%   L = Tamvel(PRIMARY, SECONDARY, PARAMETERS, "threads", N, "volume", TF, "progress", TF,
%              "mask", M, "centres", C, "secondary_centres", C2)
%   [L, INFO] = Tamvel(...)
%
%   Assigns every pixel of PRIMARY to one of K classes. Each class has a
%   centre in PRIMARY and one in SECONDARY. A pixel's cost for a class is
%   the squared distance of its PRIMARY values to the class's primary centre
%   plus the secondary weight times the squared distance of its SECONDARY
%   values to the class's secondary centre. After the plain iterations an
%   edge penalty is added: for every pixel in a disc around the pixel (in
%   its own slice) that carries a different label, the edge weight times an
%   edge indicator of PRIMARY at that neighbour, which is near 1 in flat
%   regions and near 0 on strong edges of its first channel, so boundaries
%   prefer to follow edges. Pixels are relabelled one at a time in raster
%   order and in place; both centres of each class then become the means of
%   its pixels. After the plain iterations only a narrow band of pixels near
%   the class boundaries is relabelled. This repeats until the energy
%   settles or the iteration limit is reached. With window size 0 and
%   T < 0 this is plain k-means on the two images together.
%
%   PRIMARY is a logical or numeric array (double, single, int8 ... uint64;
%   complex input uses the real part) with at least one row, column, slice
%   and channel:
%
%     rows x columns                      a grey image
%     rows x columns x C                  one slice with C channels (colour: C = 3)
%     rows x columns x depth x C          a volume with C channels
%
%   SECONDARY is a logical or numeric array with the rows, columns and depth
%   of PRIMARY and at least its number of channels; channels beyond those of
%   PRIMARY are not used. The host drops a trailing singleton dimension, so
%   grey volumes rows x columns x depth read as slices with depth channels
%   unless the option "volume" is true.
%
%   PARAMETERS is a vector of at least eight numbers (further values are
%   ignored):
%
%     #  setting              meaning                                  typical
%     1  secondary weight     factor on the squared distance in        0.5 .. 2
%                             SECONDARY, converting its squared
%                             units into PRIMARY's (finite; 0
%                             ignores SECONDARY)
%     2  tolerance            stop when (E - Eprev)^2 < tolerance *    1e-4
%                             Eprev, tested after every edge
%                             iteration; 0 runs all iterations
%     3  edge weight          cost of a differing neighbour where      1e3 .. 2e4
%                             the edge indicator is 1, in PRIMARY's
%                             squared intensity units (finite)
%     4  window size s        diameter in pixels of the disc of the    3 .. 7
%                             edge penalty; s <= 0 turns it off;
%                             |s| <= 46340
%     5  max iterations N     iterations 0 .. N-1 at most              20 .. 50
%     6  band sigma           width of the band relabelled after the   1 .. 3
%                             plain iterations: the scale in pixels
%                             of the Gaussian smoothing that finds
%                             pixels near a class boundary; negative
%                             values are a percentage of the largest
%                             of rows, columns and depth (-2 on
%                             256 x 128 gives 5.12); below 0.1 the
%                             band is empty and the labels stay as
%                             the plain iterations left them (finite)
%     7  last plain iter. T   iterations 0 .. T visit every pixel      3 .. 5
%                             without edge penalty and without the
%                             test; the band is formed at the end of
%                             iteration T (T < 0: penalty and test
%                             from the start, every pixel visited)
%     8  class count K        whole number from 1 to 16777216          2 .. 8
%
%   Whole-number settings are truncated toward zero (4.9 gives 4); every
%   setting passes through single precision first.
%
%   SETTINGS is a struct of named settings instead of the vector, with the
%   same labels: secondary_weight (default 1), tolerance (default 1e-4),
%   edge_weight, window_size, max_iterations (default 30), band_sigma
%   (default 2), last_plain_iteration (default 4) and class_count. Fields
%   may come in any order; an unknown field name is refused.
%   edgeseg_settings(PRIMARY, SECONDARY, K) suggests one from the images.
%     s.class_count = 3; s.window_size = 5; s.edge_weight = 10000;
%     L = Tamvel(P, S, s);
%
%   Options follow PARAMETERS as name-value pairs in any order. Names match
%   without regard to case and may be char vectors or strings; a name given
%   twice keeps its last value.
%
%     "threads", N   threads the call may use, a whole number >= 0: 1 (the
%                    default) runs it on the caller's thread only, 0 on
%                    every core the process may run on, N > 1 on N threads
%                    (at most 256). The labels do not depend on N.
%     "volume", TF   true or false (the default). True reads 3-D images,
%                    rows x columns x depth, as volumes of one channel
%                    instead of slices with depth channels: PRIMARY and
%                    SECONDARY both, and the labels are then rows x columns
%                    x depth. 2-D and 4-D arrays read the same either way.
%     "progress", TF true or false (the default). True prints a line
%                    after every iteration: its number (from 1), its phase
%                    (plain, or edge once the edge term applies), the
%                    energy and its change, the pixels that changed label
%                    and the seconds since the call began; and at the end
%                    whether the run converged or reached the limit.
%     "mask", M      the pixels to segment, in both images: a logical or
%                    numeric array of PRIMARY's rows x columns (x depth),
%                    non-zero inside. A pixel outside is not swept, counts
%                    in no centre, value range or energy, is no pixel's
%                    neighbour and gets label -1. The edge indicator takes,
%                    for a neighbour outside, the value of the pixel it is
%                    formed at, and is rescaled over the pixels inside. The
%                    band smooths only the labels inside: along each axis
%                    each run of pixels inside is smoothed as a line of its
%                    own, its ends extended, so the filter sees the nearest
%                    inside value and the mask's border is no class
%                    boundary.
%     "centres", C   where the classes start in PRIMARY: K x its channels,
%                    row k + 1 the centre of class k, in place of the evenly
%                    spread start. edgeseg_settings(PRIMARY, SECONDARY, K)
%                    suggests est.suggested_centres.
%     "secondary_centres", C2
%                    the same in SECONDARY: K x PRIMARY's channels, or K x
%                    SECONDARY's (columns past PRIMARY's channels are not
%                    read); est.suggested_secondary_centres is suggested.
%                    Each left out is spread evenly.
%
%   Warnings Tamvel:emptyClass and Tamvel:notConverged, as for Sorvik.
%
%   Ctrl-C stops a running call within a fraction of a second with the
%   error Tamvel:interrupted; the call returns nothing and the session
%   goes on.
%
%   INFO, when asked for, is a struct of what the run that made L found:
%     centres            K x C: row k + 1 is the centre of class k in
%                        PRIMARY, the mean of the pixels labelled k in L
%                        that are finite in both images (the centre update
%                        after the last sweep); a class without such
%                        pixels has centre 0
%     secondary_centres  the same in SECONDARY (its first C channels)
%     iterations         how many iterations ran
%     converged          true when the convergence test ended the run,
%                        false when it reached the limit N
%     energy             the last sweep's energy (over the pixels it
%                        visited: after iteration T those in the band);
%                        NaN when no iteration ran
%     energies           every iteration's energy, one row each
%     counts             K x 1: pixels of each class in L, all of them
%   Asking for INFO does not change L.
%
%   Choosing the weights: for equal say of both images set the secondary
%   weight to (noise of PRIMARY / noise of SECONDARY)^2. The edge indicator
%   is 1 / (1 + gradient magnitude) rescaled to 0 .. 1 over the image, so in
%   a noisy image even flat regions stay well below 1 and the edge weight
%   must be larger than Sorvik's: on 8-bit data with noise of 25 to 30 grey
%   levels, 10000 with s = 5 removes the speckle and keeps the boundaries.
%
%   L is a double array rows x columns x depth of class indices 0 .. K-1,
%   and -1 outside the mask; colour maps need L + 1, as in
%   imshow(L + 1, jet(K)).
%   Initial centres are spread evenly inside each channel's range,
%   separately for PRIMARY and SECONDARY; ties go to the lower class index.
%   The same input gives the same labels on every machine. Pixels holding
%   NaN or Inf in either image keep label 0 and do not move the centres;
%   to leave pixels out, pass "mask".
%
%   Errors (identifier: cause):
%     Tamvel:notEnoughInputs    fewer than 3 inputs
%     Tamvel:badOption          an unknown option ("exactsums" too, which
%                               only Sorvik offers), an input after
%                               PARAMETERS that is no option name, a
%                               missing value, or
%                               a value that is not one real whole number
%                               >= 0 ("threads") or true/false ("volume",
%                               "progress")
%     Tamvel:tooManyOutputs     more than two outputs requested
%     Tamvel:interrupted        Ctrl-C while the call ran
%     Tamvel:tooFewParameters   fewer than eight parameter values
%     Tamvel:badParameters      a setting is NaN, infinite or out of range;
%                               PARAMETERS is no vector (inputs swapped?);
%                               a settings struct with an unknown field, a
%                               missing class_count, window_size or
%                               edge_weight, or a field that is not one
%                               real number
%     Tamvel:emptyImage         PRIMARY has no rows, columns, slices or channels
%     Tamvel:geometryMismatch   SECONDARY differs from PRIMARY in rows, columns
%                               or depth, or has fewer channels; a mask of
%                               other rows, columns or depth
%     Tamvel:emptyMask          a mask without a pixel inside
%     Tamvel:badCentres         "centres" or "secondary_centres" of another
%                               shape, holding NaN or Inf, or no real
%                               numeric matrix
%     Tamvel:unsupportedClass   char, cell, struct, function handle, ...
%     Tamvel:sparseInput        sparse array (pass full(x))
%     Tamvel:tooManyDimensions  5 or more dimensions
%     Tamvel:tooLarge           larger than the image container holds
%     Tamvel:imageLibrary       the image library failed
%     Tamvel:outOfMemory        not enough memory
%
%   Example: three classes that neither image separates on its own
%     truth = kron([0 1 2; 2 0 1], ones(40));       % 80 x 120, classes 0 .. 2
%     p = [60 150 190]; s = [50 90 200];            % class means in each image
%     primary = p(truth + 1) + 25 * randn(size(truth));
%     secondary = s(truth + 1) + 25 * randn(size(truth));
%     plain = Tamvel(primary, secondary, [1 1e-4 0 5 30 2 4 3]);      % edge weight 0
%     edged = Tamvel(primary, secondary, [1 1e-4 10000 5 30 2 4 3]);  % edge weight 10000
%     [mean(plain(:) == truth(:)), mean(edged(:) == truth(:))]  % about 0.98 and 0.999
%
%   See also Sorvik, edgeseg_settings.

%!test
%! % The example: both images together, and the edge penalty on top.
%! randn('seed', 3);
%! truth = kron([0 1 2; 2 0 1], ones(40));
%! p = [60 150 190]; s = [50 90 200];
%! primary = p(truth + 1) + 25 * randn(size(truth));
%! secondary = s(truth + 1) + 25 * randn(size(truth));
%! alone = Tamvel(primary, secondary, [0 1e-4 0 5 30 2 4 3]);
%! plain = Tamvel(primary, secondary, [1 1e-4 0 5 30 2 4 3]);
%! edged = Tamvel(primary, secondary, [1 1e-4 10000 5 30 2 4 3]);
%! assert(class(edged), 'double');
%! assert(size(edged), size(truth));
%! assert(mean(alone(:) == truth(:)) < 0.9);
%! assert(mean(plain(:) == truth(:)) > 0.95);
%! assert(mean(edged(:) == truth(:)) > 0.99);

%!test
%! % Any numeric class, and a volume with two channels.
%! assert(Tamvel(uint8([0 0 9; 0 9 9]), zeros(2, 3), [1 0 0 0 5 0 5 2]), [0 0 1; 0 1 1]);
%! assert(size(Tamvel(rand(4, 5, 6, 2), rand(4, 5, 6, 2), [1 0 1 3 5 1 1 2])), [4 5 6]);

%!test
%! % Every thread count gives the same labels.
%! img = kron([0 1; 1 0], ones(9)) * 100 + 20 * randn(18);
%! L = Tamvel(img, img, [1 1e-4 5000 5 20 2 3 2]);
%! assert(Tamvel(img, img, [1 1e-4 5000 5 20 2 3 2], 'threads', 0), L);
%! assert(Tamvel(img, img, [1 1e-4 5000 5 20 2 3 2], "THREADS", 4), L);

%!test
%! % Grey volumes: one channel over three slices, in both images.
%! v = repmat(kron([0 1; 1 0], ones(6)) * 100, [1 1 3]) + 20 * randn(12, 12, 3);
%! L = Tamvel(v, 200 - v, [1 0 5000 3 10 2 2 2], 'volume', true);
%! assert(size(L), [12 12 3]);
%! assert(Tamvel(cat(4, v, v), cat(4, 200 - v, 200 - v), [1 0 10000 3 10 2 2 2]), L);

%!error id=Tamvel:notEnoughInputs Tamvel(1, 1)
%!error id=Tamvel:badOption Tamvel(1, 1, [1 0 0 0 5 0 5 2], 4)
%!error id=Tamvel:badOption Tamvel(1, 1, [1 0 0 0 5 0 5 2], 'Volumes', true)
%!error id=Tamvel:badOption Tamvel(1, 1, [1 0 0 0 5 0 5 2], 'volume')
%!error id=Tamvel:badOption Tamvel(1, 1, [1 0 0 0 5 0 5 2], 'exactsums', true)
%!error id=Tamvel:geometryMismatch Tamvel(ones(3, 4), ones(3, 4), [1 0 0 0 5 0 5 2], 'mask', true(4, 3))
%!error id=Tamvel:emptyMask Tamvel(ones(3, 4), ones(3, 4), [1 0 0 0 5 0 5 2], 'mask', false(3, 4))

%!test
%! % A mask applies to both images: -1 outside, and their values there change no label inside.
%! P = kron([0 1; 1 0], ones(10)) * 100 + 20 * randn(20);
%! S = 200 - P + 20 * randn(20);
%! M = true(20); M(:, 1:5) = false;
%! L = Tamvel(P, S, [1 1e-4 10000 5 20 2 3 2], "mask", M);
%! assert(L(~M), -ones(nnz(~M), 1));
%! P(~M) = NaN; S(~M) = 1e9;
%! assert(Tamvel(P, S, [1 1e-4 10000 5 20 2 3 2], "mask", M), L);
%!error id=Tamvel:badOption Tamvel(1, 1, [1 0 0 0 5 0 5 2], 'volume', NaN)
%!error id=Tamvel:badOption Tamvel(1, 1, [1 0 0 0 5 0 5 2], 'threads', Inf)
%!error id=Tamvel:badOption Tamvel(1, 1, [1 0 0 0 5 0 5 2], 'threads', 2 + 1i)
%!error id=Tamvel:badOption Tamvel(1, 1, [1 0 0 0 5 0 5 2], 'threads', sparse(2))
%!error id=Tamvel:tooManyOutputs [a, b, c] = Tamvel(1, 1, [1 0 0 0 5 0 5 2]);
%!error id=Tamvel:badOption Tamvel(1, 1, [1 0 0 0 5 0 5 2], 'progress', 'yes')

%!test
%! % INFO against a hand computation: the class means of both images.
%! primary = [10 12 50; 11 NaN 52; 90 91 49];
%! secondary = [1 2 3; 4 5 6; 7 8 9];
%! [L, info] = Tamvel(primary, secondary, [1 0 0 0 4 0 10 3]);
%! assert(L, [0 0 1; 0 0 1; 2 2 1]);
%! assert(info.centres, [11; 50.333333333333336; 90.5], 1e-5);
%! assert(info.secondary_centres, [7 / 3; 6; 7.5], 1e-5);
%! assert(info.counts, [4; 3; 2]);
%! assert([info.iterations, info.converged, numel(info.energies)], [4, 0, 4]);
%! assert(Tamvel(primary, secondary, [1 0 0 0 4 0 10 3]), L);
%! text = evalc('Tamvel(primary, secondary, [1 0 0 0 4 0 10 3], "progress", 1);');
%! assert(numel(strsplit(strtrim(text), "\n")), 5);
%!error id=Tamvel:tooFewParameters Tamvel(1, 1, [1 0 0 0 5])
%!error id=Tamvel:badParameters Tamvel(1, 1, [1 0 NaN 0 5 0 5 2])
%!error id=Tamvel:emptyImage Tamvel(zeros(0, 3), zeros(0, 3), [1 0 0 0 5 0 5 2])
%!error id=Tamvel:badParameters Tamvel([1 0 0 0 5 0 5 2], 1, magic(3))
%!error id=Tamvel:badParameters Tamvel(1, 1, struct('class_count', 2, 'window_size', 3, 'edge_weight', 1, 'sigma', 2))
%!error id=Tamvel:geometryMismatch Tamvel(ones(3), ones(3, 4), [1 0 0 0 5 0 5 2])
%!error id=Tamvel:unsupportedClass Tamvel({1}, 1, [1 0 0 0 5 0 5 2])
%!error id=Tamvel:sparseInput Tamvel(speye(3), eye(3), [1 0 0 0 5 0 5 2])
%!error id=Tamvel:tooManyDimensions Tamvel(ones(2, 2, 2, 2, 2), 1, [1 0 0 0 5 0 5 2])

%!demo
%! % Three classes that neither image separates on its own.
%! truth = kron([0 1 2; 2 0 1], ones(40));
%! p = [60 150 190]; s = [50 90 200];
%! primary = p(truth + 1) + 25 * randn(size(truth));
%! secondary = s(truth + 1) + 25 * randn(size(truth));
%! plain = Tamvel(primary, secondary, [1 1e-4 0 5 30 2 4 3]);
%! edged = Tamvel(primary, secondary, [1 1e-4 10000 5 30 2 4 3]);
%! printf('edge weight 0: %.1f%% right; edge weight 10000: %.1f%% right\n', ...
%!        100 * mean(plain(:) == truth(:)), 100 * mean(edged(:) == truth(:)));
%! if isempty(available_graphics_toolkits())
%!   % No display (octave-cli): both images above both results, in a file.
%!   scaled = @(v) (v - min(v(:))) / (max(v(:)) - min(v(:)));
%!   file = fullfile(tempdir(), 'Tamvel_demo_1.png');
%!   imwrite([scaled(primary), scaled(secondary); plain / 2, edged / 2], file);
%!   printf('no graphics here: wrote primary | secondary above weight 0 | weight 10000 to %s\n', file);
%! else
%!   subplot(2, 2, 1); imagesc(primary); axis image off; title('primary');
%!   subplot(2, 2, 2); imagesc(secondary); axis image off; title('secondary');
%!   subplot(2, 2, 3); imagesc(plain); axis image off;
%!   title(sprintf('edge weight 0: %.1f%% right', 100 * mean(plain(:) == truth(:))));
%!   subplot(2, 2, 4); imagesc(edged); axis image off;
%!   title(sprintf('edge weight 10000: %.1f%% right', 100 * mean(edged(:) == truth(:))));
%!   colormap(gray);
%! end
