% The modules against their literal stages, bit for bit, on the
% demonstration's own images (same phantom, same seeds), inside Octave.
check();
n = 256;
P = dyadfit_phantom(n);
lnX = log(n * n);
rand('state', 2718);
randn('state', 3141);
noisy = 10 * P + randn(n);
lambda = 30 * P;
counts = zeros(n);
limit = exp(-lambda);
p = rand(n);
active = p > limit;
while any(active(:))
  counts(active) += 1;
  p(active) = p(active) .* rand(nnz(active), 1);
  active = p > limit;
end

same = @(a, b) isequal(size(a), size(b)) && isequal(typecast(a(:), 'uint64'), typecast(b(:), 'uint64'));
% Labels come from the C library's rand sequence: compare the other results.
cases = {'tessik', {noisy, lnX / 3}, [1 3]; ...
         'tessik', {2 * sqrt(counts + 3/8), lnX / 3}, [1 3]; ...
         'brindel', {noisy}, [1 2 4 5]; ...
         'brindel', {counts, [], 'Poisson'}, [1 2 4 5]; ...
         'quarlo', {noisy}, [1 2 4 5]; ...
         'quarlo', {counts, [], 'Poisson'}, [1 2 4 5]};
for k = 1:rows(cases)
  [name, args, compared] = cases{k, :};
  outputs = max(compared);
  fast = cell(1, outputs);
  literal = cell(1, outputs);
  [fast{:}] = feval(name, args{:});
  [literal{:}] = feval([name '_reference'], args{:});
  for r = compared
    check(same(fast{r}, literal{r}), sprintf('%s case %d: result %d equals the literal stages', name, k, r));
  end
end
check_done('test_demo_parity');

% SPDX-License-Identifier: BSD-3-Clause
