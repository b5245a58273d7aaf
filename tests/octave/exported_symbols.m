function text = exported_symbols(file)
% The demangled dynamic symbols that the shared object FILE defines.
  [status, text] = system(sprintf('nm -D --defined-only "%s" | c++filt', file));
  if status ~= 0
    error('exported_symbols: nm failed on %s', file);
  end
end

% SPDX-License-Identifier: BSD-3-Clause
