function sigint_session(rounds)
% The Octave side of test_sigint.sh. Before each of `rounds` long calls it
% prints "ready K"; the script then sends SIGINT, and the call must end with
% its Interrupted. error, after which this function goes on ("ended K ...").
% Last comes "ready term", a long call during which the script sends SIGTERM:
% Octave must exit (with status 1, as it does on SIGTERM) without saving.
  crash_dumps_octave_core(false);
  randn('seed', 3);
  img = 100 + 10 * (repmat(1:512, 512, 1) > 256) + randn(512);
  rss = zeros(1, rounds);
  % Both modules loaded before the first reading: loading one adds its code.
  dyadfit_denoise(magic(8));
  brindel(magic(8));
  for k = 1:rounds
    clear est
    printf('ready %d\n', k);
    fflush(stdout);
    t = tic;
    try
      est = long_call(img, k == rounds);
      msg = '(no error)';
    catch err
      msg = err.message;
    end
    printf('ended %d after %.2f s: %s\n', k, toc(t), msg);
    fflush(stdout);
    expected = {'brindel: Interrupted.', 'dyadfit_denoise: Interrupted.'}{1 + (k == rounds)};
    check(strcmp(msg, expected), sprintf('call %d interrupted', k));
    check(~exist('est', 'var'), sprintf('call %d assigned nothing', k));
    rss(k) = resident_kib();
  end
  % Freed memory may stay with the allocator after the first call, but
  % another interrupted call must not take more.
  growth = rss(end) - rss(1);
  printf('resident memory after each call (MiB): %s; growth %.1f MiB\n', sprintf('%.1f ', rss / 1024), growth / 1024);
  check(growth < 4 * 1024, 'repeated interrupts keep memory');
  % The session goes on as before.
  check(isequal(tessik([0 0; 0 4], 4), ones(2)), 'a call after the interrupts');
  tally = check();
  printf('sigint_session: %d cases, %d failed\n', tally(1), tally(2));
  if tally(2) > 0
    exit(2);
  end
  printf('ready term\n');
  fflush(stdout);
  try
    long_call(img, false);
  catch err
    printf('%s\n', err.message);
  end
  printf('not ended by SIGTERM\n');
  exit(2);
end

% About a minute: each square's split search builds 10^8 candidate lines.
% The last round interrupts the high-level entry, which runs brindel per shift.
function est = long_call(img, denoise)
  if denoise
    est = dyadfit_denoise(img, 'Lines', 1e8, 'Shifts', 8);
  else
    est = brindel(img, [], 'Gaussian', [], [], 1e8);
  end
end

function kib = resident_kib()
  status = fileread('/proc/self/status');
  kib = str2double(regexp(status, 'VmRSS:\s*(\d+)', 'tokens', 'once'){1});
end

% SPDX-License-Identifier: BSD-3-Clause
