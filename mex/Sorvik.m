% Sorvik  Segment an image into K classes by edge-weighted clustering.
%
%   L = Sorvik(IMAGE, PARAMETERS)
%
%   Assigns every pixel of IMAGE to one of K classes. A pixel's cost for a
%   class is the squared Euclidean distance between its channel values and
%   the class centre plus, after the plain iterations, an edge weight times
%   the number of pixels in a disc around it (in its own slice) that carry a
%   different label. Pixels are relabelled one at a time in raster order and
%   in place; the centres then become the means of their pixels. This
%   repeats until the energy settles or the iteration limit is reached.
%
%   IMAGE       logical or numeric array (double, single, int8 ... uint64;
%               complex input uses the real part):
%                 rows x columns                      grey image
%                 rows x columns x channels           colour or multi-channel
%                 rows x columns x depth x channels   volume
%   PARAMETERS  vector of at least six numbers, in this order:
%     1  window size w     diameter of the disc of the edge term, in pixels
%                          (whole number, |w| <= 46340; w <= 0 turns it off)
%     2  edge weight       cost of each differing neighbour in the disc, in
%                          squared intensity units (finite)
%     3  tolerance         stop when (E - Eprev)^2 < tolerance * Eprev,
%                          tested only after the plain iterations
%     4  max iterations    upper limit on the number of iterations
%     5  last plain iter.  iterations 0 .. T run without edge term and test
%                          (T < 0: edge term from the first iteration)
%     6  class count K     whole number from 1 to 16777216
%   Whole-number settings are truncated toward zero (4.9 gives 4).
%
%   L           double array rows x columns x depth of class indices
%               0 .. K-1. Initial centres are spread evenly inside each
%               channel's range; ties go to the lower class index. Pixels
%               holding NaN or Inf keep label 0 and do not move the centres.
%
%   Errors (identifier: cause):
%     Sorvik:notEnoughInputs / Sorvik:tooManyInputs   not exactly 2 inputs
%     Sorvik:tooManyOutputs     more than one output requested
%     Sorvik:tooFewParameters   fewer than six parameter values
%     Sorvik:badParameters      a setting is NaN, infinite or out of range
%     Sorvik:unsupportedClass   char, cell, struct, function handle, ...
%     Sorvik:sparseInput        sparse array (use full())
%     Sorvik:tooManyDimensions  more than 4 dimensions
%     Sorvik:tooLarge           larger than the image container holds
%     Sorvik:imageLibrary       the image library failed (e.g. 0 x 5 image)
%     Sorvik:outOfMemory        not enough memory
%
%   Example:
%     img = double(imread('coins.png'));
%     L = Sorvik(img, [5 2000 1e-4 30 4 3]);
%     imagesc(L); axis image
%
%   See also Tamvel.
