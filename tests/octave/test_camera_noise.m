function test_camera_noise()
% Runs the cases of dyadfit_denoise under camera (Poisson-Gaussian) noise.
  randp('seed', 21);
  randn('seed', 22);
  [c, r] = meshgrid(1:96, 1:64);
  lambda = 0.2 * c .* (c > 12) + 8 * ((r - 32).^2 + (c - 40).^2 < 200);
  z = 2 * randp(lambda) + 100 + 4 * randn(64, 96);
  given = {'Noise', 'poisson-gaussian', 'Gain', 2, 'Offset', 100, 'ReadNoise', 4};

  % Integer data come back as rates: doubles, not rounded to the class.
  [est, info] = dyadfit_denoise(uint16(round(z)), given{:}, 'Shifts', 1);
  check(isa(est, 'double') && any(est(:) ~= round(est(:))), 'uint16 counts come back as double rates');
  check(info.gain == 2 && info.offset == 100 && info.read_noise == 4 && ~info.camera_estimated, ...
        'info of a given camera');
  % With the offset taken off, the data go below zero.
  est = dyadfit_denoise(z - 100, given{1:4}, 'Offset', 0, 'ReadNoise', 4, 'Shifts', 1);
  check(any(z(:) < 100) && all(isfinite(est(:))) && min(est(:)) >= 0, ...
        'negative data accepted; rates at or above the offset');
  [~, info] = dyadfit_denoise(z, 'Noise', 'poisson-gaussian', 'Offset', 100, 'Shifts', 1);
  check(info.camera_estimated && info.offset == 100 && abs(info.gain - 2) < 0.4 && abs(info.read_noise - 4) < 1, ...
        'info of an estimated camera, the given offset kept');
  % Colour: one camera for the three channels, estimated on their own noise
  % (a mean of the channels would hold a third of its variance).
  zc = cat(3, z, 2 * randp(lambda) + 100 + 4 * randn(64, 96), 2 * randp(lambda) + 100 + 4 * randn(64, 96));
  [est, info] = dyadfit_denoise(zc, 'Noise', 'poisson-gaussian', 'Offset', 100, 'Shifts', 1);
  check(isequal(size(est), size(zc)) && abs(info.gain - 2) < 0.4, 'colour camera: one gain for the channels');

  check_error(@() dyadfit_denoise(z, 'Noise', 'poisson-gaussian', 'Gain', -1), ...
              'Option ''Gain'' must be a positive finite number, or [] to estimate it.', 'bad gain');
  check_error(@() dyadfit_denoise(z, 'Offset', 100), ...
              'Options ''Gain'', ''Offset'' and ''ReadNoise'' need ''Noise'', ''poisson-gaussian''.', ...
              'camera options without camera noise');
  check_error(@() dyadfit_denoise(100 + randn(8, 8), 'Noise', 'poisson-gaussian'), ...
              'The image is too small to estimate the camera''s noise: give ''Gain'', ''Offset'' and ''ReadNoise''.', ...
              'camera estimated on a tiny image');
  clear dyadfit_denoise
  check_done('test_camera_noise');
end

% SPDX-License-Identifier: BSD-3-Clause
