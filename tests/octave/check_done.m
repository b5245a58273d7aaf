function check_done(script)
% Prints the tally of the finished script and exits with status 1 when a case failed.
  tally = check();
  printf('%s: %d cases, %d failed\n', script, tally(1), tally(2));
  if tally(2) > 0
    exit(1);
  end
end

% SPDX-License-Identifier: BSD-3-Clause
