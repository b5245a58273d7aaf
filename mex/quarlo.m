% QUARLO  Platelet estimate of an image on a dyadic partition.
%
%   EST = quarlo(IMG)
%   EST = quarlo(IMG, SH, NOISETYPE, PENPLANE, PENPLATELET, LINES)
%   [EST, AVG, LABELS1, SQUARES, EST2, LABELS2] = quarlo(...)
%
%   Approximates IMG by platelets: dyadic squares that hold one plane
%   a + b*row + c*column, or are cut by one straight line into two planes.
%   Planes are least-squares fits (LAPACK). A platelet side whose pixels
%   all lie on one line, or that holds one pixel or none, leaves the fit
%   rank-deficient: it gets the minimum-norm least-squares fit (LAPACK
%   dgelsy, rcond 1e-10), so every split is judged by its best fit. The
%   steps:
%     1. replace every aligned SH x SH block of IMG by its plane;
%     2. prune a dyadic partition of the result bottom-up, one plane per
%        square, under the chosen noise model with the penalty
%        2*PENPLANE/3 per square;
%     3. do the same on a copy shifted cyclically by SH pixels along both
%        axes, and shift its result back;
%     4. average the two estimates;
%     5. revisit every square of side SH that either pruning kept, and fit
%        it from IMG as one plane (cost + PENPLANE) or as the best of
%        LINES platelets (cost + 2*PENPLATELET), whichever costs less (a
%        tie goes to the platelet).
%   The cost is the sum of squared differences ('Gaussian') or the
%   negative Poisson log-likelihood ('Poisson').
%
%   Inputs (an empty [] for SH, PENPLANE or LINES takes the default)
%     IMG          M x N image, M and N powers of two, both >= 2; non-square
%                  images are accepted. Any real numeric or logical class;
%                  it is converted to double.
%     SH           block side, truncated toward zero; it must be a positive
%                  integer dividing M and N.
%                  Default 2^floor(log2((M*N)^(1/6))), at most the smaller
%                  side (4 for 256 x 256, 8 for 1024 x 1024).
%     NOISETYPE    'Gaussian' (default) or 'Poisson', exactly so spelled.
%     PENPLANE     penalty of a one-plane square, >= 0.
%     PENPLATELET  penalty of each of a platelet's two pieces, >= 0; read
%                  only when PENPLANE is given (otherwise its default is
%                  used even if a value is passed).
%                  Defaults: PENPLANE = log(X), PENPLATELET = 4*log(X)/3
%                  with X = M*N for 'Gaussian' and X = sum(IMG(:)) for
%                  'Poisson'. The Gaussian cost is a plain sum of squared
%                  differences: the defaults suit noise of about unit
%                  variance; for standard deviation sigma, multiply them
%                  by sigma^2.
%     LINES        number of lines to try per square. K = floor(sqrt(LINES))
%                  offsets times K angles are searched. Default K^2 with
%                  K = floor((M*N)^(1/3)) (K = 40 for 256 x 256). LINES = 0
%                  tries no line, so every revisited square stays one plane.
%                  At most 1e8 (K = 10000).
%
%   Outputs (only those requested are returned)
%     EST      M x N refined platelet estimate.
%     AVG      M x N mean of the two pruning estimates (steps 2 to 4).
%     LABELS1  M x N label image of the first pruning, constant on each of
%              its squares; drawn from the C library's rand, never seeded.
%     SQUARES  D x 3, the distinct squares kept by either pruning, sorted
%              by rows, each [column, row, side] of its first pixel,
%              counted from 0 (the first column is the image column).
%     EST2     M x N estimate of the shifted pruning, shifted back.
%     LABELS2  M x N label image of the shifted pruning, shifted back.
%
%   Near strong edges a plane can dip below zero. Under 'Poisson' the cost
%   of such a fit is not a number, and the estimate may keep negative
%   values there.
%
%   quarlo takes roughly ten times as long as brindel on the same image:
%   with the defaults, seconds for 256 x 256 and 20 to 30 seconds for
%   512 x 512 on one current core.
%
%   Errors (the message follows "quarlo: ")
%     Too many output arguments.         more than 6 outputs
%     There are at most 6 input parameters allowed!
%     This is an image processing method; it cannot process a vector.
%     The matrix row dimension must be of size m*2^(L)     (likewise column)
%     Input image must be a real numeric matrix.    complex, sparse, char,
%                                                   cell, struct, N-d
%     Input sh must be a positive integer that divides the image sides.
%     noiseType must be a string
%     noiseType must be either 'Poisson' or 'Gaussian'.
%     Poisson data cannot be negative.   default penalties, sum(IMG(:)) < 0
%     The penalty must be positive.      a penalty < 0 or NaN (0 is allowed)
%     Poisson counts too small for the default penalties: the image holds
%     fewer than 1 count in all; give the penalties.
%                                        default penalties, sum(IMG(:)) < 1
%     Values too large: magnitudes up to 1e100 are accepted.
%                                        a finite |IMG| above 1e100 (NaN
%                                        and Inf pass through)
%     The penalties must be real numbers.
%     The number of lines must be a finite non-negative number not above 1e8.
%     The host function unique returned an unexpected result.
%                                        a unique() of the user's on the
%                                        path gave rows that are no squares
%
%   Example
%     [x, y] = meshgrid(1:128);
%     clean = (x + y) / 40 + 3 * (y > 0.6 * x + 20);   % ramp with an edge
%     est = quarlo(clean + randn(128));               % Gaussian noise, sigma 1
%     [est, avg, ~, sq] = quarlo(clean + randn(128), 4, 'Gaussian', 8, 10, 100);
%     % photon counts (non-negative, sum at least 1):
%     %   est = quarlo(counts, [], 'Poisson');
%
%   See also TESSIK, BRINDEL.

%!test
%! % A plane is its own estimate; a constant too, under either noise model.
%! [x, y] = meshgrid (1:16);
%! ramp = x / 4 + 2 * y - 3;
%! assert (quarlo (ramp), ramp, 1e-12);
%! assert (quarlo (5 * ones (16), [], 'Poisson'), 5 * ones (16), 1e-12);

%!test
%! % All six results, with the documented shapes.
%! [x, y] = meshgrid (1:16);
%! img = (x + y) / 8 + 3 * (y > 0.6 * x + 2);
%! [est, avg, labels1, sq, est2, labels2] = quarlo (img, 4, 'Gaussian', 1, 1, 16);
%! assert (cellfun (@size, {est, avg, labels1, est2, labels2}, 'UniformOutput', false), repmat ({[16 16]}, 1, 5));
%! assert (columns (sq), 3);
%! assert (sq, unique (sq, 'rows'));
%! assert (all (sq(:, 3) >= 4));
%! % the refit follows the edge more closely than the pruning average
%! assert (norm (est - img, 'fro') < norm (avg - img, 'fro'));

%!error <quarlo: Too many output arguments.> [a, b, c, d, e, f, g] = quarlo (ones (4))
%!error <quarlo: There are at most 6 input parameters allowed!> quarlo (ones (4), 1, 'Gaussian', 1, 2, 3, 4)
%!error <quarlo: This is an image processing method; it cannot process a vector.> quarlo (ones (4, 1))
%!error <quarlo: The matrix row dimension must be of size m\*2\^\(L\)> quarlo (ones (12))
%!error <quarlo: Input image must be a real numeric matrix.> quarlo ('abcd')
%!error <quarlo: Input sh must be a positive integer that divides> quarlo (ones (4), 0)
%!error <quarlo: noiseType must be a string> quarlo (ones (4), [], {'Gaussian'})
%!error <quarlo: noiseType must be either 'Poisson' or 'Gaussian'.> quarlo (ones (4), [], 'Poison')
%!error <quarlo: Poisson data cannot be negative.> quarlo (-ones (4), [], 'Poisson')
%!error <quarlo: The penalty must be positive.> quarlo (ones (4), [], 'Gaussian', 1, -2)
%!error <quarlo: The penalties must be real numbers.> quarlo (ones (4), [], 'Gaussian', 1, 2i)
%!error <quarlo: The number of lines must be a finite non-negative number not above 1e8.> quarlo (ones (4), [], 'Gaussian', 1, 2, Inf)

% SPDX-License-Identifier: BSD-3-Clause
