function test_reference()
% Holds module brindel bit for bit against reference_brindel, its slow and
% literal transcription, on small images under both noise models.
  [x, y] = ndgrid(1:16, 1:16);
  scene = 8 * (x + y > 17) + 4 * (x > 11) - 3 * (y < 5);
  randn('seed', 21);
  rand('seed', 21);
  gauss16 = scene + randn(16);
  gauss8 = scene(1:2:end, 1:2:end) + 8 * (x(1:8, 1:8) > y(1:8, 1:8)) + randn(8);
  counts16 = floor((scene + 4) .* (x > 3) .* (0.5 + rand(16)));

  pieces = [0 0 0];
  for sh = [1 2 4]
    for K = 2:5
      pieces += compare(gauss8, sh, 'Gaussian', 2, 1.5, K, sprintf('8x8 Gaussian sh %d K %d', sh, K));
      pieces += compare(gauss16, sh, 'Gaussian', 3, 2, 7 - K, sprintf('16x16 Gaussian sh %d K %d', sh, 7 - K));
    end
    pieces += compare(counts16, sh, 'Poisson', 2, 1.5, 2 + fix(sh / 2), sprintf('16x16 Poisson sh %d', sh));
    pieces += compare(counts16(1:8, 9:16), sh, 'Poisson', 1, 1, 4, sprintf('8x8 Poisson sh %d', sh));
  end
  % Both fits must win somewhere, and the refinement must change the
  % averaged estimate, else the comparison proves little.
  check(all(pieces > 0), 'one-piece and two-piece squares both written');

  % Wider and taller images: the Grid is N outer by M inner.
  for sh = [1 2]
    compare(gauss16(:, 1:8), sh, 'Gaussian', 2, 1.5, 3, sprintf('16x8 Gaussian sh %d', sh));
    compare(gauss16(1:8, :), sh, 'Gaussian', 2, 1.5, 4, sprintf('8x16 Gaussian sh %d', sh));
    compare(counts16(:, 9:16), sh, 'Poisson', 2, 1, 3, sprintf('16x8 Poisson sh %d', sh));
    compare(counts16(9:16, :), sh, 'Poisson', 2, 1, 5, sprintf('8x16 Poisson sh %d', sh));
  end
  compare(gauss16(1:4, :), 2, 'Gaussian', 1, 1, 3, '4x16 Gaussian sh 2');

  % No line at all (K 0): every refined square is a constant; and a single line (K 1).
  r = compare(gauss16, 2, 'Gaussian', 3, 2, 0, '16x16 K 0');
  check(r(1) > 0 && r(2) == 0, 'K 0 writes no two-piece square');
  compare(counts16, 2, 'Poisson', 2, 1.5, 0, '16x16 Poisson K 0');
  compare(gauss8, 4, 'Gaussian', 1, 1, 1, '8x8 K 1');

  % A square on which no line costs less than 1e12 takes its own mean, not
  % the last wedgelet; one whose best line costs a little less takes that line.
  huge = gauss8;
  huge(5:6, 5:6) = [0 1e7; 1e7 0];
  huge(1:2, 7:8) = [0 1.2e6; 1.2e6 0];
  [~, a] = compare(huge, 2, 'Gaussian', 0.5, 0.5, 5, '8x8 with squares costing about 1e12 and more');
  check(isequal(a{1}(5:6, 5:6), repmat(5e6, 2, 2)), 'unaccepted square holds its mean');
  check(numel(unique(a{1}(1:2, 7:8))) == 2, 'a line under 1e12 is accepted');
  q = find(ismember(a{4}, [4 4 2], 'rows'));
  check(isscalar(q) && any(a{4}(1:q - 1, 3) == 2), 'the unaccepted square is refined after others');
  negative = counts16(1:8, 9:16);
  negative(3, 6) = -3;
  [~, a] = compare(negative, 1, 'Poisson', 1, 1, 3, '8x8 Poisson with a negative count');
  check(a{1}(3, 6) == -3, 'negative count holds its own value');

  % Exact ties. Penalties of 0 tie every constant block in the prunings, which
  % then merge; each 2x2 step below costs 3 as a constant and 0 as its
  % best wedgelet, so penalties 1 and 2 tie and the wedgelet is written.
  blocks = kron(100 * magic(4), ones(2));
  [~, a] = compare(blocks, 2, 'Gaussian', 0, 0, 2, 'penalties 0, Gaussian');
  check(isequal(a{4}(:, 3), repmat(2, 16, 1)), 'ties merge');
  compare(kron(counts16(1:4, 1:4), ones(4)), 2, 'Poisson', 0, 0, 3, 'penalties 0, Poisson');
  steps = blocks + repmat([2 0; 0 0], 4, 4);
  [r, a] = compare(steps, 2, 'Gaussian', 1, 2, 5, 'tied penalized costs');
  check(r(2) == 16 && isequal(a{1}, steps), 'a tie writes the wedgelet');

  clear brindel
  check_done('test_reference');
end

function [pieces, a] = compare(img, sh, noiseType, penConst, penWedge, K, name)
% Runs both on one case. pieces counts the refined squares of side sh > 1
% that result 1 holds as one value and as two values, and whether result 1
% differs from result 2 at all.
  a = cell(1, 6);
  [a{:}] = brindel(img, sh, noiseType, penConst, penWedge, K^2);
  b = cell(1, 4);
  [b{:}] = reference_brindel(img, sh, noiseType, penConst, penWedge, K);
  check(isequal(a([1 2 4 5]), b), name);
  pieces = [0 0 ~isequal(a{1}, a{2})];
  for q = find(a{4}(:, 3) == sh & sh > 1)'
    % result 4 names (column, row, side), counted from 0
    values = numel(unique(a{1}(a{4}(q, 2) + (1:sh), a{4}(q, 1) + (1:sh))));
    if values <= 2
      pieces(values) += 1;
    end
  end
end

% SPDX-License-Identifier: BSD-3-Clause
