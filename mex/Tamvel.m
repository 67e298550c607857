% Tamvel  Segment an image into K classes jointly with a second image of the same scene.
%
%   L = Tamvel(PRIMARY, SECONDARY, PARAMETERS)
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
%   settles or the iteration limit is reached.
%
%   PRIMARY     logical or numeric array (double, single, int8 ... uint64;
%               complex input uses the real part):
%                 rows x columns                      grey image
%                 rows x columns x channels           colour or multi-channel
%                 rows x columns x depth x channels   volume
%               with at least one row, column, slice and channel.
%   SECONDARY   logical or numeric array with the rows, columns and depth of
%               PRIMARY and at least its number of channels; channels beyond
%               those of PRIMARY are not used.
%   PARAMETERS  vector of at least eight numbers, in this order:
%     1  secondary weight  factor on the squared distance in SECONDARY;
%                          converts SECONDARY's squared intensity units into
%                          PRIMARY's (finite; 0 ignores SECONDARY)
%     2  tolerance         stop when (E - Eprev)^2 < tolerance * Eprev, with
%                          E the energy of an iteration; a relative measure,
%                          tested only after the plain iterations
%     3  edge weight       cost of a differing neighbour in a flat region,
%                          in PRIMARY's squared intensity units (finite)
%     4  window size       diameter of the disc of the edge penalty, in pixels
%                          (whole number, |w| <= 46340; w <= 0 turns it off)
%     5  max iterations    upper limit on the number of iterations
%     6  band scale        width of the band relabelled after the plain
%                          iterations: the scale, in pixels, of the Gaussian
%                          smoothing that finds pixels near a class boundary;
%                          negative values are a percentage of the largest of
%                          rows, columns and depth (-2 on 256 x 128 gives 5.12
%                          pixels); below 0.1 pixel the band is empty and the
%                          labels stay as the plain iterations left them
%                          (finite)
%     7  last plain iter.  iterations 0 .. T visit every pixel without edge
%                          penalty and without the convergence test; the band
%                          is formed at the end of iteration T (T < 0: edge
%                          penalty and test from the first iteration, every
%                          pixel always visited)
%     8  class count K     whole number from 1 to 16777216
%   Whole-number settings are truncated toward zero (4.9 gives 4).
%
%   L           double array rows x columns x depth of class indices
%               0 .. K-1. Initial centres are spread evenly inside each
%               channel's range, separately for PRIMARY and SECONDARY; ties
%               go to the lower class index. Pixels holding NaN or Inf in
%               either image keep label 0 and do not move the centres.
%
%   Errors (identifier: cause):
%     Tamvel:notEnoughInputs / Tamvel:tooManyInputs   not exactly 3 inputs
%     Tamvel:tooManyOutputs     more than one output requested
%     Tamvel:tooFewParameters   fewer than eight parameter values
%     Tamvel:badParameters      a setting is NaN, infinite or out of range
%     Tamvel:emptyImage         PRIMARY has no rows, columns, slices or channels
%     Tamvel:geometryMismatch   SECONDARY differs from PRIMARY in rows, columns
%                               or depth, or has fewer channels
%     Tamvel:unsupportedClass   char, cell, struct, function handle, ...
%     Tamvel:sparseInput        sparse array (use full())
%     Tamvel:tooManyDimensions  more than 4 dimensions
%     Tamvel:tooLarge           larger than the image container holds
%     Tamvel:imageLibrary       the image library failed
%     Tamvel:outOfMemory        not enough memory
%
%   Example:
%     [x, y] = meshgrid(1:64);
%     primary = 100 * (x > 32) + 50 * (y > 40) + 8 * sin(x .* y);
%     secondary = 200 * (hypot(x - 20, y - 20) < 12) + 8 * cos(x + y);
%     L = Tamvel(primary, secondary, [0.5 1e-4 500 5 20 2 4 4]);
%     disp(accumarray(L(:) + 1, 1)')   % pixels per class
%
%   See also Sorvik.
