function test_denoise()
% Runs the cases of dyadfit_denoise inside the host.
  known_sigma();
  padding_and_classes();
  noise_level();
  poisson();
  colour();
  rates();
  wiener();
  bad_inputs();
  clear dyadfit_denoise brindel tessik
  check_done('test_denoise');
end

function img = test_image(rows, cols)
% A piecewise-smooth image in 0..255: a disc, a ramp and a bar.
  [c, r] = meshgrid(1:cols, 1:rows);
  img = 60 + 0.3 * c + 120 * ((r - rows / 2).^2 + (c - cols / 3).^2 < (min(rows, cols) / 4)^2);
  img(:, round(0.7 * cols):round(0.8 * cols)) = 230;
end

function known_sigma()
  % With Sigma given and one shift, the entry is brindel on IMG/SIGMA with
  % the penalties it reports, scaled back: same bits.
  randn('seed', 11);
  s = 20;
  y = test_image(64, 128) + s * randn(64, 128);
  [est, info] = dyadfit_denoise(y, 'Sigma', s, 'Shifts', 1, 'Wiener', 'off');
  ref = brindel(y / s, info.block_side, 'Gaussian', info.penalties(1), info.penalties(2)) * s;
  check(isequal(est, ref), 'Sigma given, one shift: brindel on the scaled image');
  check(info.sigma == s && ~info.sigma_estimated && info.shifts == 1, 'info of a given sigma');
  % The default block side follows the signal-to-noise rule: 12 noise
  % levels per standard deviation of the signal, down to a power of two.
  snr = sqrt(var(y(:) / s, 1) - 1);
  check(info.block_side == min(2^floor(log2(12 / snr)), 4), 'default block side');
  est = dyadfit_denoise(y, 'Sigma', s, 'Method', 'constant', 'Shifts', 1, 'BlockSide', 2, 'Penalties', 1.5, ...
                        'Wiener', 'off');
  full = tessik([y; y(64:-1:1, :)] / s, 1.5, 2) * s;
  check(isequal(est, full(1:64, :)), ...
        'constant: square mirror padding, explicit penalty and block side');
end

function padding_and_classes()
  randn('seed', 12);
  y = test_image(37, 53) + 15 * randn(37, 53);
  [est, info] = dyadfit_denoise(y, 'Sigma', 15, 'Shifts', 1, 'Partition', true, 'Wiener', 'off');
  % Mirror padding to 64 x 64 (rows 37, 36, ..., 11 after row 37), then crop.
  rows = [1:37, 37:-1:11];
  cols = [1:53, 53:-1:43];
  full = brindel(y(rows, cols) / 15, info.block_side, 'Gaussian', info.penalties(1), info.penalties(2)) * 15;
  check(isequal(est, full(1:37, 1:53)), 'mirror padding of a 37 x 53 image, cropped back');
  check(isequal(info.padded_size, [64 64]), 'padded size');
  % The partition picture covers the image alone, enlarged as dyadfit_show
  % enlarges (to 512 pixels along the larger side: 10 x here).
  rgb = info.partition;
  check(isequal(size(rgb), [370 530 3]) && all(rgb(:) >= 0 & rgb(:) <= 1), 'partition picture');
  % Every class comes back as itself, rounded and saturated as the host's
  % own conversion from double would.
  d = dyadfit_denoise(y + 40, 'Sigma', 15);
  for c = {'uint8', 'int8', 'int16', 'uint16', 'int32', 'single'}
    got = dyadfit_denoise(cast(y + 40, c{1}), 'Sigma', 15);
    if strcmp(c{1}, 'single')
      ref = dyadfit_denoise(double(single(y + 40)), 'Sigma', 15);
    else
      ref = dyadfit_denoise(double(cast(y + 40, c{1})), 'Sigma', 15);
    end
    check(strcmp(class(got), c{1}) && isequal(size(got), [37 53]) && isequal(got, cast(ref, c{1})), ['class ' c{1}]);
  end
  check(max(dyadfit_denoise(uint8(y + 100), 'Sigma', 15)(:)) == 255 && any(d(:) + 60 > 255), 'uint8 saturates at 255');
  b = dyadfit_denoise(logical(test_image(16, 16) > 150));
  check(islogical(b) && isequal(size(b), [16 16]), 'logical stays logical');
end

function noise_level()
  % The estimate is within 5% of the noise added to a piecewise-smooth image.
  for s = [5 25]
    randn('seed', 13);
    [~, info] = dyadfit_denoise(test_image(256, 256) + s * randn(256), 'Shifts', 1);
    check(info.sigma_estimated && abs(info.sigma / s - 1) < 0.05, sprintf('sigma %g estimated', s));
  end
  % A noise-free flat image has nothing to remove: returned as it is.
  [est, info] = dyadfit_denoise(7 * ones(20, 30));
  check(isequal(est, 7 * ones(20, 30)) && info.sigma == 0, 'zero noise: image returned');
end

function poisson()
  randp('seed', 14);
  lambda = test_image(64, 64) / 20;
  y = randp(lambda);
  [est, info] = dyadfit_denoise(y, 'Noise', 'poisson', 'Shifts', 1, 'Wiener', 'off');
  ref = brindel(y, info.block_side, 'Poisson', info.penalties(1), info.penalties(2));
  check(isequal(est, ref) && isnan(info.sigma), 'Poisson wedgelets: brindel on the counts');
  [est, info] = dyadfit_denoise(y, 'Noise', 'poisson', 'Method', 'constant', 'Shifts', 1);
  err = @(e) sqrt(mean((e(:) - lambda(:)).^2));
  check(err(est) < 0.5 * err(y) && abs(mean(est(:)) / mean(lambda(:)) - 1) < 0.02, ...
        'Poisson constant through Anscombe: less error than the counts, the mean kept');
  check(isequal(dyadfit_denoise(zeros(8, 8), 'Noise', 'poisson'), zeros(8, 8)), 'no counts: zeros back');
end

function colour()
  randn('seed', 15);
  g = test_image(40, 48);
  rgb = cat(3, g, fliplr(g), 200 - 0.5 * g);
  y = rgb + 12 * randn(size(rgb));
  % 'rgb': each channel as a grey image of its own, bit for bit.
  [est, info] = dyadfit_denoise(y, 'Colour', 'rgb', 'Sigma', [12 10 14], 'Shifts', 1);
  same = true;
  for c = 1:3
    same = same && isequal(est(:, :, c), dyadfit_denoise(y(:, :, c), 'Sigma', info.sigma(c), 'Shifts', 1));
  end
  check(same && isequal(info.sigma, [12 10 14]), 'rgb: one grey run per channel');
  % 'opponent': the same runs in an orthonormal luminance and colour-difference
  % basis, whose noise keeps its level, then back.
  T = [1 1 1; sqrt(1.5) 0 -sqrt(1.5); 1/sqrt(2) -sqrt(2) 1/sqrt(2)] / sqrt(3);
  to = @(x, M) reshape(reshape(x, [], 3) * M', size(x));
  e_opp = to(dyadfit_denoise(to(y, T), 'Colour', 'rgb', 'Sigma', 12, 'Shifts', 1, 'Wiener', 'off'), T');
  got = dyadfit_denoise(y, 'Sigma', 12, 'Shifts', 1, 'Wiener', 'off');
  check(max(abs(got(:) - e_opp(:))) < 1e-9 * max(abs(y(:))), 'opponent: grey runs in the opponent basis');
  % Any class and size come back; sigma is estimated on each channel.
  [u, info] = dyadfit_denoise(uint8(y));
  check(isa(u, 'uint8') && isequal(size(u), size(y)) && numel(info.sigma) == 3 && ...
        all(abs(info.sigma / 12 - 1) < 0.15) && strcmp(info.colour, 'opponent'), 'uint8 colour: class, size, sigmas');
  % Two or four channels: one channel at a time.
  four = cat(3, y, y(:, :, 1));
  e4 = dyadfit_denoise(four, 'Sigma', 12, 'Shifts', 1);
  check(isequal(e4(:, :, 4), dyadfit_denoise(y(:, :, 1), 'Sigma', 12, 'Shifts', 1)) && ...
        isequal(size(e4), size(four)), 'four channels: each on its own');
  check(isempty(info.partition), 'no partition picture unless asked for');
end

function rates()
  % Under Poisson noise the estimate is a rate: double (single for single
  % input), never rounded into the counts' class.
  randp('seed', 16);
  y = uint8(randp(test_image(32, 32) / 40));
  est = dyadfit_denoise(y, 'Noise', 'poisson');
  check(isa(est, 'double') && any(est(:) ~= round(est(:))) && ...
        isequal(est, dyadfit_denoise(double(y), 'Noise', 'poisson')), 'uint8 counts: double rates');
  check(isa(dyadfit_denoise(single(y), 'Noise', 'poisson'), 'single'), 'single counts: single rates');
end

function wiener()
  % On the phantom the guard keeps the dyadic estimate, over twice the
  % shifts; on blocks too small for the dyadic squares, the two-stage one.
  % Asked for, the two-stage estimate runs and reports its block side.
  randn('seed', 17);
  y = 255 * dyadfit_phantom(256) + 25 * randn(256);
  [est, info] = dyadfit_denoise(y, 'Sigma', 25);
  check(~info.two_stage && isequal(est, dyadfit_denoise(y, 'Sigma', 25, 'Wiener', 'off', 'Shifts', 8, ...
                                                       'BlockSide', info.block_side)) && ...
        info.risk(1) < info.risk(2), 'guard: dyadic kept on the phantom');
  % At low noise the rule's side is too small for the phantom's flat
  % regions: the guard walks to a larger one, measurably closer to the clean
  % image, and returns what that side given gives.
  clean = 255 * dyadfit_phantom(256);
  for s = [5 10]
    randn('seed', 17);
    y = clean + s * randn(256);
    [est, info] = dyadfit_denoise(y, 'Sigma', s);
    [~, rule] = dyadfit_denoise(y, 'Sigma', s, 'Wiener', 'off');
    err = @(e) mean((e(:) - clean(:)).^2);
    check(info.block_side > rule.block_side && ...
          err(est) < 0.8 * err(dyadfit_denoise(y, 'Sigma', s, 'BlockSide', rule.block_side)) && ...
          isequal(est, dyadfit_denoise(y, 'Sigma', s, 'BlockSide', info.block_side)), ...
          sprintf('guard: block side searched at sigma %d', s));
  end
  % A camera's data taken as Gaussian: the risks favour fitting the noise,
  % and a walk below the rule's side lost 2.3 dB here.
  state = randn('state');
  randp('seed', 19);
  randn('seed', 19);
  z = 2 * randp(20 * dyadfit_phantom(128)) + 100 + 4 * randn(128);
  [~, info] = dyadfit_denoise(z);
  [~, rule] = dyadfit_denoise(z, 'Wiener', 'off');
  check(info.block_side >= rule.block_side, 'guard: never below the rule''s side');
  % A fixed draw: on some draws the one-stage estimate is the better one.
  randn('seed', 19);
  y = kron([40 200 90; 160 20 240], ones(32)) + 20 * randn(64, 96);
  randn('state', state);
  [est, info] = dyadfit_denoise(y, 'Sigma', 20);
  check(info.two_stage && info.risk(2) < info.risk(1) && ...
        isequal(est, dyadfit_denoise(y, 'Sigma', 20, 'BlockSide', info.block_side)), ...
        'guard: two-stage kept on a small blocky image, from the side it reports');
  [est, info] = dyadfit_denoise(y, 'Sigma', 20, 'Wiener', 'on');
  check(info.two_stage && any(info.wiener_block == [8 16]) && all(isnan(info.risk)) && ...
        strcmp(info.wiener, 'on'), 'two-stage asked for');
  % Poisson: rates from both estimates, never below zero.
  randp('seed', 18);
  k = randp(kron([1 6; 3 0.5], ones(32)));
  [r, info] = dyadfit_denoise(k, 'Noise', 'poisson');
  check(all(r(:) >= 0) && numel(info.risk) == 2 && all(isfinite(info.risk)), 'Poisson: guarded rates');
end

function bad_inputs()
  img = magic(8);
  cases = {
    @() dyadfit_denoise(),                         'The image is required: dyadfit_denoise(img, ''Name'', value, ...).', 'no image'
    @() dyadfit_denoise({1}),                      'The image must be a real numeric or logical M x N or M x N x C array.', 'cell image'
    @() dyadfit_denoise(ones(4, 4, 2, 2)),         'The image must be a real numeric or logical M x N or M x N x C array.', '4-D image'
    @() dyadfit_denoise(img * 1i),                 'The image must be a real numeric or logical M x N or M x N x C array.', 'complex image'
    @() dyadfit_denoise(1:8),                      'The image must have at least 2 rows and 2 columns.', 'vector'
    @() dyadfit_denoise([img NaN(8, 1)]),          'The image must not hold NaN or Inf.',                 'NaN'
    @() dyadfit_denoise(-img, 'Noise', 'poisson'), 'Under Poisson noise the image must hold non-negative counts.', 'negative counts'
    @() dyadfit_denoise([0.5 zeros(1, 15); zeros(15, 16)], 'Noise', 'poisson'), 'Poisson counts too small for the default penalties: the image holds fewer than 1 count in all; give ''Penalties''.', 'too few counts'
    @() dyadfit_denoise(img, 'Shifts'),            'Options must come in name-value pairs.',              'odd options'
    @() dyadfit_denoise(img, 3, 4),                'Option names must be text, such as ''Shifts''.',      'numeric name'
    @() dyadfit_denoise(img, 'Shift', 4),          'Unknown option ''Shift''; the options are Method, Noise, Colour, Wiener, Shifts, Sigma, Gain, Offset, ReadNoise, BlockSide, Penalties, Lines, Progress and Partition.', 'unknown'
    @() dyadfit_denoise(img, 'Method', 'linear'),  'Option ''Method'' must be ''constant'', ''wedgelet'' or ''platelet''.', 'method'
    @() dyadfit_denoise(img, 'Noise', 3),          'Option ''Noise'' must be ''gaussian'', ''poisson'' or ''poisson-gaussian''.', 'noise'
    @() dyadfit_denoise(img, 'Shifts', 2.5),       'Option ''Shifts'' must be a whole number from 1 to 1024.', 'shifts'
    @() dyadfit_denoise(img, 'Shifts', 0),         'Option ''Shifts'' must be a whole number from 1 to 1024.', 'zero shifts'
    @() dyadfit_denoise(img, 'Sigma', -1),         'Option ''Sigma'' must be a positive finite number, one per channel, or [] to estimate it.', 'sigma'
    @() dyadfit_denoise(img * 1e90, 'Sigma', 1e-300), 'Option ''Sigma'' is too small for the image''s values.', 'tiny sigma'
    @() dyadfit_denoise(img * 1e300),              'Values too large: magnitudes up to 1e100 are accepted.', 'huge values'
    @() dyadfit_denoise(img, 'Sigma', Inf),        'Option ''Sigma'' must be a positive finite number, one per channel, or [] to estimate it.', 'infinite sigma'
    @() dyadfit_denoise(img, 'BlockSide', 3),      'Option ''BlockSide'' must be a power of two from 1 to 65536.', 'block side'
    @() dyadfit_denoise(img, 'BlockSide', 16),     'Option ''BlockSide'' must not exceed the smaller padded side, 8.', 'block side too large'
    @() dyadfit_denoise(img, 'Penalties', [1 2 3]), 'Option ''Penalties'' must be a vector of one or two finite non-negative numbers.', 'three penalties'
    @() dyadfit_denoise(img, 'Penalties', [1 -2]), 'Option ''Penalties'' must be a vector of one or two finite non-negative numbers.', 'negative penalty'
    @() dyadfit_denoise(img, 'Penalties', 1),      'Option ''Penalties'' must hold two numbers for the ''wedgelet'' method.', 'one penalty for wedgelets'
    @() dyadfit_denoise(img, 'Penalties', [1 2], 'Method', 'constant'), 'Option ''Penalties'' must hold one number for the ''constant'' method.', 'two for constant'
    @() dyadfit_denoise(img, 'Progress', 2),       'Option ''Progress'' must be true or false.', 'progress'
    @() dyadfit_denoise(img, 'Sigma', [1 2 3]),    'Option ''Sigma'' must hold one number, or one per channel (1).', 'three sigmas, one channel'
    @() dyadfit_denoise(img, 'Wiener', 'yes'),     'Option ''Wiener'' must be ''auto'', ''on'' or ''off''.', 'wiener'
    @() dyadfit_denoise(img, 'Colour', 'lab'),     'Option ''Colour'' must be ''opponent'' or ''rgb''.', 'colour'
    @() dyadfit_denoise(img, 'Partition', 'yes'),  'Option ''Partition'' must be true or false.', 'partition'
    @() dyadfit_denoise(img, 'Lines', -1),         'Option ''Lines'' must be a whole number from 0 to 1e8.', 'lines'
  };
  for k = 1:rows(cases)
    check_error(cases{k, 1}, cases{k, 2}, cases{k, 3});
  end
  try
    [a, b, c] = dyadfit_denoise(img);
    check(false, 'three outputs');
  catch err
    check(strcmp(err.message, 'dyadfit_denoise: Too many output arguments.'), 'three outputs');
  end
  % Names and text values in any case.
  check(isequal(dyadfit_denoise(img, 'METHOD', 'Constant', 'sigma', 2), ...
                dyadfit_denoise(img, 'Method', 'constant', 'Sigma', 2)), 'case-insensitive options');
end

% SPDX-License-Identifier: BSD-3-Clause
