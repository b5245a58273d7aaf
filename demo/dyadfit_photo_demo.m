function results = dyadfit_photo_demo(outdir, datadir)
% DYADFIT_PHOTO_DEMO  Denoise a photograph with the modules and dyadfit_denoise.
%
%   dyadfit_photo_demo(OUTDIR, DATADIR) reads DATADIR/camera.png (a 512 x 512
%   grey photograph, see DATADIR/README.md for its source and licence), adds
%   Gaussian noise of standard deviation 25 (fixed seed), and writes into
%   OUTDIR (default 'demo-output'; DATADIR default: the folder 'data' beside
%   this file):
%
%     photo_side_by_side.png   two rows of four pictures:
%                              clean | noisy | tessik | brindel
%                              quarlo | dyadfit_denoise | dyadfit_denoise
%                              with 'platelet' | the partition (below)
%     colour_side_by_side.png  DATADIR/astronaut.png with noise of 25,
%                              clipped to 8 bits as a camera would:
%                              clean | noisy | each RGB channel denoised |
%                              dyadfit_denoise's default, the opponent basis
%     photo_psnr.txt           the table printed at the end
%
%   The modules run with their defaults on the raw image (tessik with
%   pen log(M*N)/3, its default elsewhere), as a user would call them
%   first; dyadfit_denoise estimates the noise level itself. The partition
%   picture is dyadfit_denoise's INFO.partition: the squares of its
%   unshifted wedgelet run outlined in yellow over the estimate, the cut of
%   each split square in blue; the tile shows the upper middle quarter of
%   the image, enlarged twice as dyadfit_denoise draws it.
%
%   RESULTS is the table as a struct array with fields method, psnr and
%   seconds.

  here = fileparts(mfilename('fullpath'));
  if nargin < 1 || isempty(outdir)
    outdir = 'demo-output';
  end
  if nargin < 2 || isempty(datadir)
    datadir = fullfile(here, 'data');
  end
  if ~exist(outdir, 'dir')
    mkdir(outdir);
  end

  clean = double(imread(fullfile(datadir, 'camera.png')));
  sigma = 25;
  randn('state', 2024);
  noisy = clean + sigma * randn(size(clean));
  n = numel(clean);

  runs = {
    'noisy input',                          @() noisy
    'tessik (pen log(M*N)/3)',              @() tessik(noisy, log(n) / 3)
    'brindel (defaults)',                   @() brindel(noisy)
    'quarlo (defaults)',                    @() quarlo(noisy)
    'dyadfit_denoise (defaults)',           @() dyadfit_denoise(noisy)
    'dyadfit_denoise (''platelet'')',       @() dyadfit_denoise(noisy, 'Method', 'platelet')
  };
  est = cell(rows(runs), 1);
  results = struct('method', {}, 'psnr', {}, 'seconds', {});
  for k = 1:rows(runs)
    t = tic;
    est{k} = runs{k, 2}();
    secs = toc(t);
    if k == 1
      secs = NaN;
    end
    results(end + 1) = struct('method', runs{k, 1}, 'psnr', psnr(est{k}, clean), 'seconds', secs);
  end
  [~, info] = dyadfit_denoise(noisy, 'Partition', true);

  grey = @(x) repmat(min(max(x / 255, 0), 1), [1 1 3]);
  tiles = {grey(clean), grey(noisy), grey(est{2}), grey(est{3}); ...
           grey(est{4}), grey(est{5}), grey(est{6}), info.partition(1:512, 257:768, :)};
  imwrite(sideBySide(tiles, 6), fullfile(outdir, 'photo_side_by_side.png'));

  % A colour photograph as a camera gives it: 8 bits, the noise clipped.
  colour = double(imread(fullfile(datadir, 'astronaut.png')));
  randn('state', 2025);
  cnoisy = uint8(colour + sigma * randn(size(colour)));
  [c_opp, cinfo] = dyadfit_denoise(cnoisy);
  c_rgb = dyadfit_denoise(cnoisy, 'Colour', 'rgb');
  imwrite(sideBySide({colour / 255, double(cnoisy) / 255, double(c_rgb) / 255, double(c_opp) / 255}, 6), ...
          fullfile(outdir, 'colour_side_by_side.png'));

  lines = {sprintf('dyadfit photo demo: camera.png (%d x %d), Gaussian noise sigma %d; PSNR against the clean image', ...
                   rows(clean), columns(clean), sigma), ...
           sprintf('dyadfit_denoise estimated sigma %.2f, block side %d, %d shifts', info.sigma, info.block_side, ...
                   info.shifts), ...
           '', sprintf('%-34s %8s %9s', 'method', 'PSNR_dB', 'seconds'), repmat('-', 1, 53)};
  for r = results
    secs = '-';
    if ~isnan(r.seconds)
      secs = sprintf('%.2f', r.seconds);
    end
    lines{end + 1} = sprintf('%-34s %8.2f %9s', r.method, r.psnr, secs);
  end
  lines(end + (1:5)) = {'', sprintf(['astronaut.png, 8 bits, noise sigma %d clipped; dyadfit_denoise estimated ' ...
                                     'sigma %s'], sigma, mat2str(cinfo.sigma, 4)), ...
                        sprintf('%-34s %8.2f', 'noisy input', psnr(double(cnoisy), colour)), ...
                        sprintf('%-34s %8.2f', 'dyadfit_denoise (''Colour'', ''rgb'')', psnr(double(c_rgb), colour)), ...
                        sprintf('%-34s %8.2f', 'dyadfit_denoise (opponent)', psnr(double(c_opp), colour))};
  text = sprintf('%s\n', lines{:});
  printf('%s', text);
  fid = fopen(fullfile(outdir, 'photo_psnr.txt'), 'w');
  fprintf(fid, '%s', text);
  fclose(fid);
end

function p = psnr(x, ref)
  p = 10 * log10(255^2 / mean((x(:) - ref(:)).^2));
end

% Tiles of one size joined with white gaps of `gap` pixels.
function out = sideBySide(tiles, gap)
  [h, w, ~] = size(tiles{1});
  [r, c] = size(tiles);
  out = ones(r * h + (r - 1) * gap, c * w + (c - 1) * gap, 3);
  for i = 1:r
    for j = 1:c
      out((i - 1) * (h + gap) + (1:h), (j - 1) * (w + gap) + (1:w), :) = tiles{i, j};
    end
  end
end

% SPDX-License-Identifier: BSD-3-Clause
