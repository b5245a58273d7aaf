function P = dyadfit_phantom(n)
% DYADFIT_PHANTOM  Shepp-Logan head phantom (high-contrast variant), n x n.
%
%   P = dyadfit_phantom(n) returns an n x n double image with values in
%   [0, 1]: ten ellipses on a zero background, the outer one (the skull)
%   at 1, the brain at 0.2 and the small inner features at 0.1 to 0.4.
%   The image has sharp straight-ish and curved edges, flat regions and
%   small details, which is what the dyadfit estimators are built for.
%
%   Example:
%     P = dyadfit_phantom(256);
%     imwrite(P, 'phantom.png');

  % Each row: intensity, semi-axis a, semi-axis b, centre x, centre y,
  % rotation in degrees; coordinates in [-1, 1], y pointing up.
  E = [ 1.0   .69    .92     0      0       0
       -0.8   .6624  .8740   0     -.0184   0
       -0.2   .1100  .3100   .22    0     -18
       -0.2   .1600  .4100  -.22    0      18
        0.1   .2100  .2500   0      .35     0
        0.1   .0460  .0460   0      .1      0
        0.1   .0460  .0460   0     -.1      0
        0.1   .0460  .0230  -.08   -.605    0
        0.1   .0230  .0230   0     -.606    0
        0.1   .0230  .0460   .06   -.605    0];

  t = ((0:n-1) - (n-1)/2) / max((n-1)/2, 1);
  [X, Y] = meshgrid(t, -t);
  P = zeros(n);
  for k = 1:size(E, 1)
    phi = E(k, 6) * pi / 180;
    x = X - E(k, 4);
    y = Y - E(k, 5);
    u = ( cos(phi) * x + sin(phi) * y) / E(k, 2);
    v = (-sin(phi) * x + cos(phi) * y) / E(k, 3);
    inside = u.^2 + v.^2 <= 1;
    P(inside) = P(inside) + E(k, 1);
  end
  % Sums of the intensities leave rounding residues around 0 and 1.
  P = min(max(P, 0), 1);
end

% SPDX-License-Identifier: BSD-3-Clause
