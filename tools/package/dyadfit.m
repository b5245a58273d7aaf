% DYADFIT  Image estimates and denoising on recursive dyadic partitions.
%
%   The image is cut into aligned squares of side 1, 2, 4, 8, ..., and a
%   penalized cost decides, from the smallest squares upward, which squares
%   become single pieces. Gaussian noise, Poisson counts and a camera's
%   Poisson-Gaussian noise are handled; results are the same for any
%   number of threads.
%
%   Denoising
%     dyadfit_denoise - denoise an image of any size, grey or colour, of any
%                       class: noise level found from the image, estimates
%                       averaged over shifted partitions
%
%   Estimates on one partition (power-of-two sides)
%     tessik          - one constant per dyadic square
%     brindel         - wedgelets: a constant, or a square cut by a line
%                       into two constants
%     quarlo          - platelets: a plane, or a square cut by a line into
%                       two planes
%
%   Display
%     dyadfit_show    - draw the squares of a partition over an image
%
%   Type "help NAME" for each function. The command line (dyadfit --help)
%   denoises image files: TIFF, FITS, PNG, JPEG and more.
%
%   License: BSD-3-Clause.

function dyadfit ()
  help ('dyadfit');
end

% SPDX-License-Identifier: BSD-3-Clause
