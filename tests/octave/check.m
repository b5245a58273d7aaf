function tally = check(ok, name)
% check(ok, name) records one case; it passes when ok is a non-empty logical
% array that is all true, and a failure prints its name.
% tally = check() returns [cases failures] and starts a new tally.
  persistent cases failures
  if isempty(cases)
    cases = 0;
    failures = 0;
  end
  if nargin == 0
    tally = [cases failures];
    cases = 0;
    failures = 0;
    return;
  end
  cases += 1;
  if ~(islogical(ok) && ~isempty(ok) && all(ok(:)))
    failures += 1;
    printf('FAIL: %s\n', name);
  end
end

% SPDX-License-Identifier: BSD-3-Clause
