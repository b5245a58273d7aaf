function img = blocky_image(n, seed)
% An n x n test image: constant 8x8 blocks of 0, 10, 20 or 30, plus integer
% noise 0 to 2, so that the prunings keep squares of several sides.
  rand('seed', seed);
  img = 10 * kron(floor(4 * rand(n / 8)), ones(8)) + floor(3 * rand(n));
end

% SPDX-License-Identifier: BSD-3-Clause
