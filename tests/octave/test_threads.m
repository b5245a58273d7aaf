function test_threads()
% The modules give the same results for any DYADFIT_THREADS (read per call);
% label images only up to the random values that tell their squares apart.
  [x, y] = ndgrid(1:128, 1:128);
  randn('seed', 6);
  img = blocky_image(128, 6) + 25 * (x - 0.4 * y > 50) + randn(128);
  counts = max(round(img), 0);
  % name, call, which results are label images
  calls = {
    'tessik',          @() one_call(@tessik, 3, img, 3),                                      2
    'brindel',         @() one_call(@brindel, 6, img),                                        [3 6]
    'brindel Poisson', @() one_call(@brindel, 6, counts, [], 'Poisson', [], [], 400),         [3 6]
    'quarlo',          @() one_call(@quarlo, 6, img, [], 'Gaussian', [], [], 100),            [3 6]
  };
  old = getenv('DYADFIT_THREADS');
  for k = 1:rows(calls)
    [name, call, lab] = calls{k, :};
    setenv('DYADFIT_THREADS', '1');
    one = call();
    for threads = {'2', '3'}
      setenv('DYADFIT_THREADS', threads{1});
      many = call();
      rest = setdiff(1:numel(one), lab);
      check(isequal(many(rest), one(rest)), sprintf('%s: %s threads as one', name, threads{1}));
      check(all(cellfun(@same_partition, one(lab), many(lab))), ...
            sprintf('%s: %s threads label the same squares', name, threads{1}));
    end
  end
  if isempty(old)
    unsetenv('DYADFIT_THREADS');
  else
    setenv('DYADFIT_THREADS', old);
  end
  clear tessik brindel quarlo
  check_done('test_threads');
end

function r = one_call(module, n, varargin)
  r = cell(1, n);
  [r{:}] = module(varargin{:});
end

% Two label images mark the same squares when their labels pair one to one.
function same = same_partition(a, b)
  same = isequal(size(a), size(b)) && ...
         numel(unique(a)) == rows(unique([a(:) b(:)], 'rows')) && numel(unique(b)) == numel(unique(a));
end

% SPDX-License-Identifier: BSD-3-Clause
