function results = dyadfit_demo(outdir)
% DYADFIT_DEMO  Denoise a phantom with tessik, brindel and quarlo.
%
%   dyadfit_demo(OUTDIR) builds a 256 x 256 Shepp-Logan phantom, makes a
%   Gaussian-noise and a Poisson-noise version of it with fixed random
%   seeds, runs the three estimators on both, and writes into OUTDIR
%   (created if needed; default 'demo-output'):
%
%     clean_<noise>.png, noisy_<noise>.png   the phantom and its noisy copy
%     <method>_<noise>.png                   each estimate
%     side_by_side.png                       all of them: one row per noise
%                                            type, clean, noisy, tessik,
%                                            brindel, quarlo from the left
%     errors.txt                             the table printed at the end
%
%   with <noise> 'gaussian' or 'poisson'. All images of one noise type
%   share one grey scale: 0 is black and the phantom's peak is white.
%
%   RESULTS = dyadfit_demo(...) also returns the table as a struct array
%   with fields method, noise, rmse and seconds.
%
%   Gaussian case: the phantom is scaled to [0, 10] and noise of standard
%   deviation 1 is added. The Gaussian cost is a plain sum of squared
%   differences, so the default penalties suit noise of about unit
%   variance; for noise of standard deviation sigma, multiply the
%   penalties by sigma^2 (or divide the image by sigma).
%
%   Poisson case: the phantom is scaled to a peak of 30 counts and every
%   pixel is drawn from a Poisson law with that mean. brindel and quarlo
%   run with 'Poisson'. tessik has only the squared-error cost; it runs
%   on the Anscombe transform 2*sqrt(x + 3/8) of the counts, whose noise
%   has about unit variance, and its estimate is mapped back.
%
%   The modules must be on the path, e.g. addpath('build/mex').

  if nargin < 1 || isempty(outdir)
    outdir = 'demo-output';
  end
  for name = {'tessik', 'brindel', 'quarlo'}
    if exist(name{1}, 'file') ~= 3
      error('dyadfit_demo: module %s not found; add its folder to the path, e.g. addpath(''build/mex'').', name{1});
    end
  end
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end

  n = 256;
  P = dyadfit_phantom(n);
  lnX = log(n * n);

  % Fixed seeds: the noisy images are the same on every run.
  rand('state', 2718);
  randn('state', 3141);

  rows = {};
  tiles = cell(2, 5);

  % ---- Gaussian noise ----------------------------------------------------
  sigma = 1;
  clean = 10 * P;
  noisy = clean + sigma * randn(n);
  scale = [0, max(clean(:))];
  tiles{1, 1} = writeScaled(clean, scale, fullfile(outdir, 'clean_gaussian.png'));
  tiles{1, 2} = writeScaled(noisy, scale, fullfile(outdir, 'noisy_gaussian.png'));
  rows(end+1, :) = {'noisy input', 'Gaussian', rmse(noisy, clean), NaN};

  % tessik has no default penalty: take brindel's default one-piece
  % penalty, log(M*N)/3, in units of the noise variance.
  penT = sigma^2 * lnX / 3;
  tic; est = tessik(noisy, penT); t = toc;
  tiles{1, 3} = writeScaled(est, scale, fullfile(outdir, 'tessik_gaussian.png'));
  rows(end+1, :) = {sprintf('tessik (pen %.2f)', penT), 'Gaussian', rmse(est, clean), t};

  tic; est = brindel(noisy); t = toc;
  tiles{1, 4} = writeScaled(est, scale, fullfile(outdir, 'brindel_gaussian.png'));
  rows(end+1, :) = {'brindel (defaults)', 'Gaussian', rmse(est, clean), t};

  tic; est = quarlo(noisy); t = toc;
  tiles{1, 5} = writeScaled(est, scale, fullfile(outdir, 'quarlo_gaussian.png'));
  rows(end+1, :) = {'quarlo (defaults)', 'Gaussian', rmse(est, clean), t};

  % ---- Poisson noise -----------------------------------------------------
  peak = 30;
  lambda = peak * P;
  counts = poissonSample(lambda);
  scale = [0, peak];
  tiles{2, 1} = writeScaled(lambda, scale, fullfile(outdir, 'clean_poisson.png'));
  tiles{2, 2} = writeScaled(counts, scale, fullfile(outdir, 'noisy_poisson.png'));
  rows(end+1, :) = {'noisy input', 'Poisson', rmse(counts, lambda), NaN};

  tic;
  stabilized = 2 * sqrt(counts + 3/8);
  est = tessik(stabilized, lnX / 3);
  est = max((est / 2).^2 - 3/8, 0);
  t = toc;
  tiles{2, 3} = writeScaled(est, scale, fullfile(outdir, 'tessik_poisson.png'));
  rows(end+1, :) = {sprintf('tessik (Anscombe, pen %.2f)', lnX / 3), 'Poisson', rmse(est, lambda), t};

  tic; est = brindel(counts, [], 'Poisson'); t = toc;
  tiles{2, 4} = writeScaled(est, scale, fullfile(outdir, 'brindel_poisson.png'));
  rows(end+1, :) = {'brindel (''Poisson'')', 'Poisson', rmse(est, lambda), t};

  tic; est = quarlo(counts, [], 'Poisson'); t = toc;
  tiles{2, 5} = writeScaled(est, scale, fullfile(outdir, 'quarlo_poisson.png'));
  rows(end+1, :) = {'quarlo (''Poisson'')', 'Poisson', rmse(est, lambda), t};

  imwrite(sideBySide(tiles, 4), fullfile(outdir, 'side_by_side.png'));

  % ---- Table -------------------------------------------------------------
  lines = {sprintf('dyadfit demo: %d x %d Shepp-Logan phantom; RMSE against the clean image', n, n), ...
           sprintf('Gaussian: intensities 0..10, noise sigma %g. Poisson: peak %g counts.', sigma, peak), ...
           '', ...
           sprintf('%-30s %-9s %9s %9s', 'method', 'noise', 'RMSE', 'seconds'), ...
           repmat('-', 1, 60)};
  for k = 1:size(rows, 1)
    if isnan(rows{k, 4})
      secs = '-';
    else
      secs = sprintf('%.3f', rows{k, 4});
    end
    lines{end+1} = sprintf('%-30s %-9s %9.4f %9s', rows{k, 1}, rows{k, 2}, rows{k, 3}, secs);
  end
  text = sprintf('%s\n', lines{:});
  fprintf('%s', text);
  fid = fopen(fullfile(outdir, 'errors.txt'), 'w');
  if fid < 0
    error('dyadfit_demo: cannot write %s', fullfile(outdir, 'errors.txt'));
  end
  fprintf(fid, '%s', text);
  fclose(fid);
  fprintf('Images, side_by_side.png and errors.txt written to %s\n', outdir);

  if nargout > 0
    results = struct('method', rows(:, 1), 'noise', rows(:, 2), 'rmse', rows(:, 3), 'seconds', rows(:, 4));
  end
end

function e = rmse(estimate, clean)
  d = estimate(:) - clean(:);
  e = sqrt(mean(d .^ 2));
end

function tile = writeScaled(img, scale, file)
  % Maps scale(1)..scale(2) to black..white (8-bit), clipping outside values.
  v = (img - scale(1)) / (scale(2) - scale(1));
  tile = uint8(round(255 * min(max(v, 0), 1)));
  imwrite(tile, file);
end

function img = sideBySide(tiles, gap)
  % Lays out a cell array of equal-sized tiles on a white background.
  [th, tw] = size(tiles{1});
  [r, c] = size(tiles);
  img = 255 * ones(r * th + (r - 1) * gap, c * tw + (c - 1) * gap, 'uint8');
  for i = 1:r
    for j = 1:c
      img((i - 1) * (th + gap) + (1:th), (j - 1) * (tw + gap) + (1:tw)) = tiles{i, j};
    end
  end
end

function k = poissonSample(lambda)
  % Poisson draws with means lambda (elementwise), by multiplying uniform
  % draws until the product falls below exp(-lambda). Fine for the small
  % means used here (the loop runs about max(lambda) times).
  k = zeros(size(lambda));
  limit = exp(-lambda);
  p = rand(size(lambda));
  active = p > limit;
  while any(active(:))
    k(active) = k(active) + 1;
    p(active) = p(active) .* rand(nnz(active), 1);
    active = p > limit;
  end
end

% SPDX-License-Identifier: BSD-3-Clause
