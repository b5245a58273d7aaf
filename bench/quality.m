function quality(datadir)
% QUALITY  PSNR of the modules and of dyadfit_denoise on the test images.
%
%   quality(DATADIR) reads camera.png and coins.png from DATADIR, adds a
%   512 x 512 phantom (0..255), and for Gaussian noise of sigma 10 and 25
%   and Poisson counts of peak 10 and 50 (fixed seeds) prints the PSNR in dB
%   of: the noisy image; tessik (pen log(M*N)/3), brindel and quarlo with
%   their defaults on the raw image (power-of-two sizes only); and
%   dyadfit_denoise with its defaults (sigma estimated) at Shifts 1 and at
%   the default number of shifts. The peak of the PSNR is 255 for Gaussian
%   noise and the counts' peak for Poisson. Then the targets, met or not.
  names = {'camera', 'coins', 'phantom'};
  clean = {double(imread(fullfile(datadir, 'camera.png'))), double(imread(fullfile(datadir, 'coins.png'))), ...
           255 * dyadfit_phantom(512)};
  conditions = {'gauss', 10; 'gauss', 25; 'poisson', 10; 'poisson', 50};
  psnr = @(x, y, peak) 10 * log10(peak^2 / mean((x(:) - y(:)).^2));
  fmt = '%-8s %-11s %6s %7s %7s %7s %7s %8s %7s %7s %7s\n';
  printf(fmt, 'image', 'noise', 'noisy', 'tessik', 'brindel', 'quarlo', 'den_1', 'den_def', 'gain', 'sigma%', 'time_x');
  printf('%s\n', repmat('-', 1, 88));
  sigma_ok = true;
  for c = 1:rows(conditions)
    for k = 1:numel(names)
      I = clean{k};
      if strcmp(conditions{c, 1}, 'gauss')
        s = conditions{c, 2};
        randn('seed', 100 + k);
        Y = I + s * randn(size(I));
        peak = 255;
        noise = {};
        label = sprintf('sigma %d', s);
      else
        peak = conditions{c, 2};
        randp('seed', 200 + k);
        I = I / 255 * peak;
        Y = randp(I);
        noise = {'Noise', 'poisson'};
        label = sprintf('peak %d', peak);
      end
      q = @(e) sprintf('%.2f', psnr(e, I, peak));
      mods = {'-', '-', '-'};
      if all(2.^round(log2(size(I))) == size(I))
        n = numel(I);
        mods{1} = q(tessik(Y, log(n) / 3));
        if isempty(noise)
          mods{2} = q(brindel(Y));
          mods{3} = q(quarlo(Y));
        else
          mods{2} = q(brindel(Y, [], 'Poisson'));
          mods{3} = q(quarlo(Y, [], 'Poisson'));
        end
      end
      % The least of three runs' seconds: one run is at the mercy of the machine.
      [e1, i1] = dyadfit_denoise(Y, noise{:}, 'Shifts', 1);
      [ed, id] = dyadfit_denoise(Y, noise{:});
      t1 = i1.seconds;
      td = id.seconds;
      for r = 1:2
        [~, i] = dyadfit_denoise(Y, noise{:}, 'Shifts', 1);
        t1 = min(t1, i.seconds);
        [~, i] = dyadfit_denoise(Y, noise{:});
        td = min(td, i.seconds);
      end
      sig = '-';
      if isempty(noise)
        err = 100 * (i1.sigma / s - 1);
        sigma_ok = sigma_ok && abs(err) <= 5;
        sig = sprintf('%+.1f', err);
      end
      gain = psnr(ed, I, peak) - psnr(e1, I, peak);
      printf(fmt, names{k}, label, q(Y), mods{:}, q(e1), q(ed), sprintf('%+.2f', gain), sig, ...
             sprintf('%.1f', td / t1));
      if strcmp(names{k}, 'camera') && strcmp(label, 'sigma 25')
        camera_gain = psnr(ed, I, peak) - str2double(mods{2});
        camera_shifts = gain;
      end
    end
  end
  printf('\ncolumns: den_1 / den_def = dyadfit_denoise at Shifts 1 / at the default (%d); gain = den_def - den_1;\n', ...
         id.shifts);
  printf('sigma%% = estimated sigma over the true one, less 1; time_x = seconds of den_def over den_1 (least of three runs each).\n');
  verdict = {'missed', 'met'};
  printf('target: estimated sigma within 5%% on every image: %s\n', verdict{1 + sigma_ok});
  printf('target: camera, sigma 25, dyadfit_denoise gains >= 3 dB over brindel: %+.2f dB, %s\n', camera_gain, ...
         verdict{1 + (camera_gain >= 3)});
  printf('target: camera, sigma 25, default shifts gain >= 1 dB over Shifts 1: %+.2f dB, %s\n', camera_shifts, ...
         verdict{1 + (camera_shifts >= 1)});
end
