function test_bad_inputs()
% Each input slot of the three modules against each kind of bad value, with
% the exact message, and the order in which the checks meet several faults.
% After each group a valid call shows the module still works.
  v.char = 'a';
  v.cell = {1};
  v.struct = struct('a', 1);
  v.handle = @sin;
  v.complex = 2i;
  v.nd = ones(1, 1, 2);
  v.vector = [2 2];
  v.empty = [];
  v.false = false;
  v.nan = NaN;
  v.inf = Inf;
  v.neginf = -Inf;
  v.huge = 1e300;
  v.int8 = int8(-1);
  v.int64 = intmax('int64');
  v.single = single(NaN);
  v.above = 1e8 + 1;
  tessik_table(v);
  dyadic_table(@brindel, v);
  dyadic_table(@quarlo, v);
  clear tessik brindel quarlo
  check_done('test_bad_inputs');
end

function tessik_table(v)
  t4 = magic(4);
  real_image = 'Input image must be a real numeric matrix.';
  pen_scalar = 'Input pen must be a scalar.';
  sh_scalar = 'Input sh must be a scalar.';
  positive = 'The penalty must be positive.';
  side = 'Input sh must be a positive integer that divides the image sides.';
  works = @() isequal(size(tessik(t4, 1)), [4 4]);
  run_group('tessik image', works, {
    @() tessik(@sin, 1),               real_image, 'function handle'
    @() tessik(ones(1, 8, 2), 1),      real_image, '1x8x2: class before vector'
    @() tessik(zeros(0, 0, 2), 1),     real_image, '0x0x2'
    @() tessik(sparse(true(4)), 1),    real_image, 'sparse logical'
    @() tessik(single(t4) + 1i, 1),    real_image, 'complex single'
    @() tessik(int8(ones(2, 4)), 1),   'Images must be square.', 'non-square int8'
    @() tessik(true(1, 4), 1),         'This is an image processing method; it cannot process a vector.', 'logical 1x4'
    @() tessik(zeros(0, 3), 1),        'The matrix column dimension must be of size n*2^(L)', '0x3'
  });
  run_group('tessik pen', works, [
    slot_rows(@(x) tessik(t4, x), pen_scalar, 'char cell struct handle nd', v)
    slot_rows(@(x) tessik(t4, x), positive, 'neginf int8 single', v)]);
  run_group('tessik sh', works, [
    slot_rows(@(x) tessik(t4, 1, x), sh_scalar, 'cell struct handle complex vector nd', v)
    slot_rows(@(x) tessik(t4, 1, x), side, 'false neginf huge int8 int64 single', v)]);
  run_group('tessik order', works, {
    @() many_outputs(@tessik, 4),      'Too many output arguments.', 'four outputs, no input'
    @() many_outputs(@tessik, 4, struct(), -1, 'a', 1), 'Too many output arguments.', 'four outputs before the inputs'
    @() tessik(struct(), 1, 1, 1),     'There are at most 3 input parameters allowed!', 'count before class'
    @() tessik(struct()),              'At this point the penalty must be input.', 'pen presence before image'
    @() tessik(struct(), 'a'),         pen_scalar, 'pen before image'
    @() tessik(struct(), 1, 'a'),      sh_scalar,  'sh class before image'
    @() tessik(struct(), 1, 0),        real_image, 'image before sh value'
  });

  % Extremes that are valid: an infinite or huge pen merges the whole image,
  % and logical, integer and sparse scalars act as their doubles.
  for pen = [Inf 1e300]
    [e, ~, s] = tessik(t4, pen);
    check(isequal(e, 8.5 * ones(4)) && isequal(s, repmat([0 0 4], 16, 1)), sprintf('tessik pen %g merges all', pen));
  end
  [e, ~, s] = tessik(magic(8), 1, 2);
  [e2, ~, s2] = tessik(magic(8), true, int8(2));
  [e3, ~, s3] = tessik(magic(8), sparse(1), sparse(2));
  check(isequal(e2, e) && isequal(s2, s) && isequal(e3, e) && isequal(s3, s), 'tessik logical, int8 and sparse pen and sh');
end

function dyadic_table(f, v)
  name = func2str(f);
  img = magic(8);
  real_image = 'Input image must be a real numeric matrix.';
  vector = 'This is an image processing method; it cannot process a vector.';
  row_side = 'The matrix row dimension must be of size m*2^(L)';
  side = 'Input sh must be a positive integer that divides the image sides.';
  noise_string = 'noiseType must be a string';
  positive = 'The penalty must be positive.';
  real_pen = 'The penalties must be real numbers.';
  lines = 'The number of lines must be a finite non-negative number not above 1e8.';
  works = @() isequal(size(f(img, [], 'Gaussian', [], [], 4)), [8 8]);
  run_group([name ' image'], works, {
    @() f(struct('a', 1)),          real_image, 'struct'
    @() f(@sin),                    real_image, 'function handle'
    @() f(ones(8, 8, 2)),           real_image, '8x8x2'
    @() f(ones(8, 3, 2)),           real_image, '8x3x2: dimensions before shape'
    @() f(ones(1, 8, 2)),           real_image, '1x8x2: dimensions before vector'
    @() f(sparse(true(8))),         real_image, 'sparse logical'
    @() f(complex(int8(img))),      real_image, 'complex int8'
    @() f(repmat('a', 6, 8)),       real_image, 'class before shape'
    @() f(cell(1, 8)),              real_image, 'class before vector'
    @() f([]),                      vector,     'empty'
    @() f(true(1, 8)),              vector,     'logical 1x8'
    @() f(int16(ones(6, 8))),       row_side,   'int16 6x8'
    @() f(sparse(6, 8)),            row_side,   'sparse 6x8: shape before sparsity'
  });
  run_group([name ' sh'], works, ...
            slot_rows(@(x) f(img, x), side, 'cell struct handle complex false inf neginf huge int8 int64 single', v));
  run_group([name ' noiseType'], works, [
    slot_rows(@(x) f(img, [], x), noise_string, 'cell struct handle false empty int8', v)
    {@() f(img, [], ['Gaussian'; 'Gaussian']), 'noiseType must be either ''Poisson'' or ''Gaussian''.', 'two-row char'}]);
  run_group([name ' penalty 1'], works, [
    slot_rows(@(x) f(img, [], 'Gaussian', x, 1), real_pen, 'cell struct handle', v)
    slot_rows(@(x) f(img, [], 'Gaussian', x, 1), positive, 'nan neginf int8 single', v)]);
  run_group([name ' penalty 2'], works, [
    slot_rows(@(x) f(img, [], 'Gaussian', 1, x), real_pen, 'char struct handle complex', v)
    slot_rows(@(x) f(img, [], 'Gaussian', 1, x), positive, 'nan neginf int8 single', v)]);
  run_group([name ' lines'], works, ...
            slot_rows(@(x) f(img, [], 'Gaussian', 1, 1, x), lines, ...
                      'char cell struct handle complex neginf huge int8 int64 single above', v));
  run_group([name ' order'], works, {
    @() many_outputs(f, 7),                       'Too many output arguments.', 'seven outputs, no input'
    @() many_outputs(f, 7, struct(), 1, 2, 3, 4, 5, 6), 'Too many output arguments.', 'seven outputs before the inputs'
    @() f(struct(), 2, 'Gaussian', 1, 1, 9, 0),   'There are at most 6 input parameters allowed!', 'count before class'
    @() f(struct(), 2, 5),                        real_image,   'image before noiseType'
    @() f(img, 'a', 5),                           side,         'sh before noiseType'
    @() f(img, [], 5, -1),                        noise_string, 'noiseType before penalties'
    @() f(img, [], 'Gaussian', 'a', 1, -1),       real_pen,     'penalties before lines'
    @() f(img, [], 'Gaussian', NaN, 'a'),         positive,     'NaN sign before kind'
  });

  % Extremes that are valid: infinite or huge penalties keep the whole image
  % in each pruning and refine nothing; logical, integer and sparse
  % parameters act as their doubles.
  for pen = [Inf 1e300]
    r = all_results(f, img, [], 'Gaussian', pen, pen);
    check(isequal(r{1}, r{2}) && isequal(r{4}, [0 0 8; 7 7 8]) && all(isfinite(r{1}(:))), ...
          sprintf('%s penalties %g keep one square', name, pen));
  end
  ref = all_results(f, img, 2, 'Gaussian', 1, 1, 4)([1 2 4 5]);
  check(isequal(all_results(f, img, uint8(2), 'Gaussian', true, int8(1), uint16(4))([1 2 4 5]), ref) && ...
        isequal(all_results(f, img, sparse(2), 'Gaussian', sparse(1), single(1), sparse(4))([1 2 4 5]), ref), ...
        [name ' logical, integer and sparse parameters']);
end

function table = slot_rows(call, message, kinds, v)
% One row per kind of bad value named in `kinds`, all expecting `message`.
  kinds = strsplit(kinds, ' ');
  table = cell(numel(kinds), 3);
  for k = 1:numel(kinds)
    value = v.(kinds{k});
    table(k, :) = {@() call(value), message, kinds{k}};
  end
end

function run_group(group, works, table)
  for k = 1:rows(table)
    check_error(table{k, 1}, table{k, 2}, [group ': ' table{k, 3}]);
  end
  check(works(), [group ': a valid call still works']);
end

function many_outputs(f, n, varargin)
  r = cell(1, n);
  [r{:}] = f(varargin{:});
end

% SPDX-License-Identifier: BSD-3-Clause
