% A unique() of the user's on the path that returns rows which are no
% squares of the grid: every module refuses them with one message, and
% Octave goes on.
check();
results = {'[1e10 0 2]', '[Inf 0 2]', '[NaN 0 2]', 'sparse([0 0 2])', '[0.5 0 2]', '[0 0 3]', ...
           '[0 8 2]', '[0 0 16]', 'single([0 0 2])', '[0 0 2 1]', '{1}', 'complex([0 0 2])'};
root = tempname();
mkdir(root);
confirm_recursive_rmdir(false);
img = reshape(mod(0:63, 7), 8, 8);
for k = 1:numel(results)
  folder = fullfile(root, sprintf('case%d', k));
  mkdir(folder);
  fid = fopen(fullfile(folder, 'unique.m'), 'w');
  fprintf(fid, 'function r = unique(varargin)\n  r = %s;\nend\n', results{k});
  fclose(fid);
  addpath(folder);
  for module = {'brindel', 'quarlo'}
    check_error(@() feval(module{1}, img), ...
                'The host function unique returned an unexpected result.', ...
                sprintf('%s with unique returning %s', module{1}, results{k}));
  end
  rmpath(folder);
end
% The real unique is back and the modules work.
check(isequal(size(brindel(img)), [8 8]), 'brindel after the shadowing unique is gone');
rmdir(root, 's');
check_done('test_unique_shadow');

% SPDX-License-Identifier: BSD-3-Clause
