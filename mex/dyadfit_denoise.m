% DYADFIT_DENOISE  Denoise an image of any size with dyadic estimators.
%
%   EST = dyadfit_denoise(IMG)
%   EST = dyadfit_denoise(IMG, 'Name', value, ...)
%   [EST, INFO] = dyadfit_denoise(...)
%
%   IMG is an M x N grey image or an M x N x C stack of channels, of any
%   real class: a colour photograph straight from imread works as it is.
%   dyadfit_denoise runs tessik, brindel or quarlo in the way real images
%   need:
%     1. the noise is brought to the modules' terms. Gaussian noise: the
%        noise level SIGMA of each channel is estimated unless given
%        (the median absolute value of the finest diagonal wavelet
%        coefficients, Daubechies four taps, over 0.6745, taken over the
%        quarter of positions whose horizontal and vertical coefficients,
%        summed over 3 x 3 neighbours, are smallest, so that edges and
%        texture do not count as noise. Saturated pixels, at an integer
%        class's limits (0 and 255 for uint8) or, for double and single, at
%        the image's own minimum or maximum when over 1% of the pixels hold
%        it, do not count, nor the positions whose 4 x 4 support reaches
%        one; the level found on the rest is then reduced to the spread the
%        noise keeps once clipped, judged from each pixel's 3 x 3 mean,
%        which is what the image holds. With fewer than 256 positions clear
%        of saturation every position counts, uncorrected, so a mostly
%        saturated image may give a small SIGMA, or 0), and the image is
%        divided by it, so the modules' default penalties, made for noise
%        of unit variance, apply.
%        Poisson noise: the counts go to brindel and quarlo as they are,
%        and to tessik through Anscombe's transform 2*sqrt(x + 3/8).
%        Poisson-Gaussian noise, z = Gain*Poisson(lambda) + Offset +
%        N(0, ReadNoise^2): the data are stabilised by the generalized
%        Anscombe transform (2/Gain)*sqrt(Gain*z + 3/8*Gain^2 +
%        ReadNoise^2 - Gain*Offset) (0 where the root's argument is
%        negative) and denoised as Gaussian noise of level 1.
%     2. colour (C = 3): with 'Colour' 'opponent' (the default) the
%        channels are taken to an orthonormal basis, luminance
%        (R+G+B)/sqrt(3) and the colour differences (R-B)/sqrt(2) and
%        (R-2G+B)/sqrt(6), in which independent noise of one level stays
%        independent and of that level; each of these is denoised, then
%        the result is taken back. 'rgb' denoises each channel as it is.
%        Under Poisson noise, whose counts a basis change would mix, the
%        channels are always denoised as they are. Any other number of
%        channels (2, 4 or more: alpha, multispectral) is denoised one
%        channel at a time.
%     3. each channel is mirror-padded to power-of-two sides (square for
%        'constant');
%     4. the estimate is averaged over SHIFTS cyclic shifts of the dyadic
%        grid, spread over a square of two blocks' side, at least four
%        pixels (each run of brindel or quarlo itself averages two grid
%        positions);
%     5. a second stage (option 'Wiener'): the pilot, the mean of the
%        estimate of step 4 and of the 'constant' one (for 'constant', that
%        estimate alone; under Poisson noise both run as Gaussian on
%        Anscombe's transform of the counts), steers an empirical Wiener
%        filter: every 8 x 8 block (and, in a second pass, every 16 x 16
%        block on a step of 2) of the mirror-padded image is taken to the
%        orthonormal DCT, each coefficient scaled by P^2 / (P^2 + 1) from
%        the pilot's coefficient P, taken back, and the blocks averaged per
%        pixel, weighted by 1 / (sum of the squared scales); of the two
%        block sizes the one of lower Stein's unbiased risk is kept. With
%        'auto' a guard then weighs, per channel, this two-stage estimate
%        against the dyadic one averaged over twice SHIFTS, by their
%        risks estimated from one fixed probe of the noise (Stein's
%        unbiased risk; under Poisson noise its counterpart for counts),
%        and keeps the lower: the second stage wins on textured
%        photographs, the dyadic estimate on piecewise-smooth images,
%        whose edges the blocks would blur;
%     6. the result is taken back to the data's units (scaled back,
%        Anscombe's transform inverted by a closed-form approximation of
%        its exact unbiased inverse; the generalized one by its exact
%        unbiased inverse: the lambda whose expected transform equals the
%        estimate, tabulated per call and within 1e-7 in lambda, with an
%        asymptotic closed form above the table and 0 below the value at
%        lambda = 0, returned as Gain*lambda + Offset), cropped to the
%        image's size and returned: under Gaussian noise in the image's
%        class (integer classes rounded and
%        saturated), under the Poisson models as rates, double (single for
%        single input), whatever the image's class.
%   A channel whose estimated noise level is 0 (or, under Poisson noise,
%   that holds no count) is returned unchanged.
%
%   Options (names and text values in any case)
%     'Method'     'wedgelet' (default, brindel), 'platelet' (quarlo) or
%                  'constant' (tessik).
%     'Noise'      'gaussian' (default), 'poisson' (non-negative counts) or
%                  'poisson-gaussian' (camera data: gain * Poisson + offset
%                  + Gaussian read noise; negative values allowed).
%     'Colour'     'opponent' (default) or 'rgb', for three channels; also
%                  spelt 'Color'.
%     'Wiener'     'auto' (default), 'on' or 'off': the second stage,
%                  guarded, always, or never ('off' is the dyadic estimate
%                  of steps 1 to 4 alone).
%     'Shifts'     number of cyclic shifts averaged, 1 to 1024; default 4.
%                  1 is the modules' own two-position estimate. Under
%                  'auto' the dyadic candidate averages 2 * SHIFTS.
%     'Sigma'      Gaussian noise level, one for every channel or one per
%                  channel; [] (default) estimates it on each channel.
%     'Gain', 'Offset', 'ReadNoise'
%                  Poisson-Gaussian noise in the data's units: the gain
%                  (data units per photon), the offset (the value of no
%                  light) and the read noise's standard deviation; []
%                  (default) estimates what is not given: smooth regions
%                  of all channels give the relation variance = Gain *
%                  mean + ReadNoise^2 - Gain*Offset, fitted across levels;
%                  with neither Offset nor ReadNoise given, Offset is the
%                  image's dark level (its darkest smooth regions taken to
%                  hold no light) and ReadNoise follows from the fit, at
%                  least 0. An image too small (under 16 x 16), too
%                  even or too busy for the fit is refused with a message
%                  asking for the parameters.
%     'BlockSide'  block side of the modules' pre-averaging, a power of two
%                  not above the smaller padded side. Default for
%                  'wedgelet' and 'platelet': the largest power of two not
%                  above 12 / SNR, at least 1 and at most the modules' rule
%                  for the padded size, where SNR is the signal's standard
%                  deviation (from the image's variance less the noise's)
%                  over the noise level, per channel; cleaner images get
%                  smaller blocks. With 'Wiener' 'auto' the guard then
%                  tries doubling it while its risk estimates fall (sides
%                  past 4 only while the dyadic estimate leads), never
%                  going below it. A side given is used as it is. Default
%                  for 'constant': 1, as in tessik.
%     'Penalties'  penalties on the scaled image: one number for
%                  'constant', two (one piece, each piece of a split) for
%                  the others; default the modules' defaults for the padded
%                  size (log(M*N)/3 for 'constant').
%     'Lines'      lines tried per square by brindel and quarlo, 0 to 1e8;
%                  default theirs.
%     'Progress'   true prints a line per shift done, with the time spent
%                  and the time left; default false. Ctrl-C stops the call
%                  at any time either way.
%     'Partition'  true draws the partition into INFO.partition (see
%                  below); default false, which keeps INFO small.
%
%   Outputs
%     EST   the estimate, the size of IMG; its class is IMG's under
%           Gaussian noise, double (single for single IMG) under the
%           Poisson models.
%     INFO  struct: method, noise, colour; sigma (one per channel of IMG,
%           NaN under the Poisson models) and sigma_estimated; gain,
%           offset, read_noise and camera_estimated (Poisson-Gaussian
%           noise, else NaN and false); block_side (one per channel
%           denoised: the opponent channels for colour; under 'auto',
%           the side of the estimate kept) and penalties
%           (a row per channel denoised, as the module applied them);
%           shifts; wiener (the mode), and per channel denoised:
%           two_stage (true where the two-stage estimate was kept), risk
%           (a row [dyadic two-stage] of the guard's risk estimates per
%           pixel, NaN unless 'auto'; in unit noise, or squared counts
%           under Poisson noise) and wiener_block (the Wiener stage's
%           block side, 8 or 16; 0 where it did not run); padded_size,
%           seconds; and partition: [] unless
%           'Partition' is true, then the partition of the first channel's
%           unshifted run (the luminance of a colour image) drawn over the
%           mean of EST's channels as dyadfit_show draws it, an RGB image
%           enlarged as dyadfit_show enlarges by default ([]
%           when IMG was returned unchanged).
%
%   Errors (the message follows "dyadfit_denoise: ")
%     The image is required: dyadfit_denoise(img, 'Name', value, ...).
%     The image must be a real numeric or logical M x N or M x N x C array.
%     The image must have at least 2 rows and 2 columns.
%     The image must not hold NaN or Inf.
%     Values too large: magnitudes up to 1e100 are accepted.
%     Under Poisson noise the image must hold non-negative counts.
%     Options must come in name-value pairs.
%     Option names must be text, such as 'Shifts'.
%     Unknown option 'X'; the options are Method, Noise, Colour, Wiener,
%       Shifts, Sigma, Gain, Offset, ReadNoise, BlockSide, Penalties, Lines,
%       Progress and Partition.
%     Option '<name>' must ...             a bad value, named
%     Option 'Sigma' must hold one number, or one per channel (C).
%     Options 'Gain', 'Offset' and 'ReadNoise' need 'Noise',
%       'poisson-gaussian'.
%     Option 'Sigma' is too small for the image's values.
%     The image is too small to estimate the camera's noise: give 'Gain',
%       'Offset' and 'ReadNoise'.
%     The camera's gain cannot be estimated: the image's levels vary too
%       little. Give 'Gain'.
%     The image has too few smooth regions to estimate the camera's noise:
%       give 'Gain', 'Offset' and 'ReadNoise'.
%     Too many output arguments.
%
%   Examples
%     est = dyadfit_denoise(imread('photo.png'));      % colour, uint8 back
%     [est, info] = dyadfit_denoise(img, 'Shifts', 8, 'Partition', true);
%     printf('sigma %s in %.1f s\n', mat2str(info.sigma, 3), info.seconds);
%     imshow(info.partition)
%     rates = dyadfit_denoise(raw, 'Noise', 'poisson-gaussian', ...
%                             'Gain', 2, 'Offset', 100, 'ReadNoise', 4);
%
%   See also tessik, brindel, quarlo, dyadfit_show.

%!test
%! randn ('seed', 1);
%! y = kron ([50 200; 120 80], ones (32)) + 10 * randn (64);
%! [est, info] = dyadfit_denoise (y, 'Sigma', 10, 'Shifts', 1, 'Wiener', 'off');
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

% SPDX-License-Identifier: BSD-3-Clause
