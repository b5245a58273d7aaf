function check_error(call, message, name)
% Records a case that passes when call() raises exactly `message`, alone or
% after the "module: " prefix that the host puts before a module's errors.
  try
    call();
    got = '(no error)';
  catch err
    got = err.message;
  end
  tail = [': ' message];
  ok = strcmp(got, message) || (numel(got) > numel(tail) && strcmp(got(end-numel(tail)+1:end), tail));
  if ~ok
    printf('  expected "%s", got "%s"\n', message, got);
  end
  check(ok, name);
end

% SPDX-License-Identifier: BSD-3-Clause
