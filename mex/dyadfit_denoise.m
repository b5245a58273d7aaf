% DYADFIT_DENOISE  Denoise an image of any size with dyadic estimators.
%
%   EST = dyadfit_denoise(IMG)
%   EST = dyadfit_denoise(IMG, 'Name', value, ...)
%   [EST, INFO] = dyadfit_denoise(...)
%
%   Runs tessik, brindel or quarlo in the way real images need:
%     1. the noise level SIGMA is estimated (Gaussian noise) unless given:
%        the median absolute value of the finest diagonal wavelet
%        coefficients (Daubechies, four taps) divided by 0.6745, taken
%        over the quarter of positions whose horizontal and vertical
%        coefficients (summed over 3 x 3 neighbours) are smallest, so that
%        edges and texture do not count as noise;
%     2. the image is divided by SIGMA, so the modules' default penalties,
%        made for noise of unit variance, apply; under Poisson noise the
%        counts go to brindel and quarlo as they are, and to tessik through
%        Anscombe's transform 2*sqrt(x + 3/8);
%     3. it is mirror-padded to power-of-two sides (square for
%        'constant');
%     4. the estimate is averaged over SHIFTS cyclic shifts of the dyadic
%        grid, spread over a square of four blocks' side (each run of
%        brindel or quarlo itself averages two grid positions);
%     5. the result is scaled back (or Anscombe's transform inverted by a
%        closed-form approximation of its exact unbiased inverse), cropped
%        to the image's size and returned in the image's class: integer
%        classes are rounded and saturated.
%   An image whose estimated noise level is 0 (or, under Poisson noise,
%   that holds no count) is returned unchanged.
%
%   Options (names and text values in any case)
%     'Method'     'wedgelet' (default, brindel), 'platelet' (quarlo) or
%                  'constant' (tessik).
%     'Noise'      'gaussian' (default) or 'poisson' (non-negative counts).
%     'Shifts'     number of cyclic shifts averaged, 1 to 1024; default 4.
%                  1 is the modules' own two-position estimate.
%     'Sigma'      Gaussian noise level; [] (default) estimates it.
%     'BlockSide'  block side of the modules' pre-averaging, a power of two
%                  not above the smaller padded side. Default for
%                  'wedgelet' and 'platelet': the largest power of two not
%                  above 12 / SNR, at least 1 and at most the modules' rule
%                  for the padded size, where SNR is the signal's standard
%                  deviation (from the image's variance less the noise's)
%                  over the noise level; cleaner images get smaller blocks.
%                  Default for 'constant': 1, as in tessik.
%     'Penalties'  penalties on the scaled image: one number for
%                  'constant', two (one piece, each piece of a split) for
%                  the others; default the modules' defaults for the padded
%                  size (log(M*N)/3 for 'constant').
%     'Lines'      lines tried per square by brindel and quarlo, 0 to 1e8;
%                  default theirs.
%     'Progress'   true prints a line per shift done, with the time spent
%                  and the time left; default false. Ctrl-C stops the call
%                  at any time either way.
%
%   Outputs
%     EST   the estimate, the size and class of IMG.
%     INFO  struct: method, noise, sigma (NaN under Poisson noise),
%           sigma_estimated, block_side, penalties (as the module applied
%           them), shifts, padded_size, seconds, and partition: the
%           partition of the unshifted run drawn over EST as dyadfit_show
%           draws it (square outlines in red, the cuts of split squares in
%           green), an RGB image enlarged so that its larger side has at
%           least 512 pixels; [] when IMG was returned unchanged.
%
%   Errors (the message follows "dyadfit_denoise: ")
%     The image is required: dyadfit_denoise(img, 'Name', value, ...).
%     The image must be a real numeric or logical matrix.
%     The image must have at least 2 rows and 2 columns.
%     The image must not hold NaN or Inf.
%     Under Poisson noise the image must hold non-negative counts.
%     Options must come in name-value pairs.
%     Option names must be text, such as 'Shifts'.
%     Unknown option 'X'; the options are Method, Noise, Shifts, Sigma,
%       BlockSide, Penalties, Lines and Progress.
%     Option '<name>' must ...             a bad value, named
%     Option 'Sigma' is too small for the image's values.
%     Too many output arguments.
%
%   Example
%     img = double(imread('photo.png'));
%     [est, info] = dyadfit_denoise(img, 'Shifts', 8);
%     printf('sigma %.2f in %.1f s\n', info.sigma, info.seconds);
%
%   See also tessik, brindel, quarlo.

%!test
%! randn ('seed', 1);
%! y = kron ([50 200; 120 80], ones (32)) + 10 * randn (64);
%! [est, info] = dyadfit_denoise (y, 'Sigma', 10, 'Shifts', 1);
%! assert (est, brindel (y / 10, info.block_side, 'Gaussian', info.penalties(1), info.penalties(2)) * 10);
%!test
%! randn ('seed', 2);
%! y = uint8 (kron ([50 200; 120 80], ones (50, 60)) + 10 * randn (100, 120));
%! [est, info] = dyadfit_denoise (y);
%! assert (class (est), 'uint8');
%! assert (size (est), [100 120]);
%! assert (info.padded_size, [128 128]);
%! assert (abs (info.sigma / 10 - 1) < 0.1);
%!assert (dyadfit_denoise (zeros (8), 'Noise', 'poisson'), zeros (8))
%!error <Option 'Shifts' must be a whole number from 1 to 1024.> dyadfit_denoise (magic (8), 'Shifts', 0)
%!error <Unknown option 'Foo'> dyadfit_denoise (magic (8), 'Foo', 1)
%!error <The image must have at least 2 rows and 2 columns.> dyadfit_denoise (1:8)
