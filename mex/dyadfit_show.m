% DYADFIT_SHOW  Draw the squares of a dyadic partition over an image.
%
%   dyadfit_show(IMG, SQUARES)
%   RGB = dyadfit_show(IMG, SQUARES)
%   RGB = dyadfit_show(IMG, SQUARES, LAYOUT, SCALE, RANGE)
%
%   Outlines every square of SQUARES (result 3 of tessik, result 4 of
%   brindel or quarlo) in yellow over the grey image IMG. With no output, the
%   picture is shown with image() in the current figure, titled with a
%   one-line legend ("dyadic partition: N squares (yellow)"); where the
%   session has no window system or no graphics toolkit (octave-cli),
%   nothing is shown or returned and a warning (id dyadfit:show:noDisplay)
%   says: "no display here; ask for the picture, rgb = dyadfit_show(...),
%   and save it with imwrite."
%
%   Inputs (an empty [] selects the default)
%     IMG      M x N image, any real numeric or logical class, not empty.
%     SQUARES  D x 3 squares, [] for none. Two layouts:
%                'pixels'    tessik's result 3: one row per pixel, in
%                            column-major pixel order, [top row, left
%                            column, side];
%                'distinct'  brindel's and quarlo's result 4: one row per
%                            square, [column, row, side].
%              All counted from 0; each square once is enough. A square may
%              run past the bottom or right border (the shifted pruning's
%              do): it continues from the top or left.
%     LAYOUT   'pixels' or 'distinct'. Default: 'pixels' when SQUARES has
%              one row per pixel of IMG (M*N rows), else 'distinct'.
%     SCALE    positive integer: each pixel of IMG becomes SCALE x SCALE
%              pixels of the picture, so that outlines leave the image
%              visible. Default: the smallest that makes the larger side at
%              least 512 pixels, and at least 2 up to 1024 pixels, so that
%              a square of side 1 keeps a pixel beside its outline.
%     RANGE    [LO HI], finite, LO < HI: LO shows black, HI white, values
%              between them linearly, values beyond clamped, NaN black.
%              Default: the least and largest finite values of IMG (a flat
%              image shows mid grey).
%
%   Output
%     RGB  (M*SCALE) x (N*SCALE) x 3 double, values in [0, 1]. Outlines
%          are one picture pixel wide at any SCALE, and neighbouring squares
%          share theirs: a square's top and left edges lie on the first
%          picture row and column of its block, its bottom and right edges
%          on the first ones past it (the last ones at the image's border).
%          A line pixel is yellow [1 0.85 0] blended over the grey with
%          opacity 0.6: 0.6 * yellow + 0.4 * grey, so the image shows
%          through. Yellow stays distinct from the blue [0 0.4 1] cuts that
%          dyadfit_denoise's partition picture adds, also for red-green
%          colour-blind readers.
%
%   Errors (the message follows "dyadfit_show: ")
%     There are at least 2 input parameters required!
%     There are at most 5 input parameters allowed!
%     Too many output arguments.
%     img must be a non-empty real numeric or logical matrix.
%     squares must be a real matrix of 3 columns.
%     layout must be 'pixels' or 'distinct'.
%     scale must be a positive integer.                 (at most 65536)
%     range must be [lo hi] with finite lo < hi.
%     A per-pixel squares matrix needs one row per pixel of the image.
%     Row K of squares is not a square of the image.    non-integer, side
%                                                       < 1 or above the
%                                                       smaller side, corner
%                                                       outside the image
%     The picture would be too large.                   more than 2^30 values
%
%   Example
%     img = kron([1 3; 2 5], ones(32)) + randn(64);
%     [est, avg, labels, squares] = brindel(img);
%     dyadfit_show(est, squares)                  % shown in a figure
%     rgb = dyadfit_show(est, squares, [], 4);    % 256 x 256 x 3
%     imwrite(rgb, 'partition.png');
%     [~, ~, sq] = tessik(img, 3);
%     rgb = dyadfit_show(img, sq, 'pixels');
%
%   See also TESSIK, BRINDEL, QUARLO.

% SPDX-License-Identifier: BSD-3-Clause
