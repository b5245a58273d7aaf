function test_quarlo()
% Runs the cases of module quarlo inside the host.
  dyadic_bad_inputs(@quarlo);
  planes();
  block_sides();
  defaults();
  one_lapack();
  clear tessik brindel quarlo native_unique_rows
  check_done('test_quarlo');
end

function planes()
  [i, j] = ndgrid(1:16, 1:16);
  img = 3 + 0.5 * i - 0.25 * j;
  check(max(abs(quarlo(img)(:) - img(:))) < 1e-9, '16x16 plane recovered');

  % Steep enough that no piece reaches across the wrapped edge of the shifted copy.
  [i, j] = ndgrid(1:16, 1:8);
  tall = 3 + 2 * i - j;
  a = all_results(@quarlo, tall);
  b = all_results(@quarlo, tall');
  check(max(abs(a{1}(:) - tall(:))) < 1e-9, '16x8 plane recovered');
  check(max(abs(b{1}(:) - tall'(:))) < 1e-9, '8x16 plane recovered');

  % Transposing a noisy image transposes the estimates and swaps the square corners.
  randn('seed', 8);
  img = tall + randn(16, 8);
  a = all_results(@quarlo, img);
  b = all_results(@quarlo, img');
  near = @(x, y) max(abs(x(:) - y(:))) < 1e-9;
  check(near(b{1}, a{1}') && near(b{2}, a{2}') && near(b{5}, a{5}'), 'transposed image, transposed estimates');
  check(isequal(b{4}, sortrows(a{4}(:, [2 1 3]))), 'transposed image, swapped squares');
end

function one_lapack()
  % The module solves with the LAPACK and BLAS the host already holds: loading
  % it maps no further copy of either.
  libs = @() unique(regexp(fileread(sprintf('/proc/%d/maps', getpid())), '\S*(lapack|blas)[^/\s]*\.so[.0-9]*', 'match'));
  clear quarlo
  before = libs();
  quarlo(ones(4));
  check(~isempty(before) && isequal(libs(), before), 'no second LAPACK or BLAS in the process');
end

function block_sides()
  img = blocky_image(16, 3);
  for sh = [1 2]
    % sh 1 refines every pixel-sized candidate; a few lines keep it quick.
    r = all_results(@quarlo, img, sh, 'Gaussian', [], [], 4);
    finite = all(cellfun(@(x) all(isfinite(x(:))), r([1 2 5])));
    check(finite && isequal(size(r{1}), [16 16]) && min(r{4}(:, 3)) >= sh, sprintf('sh %d', sh));
  end
  r = all_results(@quarlo, img + 1, [], 'Poisson');
  check(all(isfinite(r{1}(:))) && isequal(r{4}, unique(r{4}, 'rows')), 'Poisson on a positive image');
  one = zeros(8);
  one(5, 2) = 1;
  check(isequal(size(quarlo(one, [], 'Poisson')), [8 8]), 'Poisson sum 1 gives penalties 0');
end

function defaults()
  % 16x16 defaults: sh 2, 6x6 lines, penalties 3 ln(256)/3 and 4 ln(256)/3.
  [x, y] = ndgrid(1:16, 1:16);
  img = blocky_image(16, 4) + 20 * (x + 0.6 * y > 12.3);
  pixels = 256;
  ref = all_results(@quarlo, img);
  same = @(r) isequal(r([1 2 4 5]), ref([1 2 4 5]));
  check(same(all_results(@quarlo, img, 2, 'Gaussian', (3 * log(pixels)) / 3, (4 * log(pixels)) / 3, 36)), 'explicit defaults');
  check(same(all_results(@quarlo, img, [], 'Gaussian', [], 1e6, [])), 'empty inputs count as absent');
  check(same(all_results(@quarlo, img, [], 'Gaussian', (3 * log(pixels)) / 3)), 'four inputs: default second penalty');
  check(same(all_results(@quarlo, uint8(img))), 'uint8 image equals its double');
  check(~isequal(all_results(@quarlo, img, [], 'Gaussian', 1e6, 1e6){1}, ref{1}), 'given penalties are used');
  check(~isequal(all_results(@quarlo, img, [], 'Gaussian', [], [], 49){1}, ref{1}), 'given lines are used');
  check(isequal(quarlo(img), ref{1}), 'one result requested');

  pimg = img + 1;
  s = sum(pimg(:));
  pref = all_results(@quarlo, pimg, [], 'Poisson');
  check(isequal(all_results(@quarlo, pimg, [], 'Poisson', (3 * log(s)) / 3, (4 * log(s)) / 3)([1 2 4 5]), ...
                pref([1 2 4 5])), 'explicit Poisson defaults');
end

% SPDX-License-Identifier: BSD-3-Clause
