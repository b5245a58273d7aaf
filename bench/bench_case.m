function bench_case(module, file, n, noiseType)
% BENCH_CASE  One Octave benchmark case, run by bench/run.sh in a fresh process.
%
%   bench_case(MODULE, FILE, N, NOISETYPE) reads the N x N image that
%   dyadfit_bench wrote to FILE (raw doubles, column-major) and calls MODULE
%   on it, asking for every result:
%
%     'none'     only reads the image (the baseline)
%     'tessik'   tessik(image, 0.1 * log(N*N), 1)
%     'brindel'  brindel(image, [], NOISETYPE), other inputs at their defaults
%     'quarlo'   quarlo(image, [], NOISETYPE), other inputs at their defaults
%
%   It prints one line "seconds <t>": the time of the module call alone
%   (0 for the baseline).

  fid = fopen(file, 'r');
  if fid < 0
    error('bench_case: cannot open %s', file);
  end
  img = fread(fid, [n, n], 'double');
  fclose(fid);
  if numel(img) ~= n * n
    error('bench_case: %s holds fewer than %d x %d values', file, n, n);
  end

  t0 = tic;
  switch module
    case 'none'
    case 'tessik'
      [est, labels, squares] = tessik(img, 0.1 * log(n * n), 1); %#ok<ASGLU>
    case 'brindel'
      [est, avg, labels1, squares, est2, labels2] = brindel(img, [], noiseType); %#ok<ASGLU>
    case 'quarlo'
      [est, avg, labels1, squares, est2, labels2] = quarlo(img, [], noiseType); %#ok<ASGLU>
    otherwise
      error('bench_case: unknown module %s', module);
  end
  t = toc(t0);
  if strcmp(module, 'none')
    t = 0;
  end
  printf('seconds %.3f\n', t);
end

% SPDX-License-Identifier: BSD-3-Clause
