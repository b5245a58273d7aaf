function r = all_results(module, varargin)
% The six results of one call of brindel or quarlo, as a cell row.
  r = cell(1, 6);
  [r{:}] = module(varargin{:});
end

% SPDX-License-Identifier: BSD-3-Clause
