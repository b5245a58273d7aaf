function ok = same_bits(a, b)
% True when two cell rows of double arrays hold the same sizes and bits.
  ok = iscell(a) && iscell(b) && isequal(size(a), size(b));
  for k = 1:numel(a)
    ok = ok && isequal(size(a{k}), size(b{k})) && ...
         isequal(typecast(a{k}(:), 'uint64'), typecast(b{k}(:), 'uint64'));
  end
end

% SPDX-License-Identifier: BSD-3-Clause
