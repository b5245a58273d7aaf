function test_interrupt()
% A Ctrl-C pending when a module polls (set through the test module
% interrupt_probe) ends the call with the error Interrupted., clears Octave's
% interrupt state so the session goes on, and the next call is unaffected.
  [x, y] = ndgrid(1:32, 1:32);
  img = blocky_image(32, 4) + 20 * (x + 0.7 * y > 30.5);
  calls = {
    'tessik',  @() tessik(img, 2, 2)
    'brindel', @() all_results(@brindel, img)
    'quarlo',  @() all_results(@quarlo, img, [], 'Poisson')
  };
  for k = 1:rows(calls)
    [name, call] = calls{k, :};
    before = call();
    interrupt_probe('pending');
    check_error(call, 'Interrupted.', [name ' stops at a pending interrupt']);
    check(interrupt_probe('state') == 0, [name ' clears the interrupt state']);
    after = call();
    check(isequal(after, before) || (iscell(after) && isequal(after([1 2 4 5]), before([1 2 4 5]))), ...
          [name ' runs as before afterwards']);
  end
  % A Ctrl-C that Octave's own unique notices, inside a call back into the host.
  check_error(@() interrupt_probe('unique'), 'Interrupted.', 'interrupt seen by the host''s unique');
  check(interrupt_probe('state') == 0, 'interrupt state cleared after the host''s unique');
  check(isequal(tessik([0 0; 0 4], 4), ones(2)), 'the session goes on');
  clear tessik brindel quarlo interrupt_probe
  check_done('test_interrupt');
end

% SPDX-License-Identifier: BSD-3-Clause
