function test_show()
% Runs the cases of dyadfit_show inside the host.
  pictures();
  layouts();
  bad_inputs();
  clear dyadfit_show tessik brindel
  check_done('test_show');
end

function pictures()
  img = reshape(0:15, 4, 4);                   % pixel (r, c) = 4*(c-1) + r-1
  % One square [column 2, row 0, side 2]: rows 1-2, columns 3-4 outlined red.
  rgb = dyadfit_show(img, [2 0 2], [], 1);
  check(isequal(size(rgb), [4 4 3]) && isa(rgb, 'double'), 'RGB of M x N x 3');
  red = false(4);
  red(1:2, 3:4) = true;
  grey = img / 15;                             % default range: 0 to 15
  check(isequal(rgb(:, :, 1), red + ~red .* grey), 'red plane: outline 1, grey elsewhere');
  check(isequal(rgb(:, :, 2), ~red .* grey) && isequal(rgb(:, :, 3), rgb(:, :, 2)), 'green and blue planes');

  % Scale 2 and range [0 30]: each pixel a 2 x 2 block; a square of side 1
  % keeps no grey inside, one of side 2 keeps its middle 2 x 2.
  rgb = dyadfit_show(img, [0 0 2; 3 3 1], [], 2, [0 30]);
  check(isequal(size(rgb), [8 8 3]), 'scaled size');
  check(isequal(rgb(2:3, 2:3, 2), img(1:2, 1:2) / 30), 'middle of a side-2 square at scale 2');
  check(all(rgb([1 4], 1:4, 1)(:) == 1) && all(rgb(1:4, [1 4], 3)(:) == 0), 'its border at scale 2');
  check(all(all(rgb(7:8, 7:8, 1) == 1 & rgb(7:8, 7:8, 2) == 0)), 'side-1 square all outline');
  check(isequal(dyadfit_show(uint8(img), [2 0 2], [], 1), dyadfit_show(img, [2 0 2], [], 1)), 'uint8 image');
  check(isequal(size(dyadfit_show(img, [])), [512 512 3]), 'default scale: larger side 512');

  % No output: shown where a figure can open, else nothing; never an error.
  clear ans
  dyadfit_show(img, [0 0 4]);
  check(~exist('ans', 'var'), 'no output when none is asked for');
end

function layouts()
  img = kron([1 2; 3 4], ones(4)) + 0.1 * reshape(1:64, 8, 8) .* (reshape(1:64, 8, 8) <= 16);
  [~, ~, sq] = tessik(img, 0.05);              % 64 x 3, per pixel
  auto = dyadfit_show(img, sq, [], 1);
  check(isequal(auto, dyadfit_show(img, sq, 'pixels', 1)), 'tessik squares read per pixel by default');
  % The same squares once each, as [column, row, side].
  firsts = sq(sq(:, 1) == mod(0:63, 8)' & sq(:, 2) == floor((0:63) / 8)', :);
  check(isequal(auto, dyadfit_show(img, firsts(:, [2 1 3]), [], 1)), 'distinct rows draw the same picture');
  check(~isequal(auto, dyadfit_show(img, sq, 'distinct', 1)), 'distinct forced on per-pixel rows reads them swapped');
  [~, ~, ~, squares] = brindel(img, 2, 'Gaussian', 1, 1, 4);
  rgb = dyadfit_show(img, squares, [], 1);
  check(isequal(size(rgb), [8 8 3]) && any(any(rgb(:, :, 1) == 1 & rgb(:, :, 2) == 0)), 'brindel squares drawn');
end

function bad_inputs()
  img = magic(4);
  sq = [0 0 2];
  square = 'Row 1 of squares is not a square of the image.';
  cases = {
    @() dyadfit_show(img),                         'There are at least 2 input parameters required!', 'one input'
    @() dyadfit_show(img, sq, [], [], [], []),     'There are at most 5 input parameters allowed!', 'six inputs'
    @() two_outputs(img, sq),                      'Too many output arguments.', 'two outputs'
    @() dyadfit_show([], sq),                      'img must be a non-empty real numeric or logical matrix.', 'empty image'
    @() dyadfit_show(img + 1i, sq),                'img must be a non-empty real numeric or logical matrix.', 'complex image'
    @() dyadfit_show(ones(4, 4, 3), sq),           'img must be a non-empty real numeric or logical matrix.', 'RGB image'
    @() dyadfit_show(img, {sq}),                   'squares must be a real matrix of 3 columns.', 'cell squares'
    @() dyadfit_show(img, [0 0]),                  'squares must be a real matrix of 3 columns.', 'two columns'
    @() dyadfit_show(img, sq, 'rows'),             'layout must be ''pixels'' or ''distinct''.', 'unknown layout'
    @() dyadfit_show(img, sq, 1),                  'layout must be ''pixels'' or ''distinct''.', 'numeric layout'
    @() dyadfit_show(img, sq, 'pixels'),           'A per-pixel squares matrix needs one row per pixel of the image.', 'pixels of too few rows'
    @() dyadfit_show(img, sq, [], 0.5),            'scale must be a positive integer.', 'fractional scale'
    @() dyadfit_show(img, sq, [], [2 2]),          'scale must be a positive integer.', 'two scales'
    @() dyadfit_show(img, sq, [], [], [1 1]),      'range must be [lo hi] with finite lo < hi.', 'empty range'
    @() dyadfit_show(img, sq, [], [], [0 Inf]),    'range must be [lo hi] with finite lo < hi.', 'infinite range'
    @() dyadfit_show(img, [0 0 8]),                square, 'side above the image'
    @() dyadfit_show(img, [4 0 1]),                square, 'column outside the image'
    @() dyadfit_show(img, [0 0.5 1]),              square, 'fractional row'
    @() dyadfit_show(img, [0 0 NaN]),              square, 'NaN side'
    @() dyadfit_show(img, [0 0 1; -1 0 1]),        'Row 2 of squares is not a square of the image.', 'negative column'
    @() dyadfit_show(img, sq, [], 1e5),            'scale must be a positive integer.', 'scale above 65536'
    @() dyadfit_show(ones(2^10), [], [], 65536),   'The picture would be too large.', 'picture too large'
  };
  for k = 1:rows(cases)
    check_error(cases{k, 1}, cases{k, 2}, cases{k, 3});
  end
end

function two_outputs(img, sq)
  [a, b] = dyadfit_show(img, sq);
end
