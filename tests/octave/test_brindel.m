function test_brindel()
% Runs the cases of module brindel inside the host, and holds the host's
% distinct rows against the native service.
  dyadic_bad_inputs(@brindel);
  defaults_and_absent_inputs();
  no_lines();
  non_square_images();
  half_plane();
  candidate_squares();
  distinct_rows();
  clear tessik brindel quarlo native_unique_rows
  check_done('test_brindel');
end

function defaults_and_absent_inputs()
  [x, y] = ndgrid(1:16, 1:16);
  img = blocky_image(16, 11) + 20 * (x + 0.6 * y > 12.3);
  % 16x16 defaults: sh 2, 6x6 lines, penalties ln(256)/3 and 2 ln(256)/3.
  pc = log(256) / 3;
  pw = (2 * log(256)) / 3;
  ref = all_results(@brindel, img);
  same = @(r) isequal(r([1 2 4 5]), ref([1 2 4 5]));
  check(same(all_results(@brindel, img, 2, 'Gaussian', pc, pw, 36)), 'explicit defaults');
  check(same(all_results(@brindel, img, 2, 'Gaussian', pc, pw, 40)), 'lines taken as floor(sqrt(x))');
  check(same(all_results(@brindel, img, [], 'Gaussian', [], [], [])), 'empty inputs count as absent');
  check(same(all_results(@brindel, img, zeros(3, 0), 'Gaussian', zeros(2, 0), 5, zeros(1, 0))), ...
        'inputs without columns count as absent');
  check(same(all_results(@brindel, img, [], 'Gaussian', [], 1e6)), 'empty fourth input ignores the fifth');
  check(same(all_results(@brindel, img, [], 'Gaussian', pc)), 'four inputs: default second penalty');
  check(same(all_results(@brindel, img, [], 'Gaussian', pc, [])), 'empty fifth input: default second penalty');
  check(same(all_results(@brindel, uint8(img))), 'uint8 image equals its double');
  check(~isequal(all_results(@brindel, img, [], 'Gaussian', 1e6, 1e6){1}, ref{1}), 'given penalties are used');
  check(~isequal(all_results(@brindel, img, 4){2}, ref{2}), 'given sh is used');
  check(~isequal(all_results(@brindel, img, [], 'Gaussian', [], [], 49){1}, ref{1}), 'given lines are used');
  check(isequal(brindel(img), ref{1}), 'one result requested');

  % 8x8: the cube root of 64 comes out just below 4, so sh 1 and 3x3 lines.
  img8 = img(1:8, 1:8);
  ref8 = all_results(@brindel, img8);
  check(isequal(all_results(@brindel, img8, 1, 'Gaussian', log(64) / 3, (2 * log(64)) / 3, 9)([1 2 4 5]), ...
                ref8([1 2 4 5])), 'explicit defaults 8x8');
  check(~isequal(all_results(@brindel, img8, 2){2}, ref8{2}), 'sh 2 differs from the 8x8 default');

  % Poisson defaults come from the image sum; some negative values may pass.
  pimg = img + 1;
  s = sum(pimg(:));
  pref = all_results(@brindel, pimg, [], 'Poisson');
  check(isequal(all_results(@brindel, pimg, [], 'Poisson', log(s) / 3, (2 * log(s)) / 3)([1 2 4 5]), ...
                pref([1 2 4 5])), 'explicit Poisson defaults');
  check(all(isfinite(pref{1}(:))), 'Poisson on a positive image');
  pimg(3, 5) = -1;
  check(isequal(size(brindel(pimg, [], 'Poisson')), [16 16]), 'Poisson accepts negatives with a positive sum');
  one = zeros(8);
  one(2, 3) = 1;
  check(isequal(size(brindel(one, [], 'Poisson')), [8 8]), 'Poisson sum 1 gives penalties 0');
end

function no_lines()
  % 0.5 lines gives none: every refined square of side sh takes its mean.
  img = blocky_image(16, 12);
  r = all_results(@brindel, img, 2, 'Gaussian', [], [], 0.5);
  expected = r{2};
  sq = r{4}(r{4}(:, 3) == 2, :);
  for k = 1:rows(sq)
    % A square is (host column, host row, side), counted from 0.
    rr = sq(k, 2) + (1:2);
    cc = sq(k, 1) + (1:2);
    blk = img(rr, cc);
    expected(rr, cc) = sum(blk(:) / 2 / 2);
  end
  check(~isequal(r{1}, r{2}) && isequal(r{1}, expected), 'no lines: one-piece fits');
  r = all_results(@brindel, img, 2, 'Gaussian', [], [], 0);
  check(isequal(r{1}, expected), 'zero lines: one-piece fits');
end

function non_square_images()
  % Two noisy halves of 8x8 each, along the long side; the penalties are
  % scaled to the noise variance.
  sigma = 2;
  randn('seed', 4);
  truth = [10 * ones(8); 50 * ones(8)];
  img = truth + sigma * randn(16, 8);
  pens = {[], 'Gaussian', 10 * sigma ^ 2, 20 * sigma ^ 2};
  tall = all_results(@brindel, img, pens{:});
  wide = all_results(@brindel, img', pens{:});
  rmse = @(x, y) sqrt(mean((x(:) - y(:)) .^ 2));
  check(rmse(tall{2}, truth) < sigma / 2, '16x8 top/bottom halves');
  check(rmse(wide{2}, truth') < sigma / 2, '8x16 left/right halves');
  % Transposing the image transposes the estimates and swaps the square corners.
  near = @(x, y) max(abs(x(:) - y(:))) < 1e-9;
  check(near(wide{1}, tall{1}') && near(wide{2}, tall{2}') && near(wide{5}, tall{5}'), ...
        'transposed image, transposed estimates');
  check(isequal(wide{4}, sortrows(tall{4}(:, [2 1 3]))), 'transposed image, swapped squares');
end

function half_plane()
  % Noise-free diagonal edge: one wedgelet over the whole image beats the pruning.
  [x, y] = ndgrid(1:16, 1:16);
  img = 10 + 40 * (x + y > 17);
  r = all_results(@brindel, img, 16, 'Gaussian', [], [], 1024);
  check(isequal(r{4}, [0 0 16]), 'sh 16: one candidate');
  check(norm(r{1} - img, 'fro') < norm(r{2} - img, 'fro') / 4, 'wedgelet beats the average');
end

function candidate_squares()
  r = all_results(@brindel, 7 * ones(2));
  check(isequal(r{4}, [0 0 2; 1 1 2]) && isequal(r{1}, 7 * ones(2)) && isequal(r{2}, 7 * ones(2)), ...
        'constant 2x2 image');

  img = blocky_image(32, 13);
  for sh = [2 4]
    r = all_results(@brindel, img, sh);
    sq = r{4};
    what = sprintf(', sh %d', sh);
    check(isequal(sq, unique(sq, 'rows')), ['distinct and sorted' what]);
    at_sh = sq(sq(:, 3) == sh, :);
    check(all(mod(at_sh(:), sh) == 0), ['side-sh squares aligned' what]);
    check(any(sq(:, 3) > sh) && all(sq(:, 3) >= sh) && all(log2(sq(:, 3)) == round(log2(sq(:, 3)))), ['dyadic sides from sh up' what]);
    % Outside the side-sh candidates the refinement leaves the average alone.
    touched = false(32);
    for k = 1:rows(at_sh)
      touched(at_sh(k, 2) + (1:sh), at_sh(k, 1) + (1:sh)) = true;
    end
    check(isequal(r{1}(~touched), r{2}(~touched)), ['refinement only inside candidates' what]);
  end

  % A constant top-right quadrant (host rows 0-7, columns 8-15) is one square,
  % named by its host column first.
  rand('seed', 5);
  img = kron(floor(100 * rand(4)), ones(4));
  img(1:8, 9:16) = 7;
  sq = all_results(@brindel, img, 4){4};
  check(ismember([8 0 8], sq, 'rows') && ~ismember([0 8 8], sq, 'rows'), 'squares name the host column first');
end

function distinct_rows()
  randn('seed', 21);
  for n = [4 8 16]
    x = round(2 * randn(n * n, 3));
    check(isequal(native_unique_rows(x), unique(x, 'rows')), sprintf('random %dx3 triples', n * n));
  end
  x = [round(randn(40, 2)), 2 .^ floor(3 * rand(40, 1))];
  check(isequal(native_unique_rows(x), unique(x, 'rows')), 'triples with negatives');
  check(isequal(size(native_unique_rows(zeros(0, 3))), size(unique(zeros(0, 3), 'rows'))), 'empty 0x3');

  % Stacked as the wedgelet entry builds them: each pixel's square from two
  % prunings, the second's corners moved back by sh and wrapped.
  rand('seed', 22);
  sh = 2;
  [~, ~, first] = tessik(floor(4 * rand(16)), 2, sh);
  [~, ~, second] = tessik(floor(4 * rand(16)), 2, sh);
  x = [first; mod(second(:, 1:2) - sh, 16), second(:, 3)];
  check(isequal(native_unique_rows(x), unique(x, 'rows')), 'stacked square matrix');
end

% SPDX-License-Identifier: BSD-3-Clause
