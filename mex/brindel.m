% BRINDEL  Wedgelet estimate of an image on a dyadic partition.
%
%   EST = brindel(IMG)
%   EST = brindel(IMG, SH, NOISETYPE, PENCONST, PENWEDGE, LINES)
%   [EST, AVG, LABELS1, SQUARES, EST2, LABELS2] = brindel(...)
%
%   Approximates IMG by wedgelets: dyadic squares that hold one constant
%   or are cut by one straight line into two constants. The steps:
%     1. average IMG over aligned SH x SH blocks;
%     2. prune a dyadic partition of the averaged image bottom-up, one
%        constant per square, under the chosen noise model with the
%        penalty 2*PENCONST/3 per square;
%     3. do the same on a copy shifted cyclically by SH pixels along both
%        axes, and shift its result back;
%     4. average the two estimates;
%     5. revisit every square of side SH that either pruning kept, and fit
%        it from IMG as one constant (cost + PENCONST) or as the best of
%        LINES wedgelets (cost + 2*PENWEDGE), whichever costs less (a tie
%        goes to the wedgelet).
%   The cost is the sum of squared differences ('Gaussian') or the
%   negative Poisson log-likelihood ('Poisson').
%
%   Inputs (an empty [] for SH, PENCONST or LINES takes the default)
%     IMG        M x N image, M and N powers of two, both >= 2; non-square
%                images are accepted. Any real numeric or logical class;
%                it is converted to double.
%     SH         block side, truncated toward zero; it must be a positive
%                integer dividing M and N.
%                Default 2^floor(log2((M*N)^(1/6))), at most the smaller
%                side (4 for 256 x 256, 8 for 1024 x 1024).
%     NOISETYPE  'Gaussian' (default) or 'Poisson', exactly so spelled.
%     PENCONST   penalty of a one-constant square, >= 0.
%     PENWEDGE   penalty of each of a wedgelet's two pieces, >= 0; read
%                only when PENCONST is given (otherwise its default is
%                used even if a value is passed).
%                Defaults: PENCONST = log(X)/3, PENWEDGE = 2*log(X)/3 with
%                X = M*N for 'Gaussian' and X = sum(IMG(:)) for 'Poisson'.
%                The Gaussian cost is a plain sum of squared differences:
%                the defaults suit noise of about unit variance; for
%                standard deviation sigma, multiply them by sigma^2.
%     LINES      number of lines to try per square. K = floor(sqrt(LINES))
%                offsets times K angles are searched. Default K^2 with
%                K = floor((M*N)^(1/3)) (K = 40 for 256 x 256). LINES = 0
%                tries no line, so every revisited square stays constant.
%                At most 1e8 (K = 10000).
%
%   Outputs (only those requested are returned)
%     EST      M x N refined wedgelet estimate.
%     AVG      M x N mean of the two pruning estimates (steps 2 to 4).
%     LABELS1  M x N label image of the first pruning, constant on each of
%              its squares; drawn from the C library's rand, never seeded.
%     SQUARES  D x 3, the distinct squares kept by either pruning, sorted
%              by rows, each [column, row, side] of its first pixel,
%              counted from 0 (the first column is the image column).
%     EST2     M x N estimate of the shifted pruning, shifted back.
%     LABELS2  M x N label image of the shifted pruning, shifted back.
%
%   Errors (the message follows "brindel: ")
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
%     clean = 4 * (y > 0.6 * x + 20);
%     est = brindel(clean + randn(128));            % Gaussian noise, sigma 1
%     [est, avg, ~, sq] = brindel(clean + randn(128), 4, 'Gaussian', 5, 8, 400);
%     % photon counts (non-negative, sum at least 1):
%     %   est = brindel(counts, [], 'Poisson');
%
%   See also TESSIK, QUARLO.

%!test
%! % A constant image is its own estimate under either noise model.
%! assert (brindel (5 * ones (16)), 5 * ones (16));
%! assert (brindel (5 * ones (16), [], 'Poisson'), 5 * ones (16));

%!test
%! % Steps 1 to 4 are tessik's pruning with penalty 2*PENCONST/3, on the
%! % image and on its copy shifted by SH.
%! randn ('seed', 1);
%! img = kron ([1 3; 2 5], ones (8)) + randn (16);
%! [est, avg, labels1, sq, est2, labels2] = brindel (img, 2, 'Gaussian', 3, 4, 9);
%! [est1, tessik_labels] = tessik (img, 2, 2);
%! assert (est2, circshift (tessik (circshift (img, [2 2]), 2, 2), [-2 -2]));
%! assert (avg, (est1 + est2) / 2);
%! % labels1 tells apart the same squares as tessik's labels
%! [~, ~, a] = unique (labels1);
%! [~, ~, b] = unique (tessik_labels);
%! assert (rows (unique ([a b], 'rows')), numel (unique (a)));
%! assert (numel (unique (a)), numel (unique (b)));
%! assert (size (est), [16 16]);
%! assert (size (labels2), [16 16]);
%! % squares: distinct rows, sorted; sides are powers of two from SH up
%! assert (sq, unique (sq, 'rows'));
%! assert (all (sq(:, 3) >= 2 & bitand (sq(:, 3), sq(:, 3) - 1) == 0));

%!test
%! % Any real class is read as double.
%! img = kron ([0 1; 1 1], ones (8));
%! assert (brindel (uint8 (img)), brindel (img));
%! assert (brindel (logical (img)), brindel (img));

%!error <brindel: Too many output arguments.> [a, b, c, d, e, f, g] = brindel (ones (4))
%!error <brindel: There are at most 6 input parameters allowed!> brindel (ones (4), 1, 'Gaussian', 1, 2, 3, 4)
%!error <brindel: This is an image processing method; it cannot process a vector.> brindel (ones (1, 4))
%!error <brindel: The matrix row dimension must be of size m\*2\^\(L\)> brindel (ones (6))
%!error <brindel: Input image must be a real numeric matrix.> brindel (complex (ones (4)))
%!error <brindel: Input sh must be a positive integer that divides> brindel (ones (4), 3)
%!error <brindel: noiseType must be a string> brindel (ones (4), [], 3)
%!error <brindel: noiseType must be either 'Poisson' or 'Gaussian'.> brindel (ones (4), [], 'gaussian')
%!error <brindel: Poisson data cannot be negative.> brindel (-ones (4), [], 'Poisson')
%!error <brindel: The penalty must be positive.> brindel (ones (4), [], 'Gaussian', -1)
%!error <brindel: Poisson counts too small for the default penalties> brindel (0.05 * ones (4), [], 'Poisson')
%!error <brindel: Values too large: magnitudes up to 1e100 are accepted.> brindel ([1 0; 0 1e101])
%!error <brindel: The penalties must be real numbers.> brindel (ones (4), [], 'Gaussian', 1i)
%!error <brindel: The number of lines must be a finite non-negative number not above 1e8.> brindel (ones (4), [], 'Gaussian', 1, 2, 1e9)

% SPDX-License-Identifier: BSD-3-Clause
