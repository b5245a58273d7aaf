% TESSIK  Piecewise-constant estimate of an image on a dyadic partition.
%
%   [EST, LABELS, SQUARES] = tessik(IMG, PEN)
%   [EST, LABELS, SQUARES] = tessik(IMG, PEN, SH)
%
%   Approximates IMG by one constant on each square of a recursive dyadic
%   partition (squares of side 1, 2, 4, ... aligned on multiples of their
%   side). IMG is first averaged over aligned SH x SH blocks; the partition
%   is then chosen bottom-up: four sibling squares are merged into their
%   parent whenever the parent's squared error plus PEN does not exceed
%   the children's squared error plus PEN per square they hold.
%
%   Inputs
%     IMG  M x N image, M = N a power of two (1 x 1 and empty images are
%          accepted, vectors are not). Any real numeric or logical class;
%          it is converted to double.
%     PEN  penalty per square, a real scalar >= 0 (required). The
%          cost is a plain sum of squared differences, so PEN is in squared
%          intensity units: for Gaussian noise of standard deviation sigma,
%          sigma^2 * log(M*N) / 3 is a reasonable start; larger values give
%          fewer, larger squares.
%     SH   block side of the pre-averaging, a real scalar, truncated
%          toward zero; it must be a positive integer dividing M.
%          Default 1 (no pre-averaging).
%
%   Outputs (only those requested are returned)
%     EST      M x N estimate: on each final square, the mean of the
%              pre-averaged image over that square.
%     LABELS   M x N label image, constant on each final square: the mean
%              of one random value per pixel drawn with the C library's
%              rand (never seeded), so distinct squares get distinct labels
%              with high probability, but the values change from run to run.
%     SQUARES  (M*N) x 3: row k describes the final square of pixel k
%              (column-major order, pixel (r, c) at k = r + M*(c-1)):
%              [top row, left column, side], rows and columns counted
%              from 0.
%
%   Errors (the message follows "tessik: ")
%     At this point the penalty must be input.      PEN missing
%     Too many output arguments.                    more than 3 outputs
%     Input pen must be a scalar.                   PEN not one real number
%     The penalty must be positive.                 PEN < 0 or NaN (0 is allowed)
%     Values too large: magnitudes up to 1e100 are accepted.
%                                                   a finite |IMG| above 1e100
%     Input sh must be a scalar.                    SH not one real number
%     Input sh must be a positive integer that divides the image sides.
%     Images must be square.
%     The matrix row dimension must be of size m*2^(L)     (likewise column)
%     This is an image processing method; it cannot process a vector.
%     Input image must be a real numeric matrix.    complex, sparse, char,
%                                                   cell, struct, N-d (a
%                                                   non-image is named by its
%                                                   class before its shape)
%
%   Example
%     img = kron([1 3; 2 5], ones(32)) + randn(64);   % noise sigma = 1
%     [est, labels, sq] = tessik(img, log(numel(img)) / 3);
%     numel(unique(labels))        % number of final squares
%     sq(1, :)                     % square of pixel (1,1), e.g. [0 0 32]
%
%   See also BRINDEL, QUARLO.

%!test
%! % pen 0 keeps every pixel; a large pen merges the image into one square.
%! [est, labels, sq] = tessik ([1 2; 3 4], 0);
%! assert (est, [1 2; 3 4]);
%! assert (sq, [0 0 1; 1 0 1; 0 1 1; 1 1 1]);
%! assert (numel (unique (labels)), 4);
%! [est, labels, sq] = tessik ([1 2; 3 4], 10);
%! assert (est, 2.5 * ones (2));
%! assert (sq, repmat ([0 0 2], 4, 1));
%! assert (numel (unique (labels)), 1);

%!test
%! % Parent error 12 + pen against 4 * pen: a tie (pen 4) merges.
%! assert (tessik ([0 0; 0 4], 4), ones (2));
%! assert (tessik ([0 0; 0 4], 3.99), [0 0; 0 4]);

%!test
%! % Pre-averaging over 2 x 2 blocks; any real class is read as double.
%! img = reshape (1:16, 4, 4);
%! [est, ~, sq] = tessik (img, 0, 2);
%! assert (est, kron ([3.5 11.5; 5.5 13.5], ones (2)));
%! assert (sq(:, 3), 2 * ones (16, 1));
%! assert (tessik (uint8 (img), 0, 2.9), est);

%!error <tessik: At this point the penalty must be input.> tessik (ones (4))
%!error <tessik: Too many output arguments.> [a, b, c, d] = tessik (ones (4), 1)
%!error <tessik: Input pen must be a scalar.> tessik (ones (4), [1 2])
%!error <tessik: The penalty must be positive.> tessik (ones (4), NaN)
%!error <tessik: Input sh must be a scalar.> tessik (ones (4), 1, [1 2])
%!error <tessik: Input sh must be a positive integer that divides> tessik (ones (4), 1, 3)
%!error <tessik: Images must be square.> tessik (ones (4, 8), 1)
%!error <tessik: The matrix row dimension must be of size m\*2\^\(L\)> tessik (ones (6), 1)
%!error <tessik: This is an image processing method; it cannot process a vector.> tessik (ones (1, 4), 1)
%!error <tessik: Input image must be a real numeric matrix.> tessik (complex (ones (4)), 1)
%!error <tessik: Input image must be a real numeric matrix.> tessik ({1}, 1)

% SPDX-License-Identifier: BSD-3-Clause
