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
  % One square [column 2, row 0, side 2]: its top edge on row 1, its bottom
  % edge on row 3 (the first row below it), its left and right edges on
  % columns 3 and 4 (the image's last), blended over the grey.
  rgb = dyadfit_show(img, [2 0 2], [], 1);
  check(isequal(size(rgb), [4 4 3]) && isa(rgb, 'double'), 'RGB of M x N x 3');
  line = false(4);
  line(1:3, 3:4) = true;
  check(isequal(rgb, blend(line, img / 15)), 'outline pixels of one square, grey elsewhere');

  % Scale 2 and range [0 30]: each pixel a 2 x 2 block; one-pixel lines on
  % picture rows and columns 1 and 5 around the side-2 square; the side-1
  % square at the corner keeps no grey.
  rgb = dyadfit_show(img, [0 0 2; 3 3 1], [], 2, [0 30]);
  check(isequal(size(rgb), [8 8 3]), 'scaled size');
  line = false(8);
  line([1 5], 1:5) = true;
  line(1:5, [1 5]) = true;
  line(7:8, 7:8) = true;
  check(isequal(rgb, blend(line, kron(img, ones(2)) / 30)), 'one-pixel lines at scale 2');
  check(isequal(dyadfit_show(uint8(img), [2 0 2], [], 1), dyadfit_show(img, [2 0 2], [], 1)), 'uint8 image');
  check(isequal(size(dyadfit_show(img, [])), [512 512 3]), 'default scale: larger side 512');

  % No output: shown where a figure can open; here, one line on how to get
  % the picture instead. Never an error, never a result.
  clear ans
  lastwarn('');
  said = evalc('dyadfit_show(img, [0 0 4]);');
  check(~exist('ans', 'var'), 'no output when none is asked for');
  if ~have_window_system() || isempty(available_graphics_toolkits())
    [~, id] = lastwarn();
    check(strcmp(strtok(said, "\n"), ['warning: dyadfit_show: no display here; ask for the picture, ' ...
                                      'rgb = dyadfit_show(...), and save it with imwrite.']) ...
          && strcmp(id, 'dyadfit:show:noDisplay'), 'no-display warning');
  end
end

% The picture the documented look gives: yellow lines at opacity 0.6 over grey.
function rgb = blend(line, grey)
  a = 0.6;
  yellow = [1 0.85 0];
  rgb = zeros([size(grey) 3]);
  for ch = 1:3
    rgb(:, :, ch) = line .* (a * yellow(ch) + (1 - a) * grey) + ~line .* grey;
  end
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
  check(isequal(size(rgb), [8 8 3]) && any(any(abs(rgb(:, :, 1) - rgb(:, :, 3) - 0.6) < 1e-12)), 'brindel squares drawn');
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

% SPDX-License-Identifier: BSD-3-Clause
