function bench_case(module, n)
% BENCH_CASE  One benchmark case, run by bench/run.sh in a fresh process.
%
%   bench_case(MODULE, N) builds an N x N test image (the Shepp-Logan
%   phantom scaled to [0, 10] plus Gaussian noise of standard deviation 1,
%   fixed seeds) and runs MODULE on it:
%
%     'none'     only the image generation (the baseline)
%     'tessik'   tessik(image, 0.1 * log(N*N), 1)
%     'brindel'  brindel(image), all defaults
%     'quarlo'   quarlo(image), all defaults
%
%   It prints one line "call_seconds <t>": the time of the module call
%   alone (0 for the baseline).

  rand('state', 1);
  randn('state', 1);
  img = 10 * dyadfit_phantom(n) + randn(n);

  t0 = tic;
  switch module
    case 'none'
    case 'tessik'
      est = tessik(img, 0.1 * log(n * n), 1); %#ok<NASGU>
    case 'brindel'
      est = brindel(img); %#ok<NASGU>
    case 'quarlo'
      est = quarlo(img); %#ok<NASGU>
    otherwise
      error('bench_case: unknown module %s', module);
  end
  t = toc(t0);
  if strcmp(module, 'none')
    t = 0;
  end
  fprintf('call_seconds %.3f\n', t);
end
