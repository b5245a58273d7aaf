function out = module_outputs()
% The results other than labels of tessik, brindel and quarlo on fixed
% images, from whichever build of the modules the path holds first, so that
% two builds can be compared bit for bit.
  img = blocky_image(64, 7);
  rand('seed', 11);
  noisy = img + rand(64) - 0.5;
  out = cell(1, 0);
  [est, ~, squares] = tessik(noisy, 2, 2);
  out = [out, {est, squares}];
  cases = {{noisy}, {img, [], 'Poisson'}, {noisy, 4, 'Gaussian', 1, 2, 50}};
  for name = {'brindel', 'quarlo'}
    for k = 1:numel(cases)
      r = cell(1, 5);
      [r{:}] = feval(name{1}, cases{k}{:});
      out = [out, r([1 2 4 5])];
    end
  end
end

% SPDX-License-Identifier: BSD-3-Clause
