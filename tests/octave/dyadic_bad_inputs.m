function dyadic_bad_inputs(module)
% The input checks that brindel and quarlo share, with their messages.
  img = magic(8);
  name = func2str(module);
  vector = 'This is an image processing method; it cannot process a vector.';
  real_image = 'Input image must be a real numeric matrix.';
  side = 'Input sh must be a positive integer that divides the image sides.';
  noise_name = 'noiseType must be either ''Poisson'' or ''Gaussian''.';
  positive = 'The penalty must be positive.';
  few = 'Poisson counts too small for the default penalties: the image holds fewer than 1 count in all; give the penalties.';
  large = 'Values too large: magnitudes up to 1e100 are accepted.';
  real_pen = 'The penalties must be real numbers.';
  lines = 'The number of lines must be a finite non-negative number not above 1e8.';
  cases = {
    @() module(img, 2, 'Gaussian', 1, 1, 9, 0), 'There are at most 6 input parameters allowed!', 'seven inputs'
    @() module(),                          'There is at least 1 input parameter required!', 'no input'
    @() module(ones(1, 8)),                vector,      '1x8 image'
    @() module(ones(8, 1)),                vector,      '8x1 image'
    @() module(5),                         vector,      '1x1 image'
    @() module(ones(6, 8)),                'The matrix row dimension must be of size m*2^(L)', '6x8 image'
    @() module(ones(8, 12)),               'The matrix column dimension must be of size n*2^(L)', '8x12 image'
    @() module(ones(6, 12) + 1i),          'The matrix row dimension must be of size m*2^(L)', 'shape checked before class'
    @() module(img + 1i),                  real_image,  'complex image'
    @() module(repmat('a', 8)),            real_image,  'char image'
    @() module(cell(8)),                   real_image,  'cell image'
    @() module(sparse(img)),               real_image,  'sparse image'
    @() module(img, 0),                    side,        'sh 0'
    @() module(img, 3),                    side,        'sh 3'
    @() module(img, 16),                   side,        'sh above the side'
    @() module(img, -2),                   side,        'negative sh'
    @() module(img, NaN),                  side,        'NaN sh'
    @() module(img, 'a'),                  side,        'char sh'
    @() module(ones(16, 8), 16),           side,        'sh dividing one side only'
    @() module(img, [], 5),                'noiseType must be a string', 'numeric noiseType'
    @() module(img, [], 'poisson'),        noise_name,  'lower-case noiseType'
    @() module(img, [], ''),               noise_name,  'empty noiseType'
    @() module(-img, [], 'Poisson'),       'Poisson data cannot be negative.', 'Poisson negative sum'
    @() module(zeros(8), [], 'Poisson'),   few,         'Poisson zeros'
    @() module(0.01 * ones(8), [], 'Poisson'), few,     'Poisson sum below 1'
    @() module([1 0; 0 realmax], 1),       large,       'values near realmax'
    @() module(img, [], 'Gaussian', -0.1, 1), positive, 'first penalty -0.1'
    @() module(img, [], 'Gaussian', 1, -0.1), positive, 'second penalty -0.1'
    @() module(img, [], 'Gaussian', -0.1),  positive,   'four inputs, first penalty -0.1'
    @() module(img, [], 'Gaussian', 'a', 1), real_pen,  'char penalty'
    @() module(img, [], 'Gaussian', 1, {1}), real_pen,  'cell penalty'
    @() module(img, [], 'Gaussian', 1i, 1),  real_pen,  'complex penalty'
    @() module(img, [], 'Gaussian', zeros(0, 3), 1), real_pen, 'empty penalty with columns'
    @() module(img, [], 'Gaussian', 'a', -1), positive, 'sign checked before kind'
    @() module(img, [], 'Gaussian', 1, 1, -1),  lines,  'lines -1'
    @() module(img, [], 'Gaussian', 1, 1, NaN), lines,  'lines NaN'
    @() module(img, [], 'Gaussian', 1, 1, Inf), lines,  'lines Inf'
  };
  for k = 1:rows(cases)
    check_error(cases{k, 1}, cases{k, 2}, [name ': ' cases{k, 3}]);
  end
end

% SPDX-License-Identifier: BSD-3-Clause
