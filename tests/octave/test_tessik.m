function test_tessik()
% Runs the cases of module tessik inside the host.
  bad_inputs();
  hand_worked();
  against_reference();
  calls_and_classes();
  clear tessik brindel quarlo native_unique_rows
  check_done('test_tessik');
end

function bad_inputs()
  img = magic(4);
  pen_scalar = 'Input pen must be a scalar.';
  real_image = 'Input image must be a real numeric matrix.';
  side = 'Input sh must be a positive integer that divides the image sides.';
  vector = 'This is an image processing method; it cannot process a vector.';
  cases = {
    @() tessik(),                      'There is at least 1 input parameter required!', 'no input'
    @() tessik(img),                   'At this point the penalty must be input.',      'one input'
    @() tessik(img, 1, 1, 1),          'There are at most 3 input parameters allowed!', 'four inputs'
    @() tessik(img, NaN),              'The penalty must be positive.',                 'NaN pen'
    @() tessik(ones(8, 8, 2), 1),      'Input image must be a real numeric matrix.',    '8x8x2 image'
    @() tessik(struct('a', 1), 1),     'Input image must be a real numeric matrix.',    'struct image'
    @() tessik(img, 1, 1, 1, 1),       'There are at most 3 input parameters allowed!', 'five inputs'
    @() tessik(img, []),               pen_scalar,                                      'empty pen'
    @() tessik(img, 1i),               pen_scalar,                                      'complex pen'
    @() tessik(img, [1 2]),            pen_scalar,                                      'pen with two elements'
    @() tessik(img, -1),               'The penalty must be positive.',                 'negative pen'
    @() tessik(ones(2, 4), -1),        'The penalty must be positive.',                 'pen checked before the image'
    @() tessik(img, 1, 'a'),           'Input sh must be a scalar.',                    'char sh'
    @() tessik(img, 1, []),            'Input sh must be a scalar.',                    'empty sh'
    @() tessik(ones(2, 4), 1),         'Images must be square.',                        '2x4 image'
    @() tessik(ones(2, 4) + 1i, 1),    'Images must be square.',                        'shape checked before class'
    @() tessik(ones(6), 1),            'The matrix row dimension must be of size m*2^(L)', '6x6 image'
    @() tessik(ones(6, 1), 1),         'The matrix row dimension must be of size m*2^(L)', '6x1 image'
    @() tessik(ones(1, 6), 1),         'The matrix column dimension must be of size n*2^(L)', '1x6 image'
    @() tessik(img + 1i, 1),           real_image,                                      'complex image'
    @() tessik(repmat('a', 4), 1),     real_image,                                      'char image'
    @() tessik(cell(4), 1),            real_image,                                      'cell image'
    @() tessik(sparse(img), 1),        real_image,                                      'sparse image'
    @() tessik(ones(4, 2, 2), 1),      real_image,                                      'three-dimensional image'
    @() tessik(cell(1, 4), 1),         real_image,                                      'class checked before vector'
    @() tessik(ones(1, 4), 1),         vector,                                          '1x4 image'
    @() tessik(ones(4, 1), 1, 0),      vector,                                          'vector checked before sh'
    @() tessik(img, 1, 0),             side,                                            'sh 0'
    @() tessik(img, 1, 0.5),           side,                                            'sh 0.5'
    @() tessik(img, 1, -2),            side,                                            'negative sh'
    @() tessik(img, 1, 3),             side,                                            'sh not a divisor'
    @() tessik(img, 1, 8),             side,                                            'sh above the side'
    @() tessik(img, 1, NaN),           side,                                            'NaN sh'
    @() tessik(img, 1, Inf),           side,                                            'Inf sh'
    @() tessik(img, 1, 2^40),          side,                                            'sh beyond int'
  };
  for k = 1:rows(cases)
    check_error(cases{k, 1}, cases{k, 2}, cases{k, 3});
  end
end

function hand_worked()
  % Mean 1, squared error 12: the 2x2 block merges exactly when pen >= 4.
  [e, ~, s] = tessik([0 0; 0 4], 4);
  check(isequal(e, ones(2)) && isequal(s, repmat([0 0 2], 4, 1)), 'tie at pen 4 merges');
  [e, ~, s] = tessik([0 0; 0 4], 3.9);
  check(isequal(e, [0 0; 0 4]) && isequal(s, [0 0 1; 1 0 1; 0 1 1; 1 1 1]), 'pen 3.9 keeps pixels');

  % Quadrants 0 0 / 0 7: no 2x2 merges (36.75 > 30), the 4x4 does (157 <= 160).
  q = repmat([0 0; 0 7], 2, 2);
  [e, ~, s] = tessik(q, 10);
  check(isequal(e, 1.75 * ones(4)) && isequal(s, repmat([0 0 4], 16, 1)), 'whole 4x4 merges at level 2');

  check(isequal(tessik(3 * ones(8), 0), 3 * ones(8)), 'constant image merges at pen 0');

  % Pen 0 merges no siblings of different values: every pixel keeps its own
  % square and draw. Any real class serves as pen and sh.
  img = magic(8);
  [e, l, s] = tessik(img, 0);
  [r, c] = ndgrid(0:7, 0:7);
  check(isequal(e, img) && isequal(s, [r(:) c(:) ones(64, 1)]), 'pen 0 merges no distinct siblings');
  check(all(l(:) == round(l(:)) & l(:) >= 0) && numel(unique(l)) == 64, 'pen 0 keeps one draw per pixel');
  check(isequal(tessik(img, int32(0), uint8(1)), img) && isequal(tessik(img, single(0)), img), ...
        'integer and single pen and sh');
  try
    [a, b, c, d] = tessik(img, 1);
    got = '(no error)';
  catch err
    got = err.message;
  end
  check(strcmp(got, 'tessik: Too many output arguments.'), 'four outputs');

  [e, l, s] = tessik(5, 0);
  check(isequal(e, 5) && isequal(s, [0 0 1]) && l == round(l) && l >= 0, '1x1 image');
  [e, l, s] = tessik(zeros(0), 1);
  check(isequal(size(e), [0 0]) && isequal(size(l), [0 0]) && isequal(size(s), [0 3]), '0x0 image');
  [e, l, s] = tessik(zeros(0, 4), 1);
  check(isequal(size(e), [0 4]) && isequal(size(l), [0 4]) && isequal(size(s), [0 3]), '0x4 image');

  % sh = 2: every 2x2 block holds its mean, and 2.9 truncates to 2.
  img = [1 2 5 5; 3 6 5 9; 0 0 8 8; 0 4 8 8];
  avg = [3 3 6 6; 3 3 6 6; 1 1 8 8; 1 1 8 8];
  check(isequal(tessik(img, 0, 2), avg), 'sh 2 block averages');
  check(isequal(tessik(img, 0, 2.9), avg), 'sh 2.9 truncates to 2');
end

function against_reference()
  rand('seed', 7);
  for pen = [0 1 4 10 30]
    for sh = [1 2]
      img = floor(4 * rand(8));
      [e, l, s] = tessik(img, pen, sh);
      [e_ref, s_ref] = prune_reference(block_mean(img, sh), pen);
      what = sprintf('pen %g sh %d', pen, sh);
      check(isequal(e, e_ref) && isequal(s, s_ref), ['reference pruning, ' what]);
      check(min(s(:, 3)) >= sh, ['no square below sh, ' what]);
      % The final squares tile the image and each carries one label of its own.
      [sq, ~, owner] = unique(s, 'rows');
      check(sum(sq(:, 3) .^ 2) == 64, ['squares tile the image, ' what]);
      per_square = accumarray(owner, l(:), [], @(v) numel(unique(v)));
      check(all(per_square == 1) && numel(unique(l)) == rows(sq), ['one label per square, ' what]);
    end
  end
end

function calls_and_classes()
  img = floor(10 * rand(8));
  [e, l, s] = tessik(img, 2, 2);
  check(isequal(size(l), [8 8]) && isequal(size(s), [64 3]), 'three results');
  [e2, l2] = tessik(img, 2, 2);
  check(isequal(e2, e) && isequal(size(l2), [8 8]), 'two results');
  check(isequal(tessik(img, 2, 2), e), 'one result');
  tessik(img, 2, 2);
  check(isequal(ans, e), 'no result requested sets ans');

  for cls = {'uint8', 'uint16', 'int16', 'single'}
    [ec, ~, sc] = tessik(cast(img, cls{1}), 2, 2);
    check(isequal(ec, e) && isequal(sc, s) && isa(ec, 'double'), [cls{1} ' image equals its double']);
  end
  [ec, ~, sc] = tessik(img > 4, 1);
  [ed, ~, sd] = tessik(double(img > 4), 1);
  check(isequal(ec, ed) && isequal(sc, sd), 'logical image equals its double');
end

function avg = block_mean(img, sh)
  n = rows(img);
  avg = zeros(n);
  for a = 1:sh:n
    for b = 1:sh:n
      blk = img(a:a+sh-1, b:b+sh-1);
      avg(a:a+sh-1, b:b+sh-1) = (sum(blk(:)) / sh) / sh;
    end
  end
end

function [est, squares] = prune_reference(img, pen)
  % Best recursive dyadic partition by squared error plus pen per square,
  % built bottom-up: cost(a,b) is the best cost of the block cornered at (a,b).
  n = rows(img);
  est = img;
  cost = pen * ones(n);
  [top, left] = ndgrid(0:n-1, 0:n-1);
  side = ones(n);
  for s = 2 .^ (1:log2(n))
    h = s / 2;
    for a = 1:s:n
      for b = 1:s:n
        blk = img(a:a+s-1, b:b+s-1);
        m = mean(blk(:));
        merged = sum((blk(:) - m) .^ 2) + pen;
        current = cost(a, b) + cost(a+h, b) + cost(a, b+h) + cost(a+h, b+h);
        if merged <= current
          cost(a, b) = merged;
          est(a:a+s-1, b:b+s-1) = m;
          top(a:a+s-1, b:b+s-1) = a - 1;
          left(a:a+s-1, b:b+s-1) = b - 1;
          side(a:a+s-1, b:b+s-1) = s;
        else
          cost(a, b) = current;
        end
      end
    end
  end
  squares = [top(:) left(:) side(:)];
end

% SPDX-License-Identifier: BSD-3-Clause
