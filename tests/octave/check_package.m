function check_package(tarball, prefix, cmake_mex_dir)
% Installs the package TARBALL under PREFIX alone (the user's own package
% lists and folders are left alone) and runs its tests with pkg test; the
% installed modules must win over their help files and give the bits of
% the modules CMake built in CMAKE_MEX_DIR. Exits with status 1 on a failure.
  check();
  pkg('prefix', fullfile(prefix, 'share'), fullfile(prefix, 'lib'));
  pkg('local_list', fullfile(prefix, 'octave_packages'));
  pkg('global_list', fullfile(prefix, 'global_packages'));
  pkg('install', '-local', tarball);
  pkg('load', 'dyadfit');
  installed = pkg('list', 'dyadfit');
  check(numel(installed) == 1 && strncmp(installed{1}.dir, prefix, numel(prefix)), 'installed under the prefix');

  modules = glob(fullfile(installed{1}.archprefix, '*', '*.mex'));
  check(numel(modules) >= 3, 'the modules are installed');
  for k = 1:numel(modules)
    [~, name] = fileparts(modules{k});
    check(strcmp(which(name), modules{k}), [name ': the module runs, not its help file']);
    check(exist(fullfile(fileparts(modules{k}), [name '.m']), 'file') ~= 0, [name ': help file beside the module']);
    check(~isempty(strfind(help(name), upper(name))), [name ': help reads the help file']);
    check(isempty(strfind(exported_symbols(modules{k}), 'dyadfit::interruptionPoint')), ...
          [name ': the core stays inside the module']);
  end
  ours = module_outputs();

  out = evalc('pkg test dyadfit');
  printf('%s', out);
  summary = regexp(out, 'Summary:(.*)$', 'tokens', 'once');
  passed = regexp([summary{:}], 'PASS\s+(\d+)', 'tokens', 'once');
  failed = regexp([summary{:}], 'FAIL\s+(\d+)', 'tokens', 'once');
  check(~isempty(passed) && str2double(passed{1}) > 0, 'pkg test ran tests');
  check(~isempty(failed) && str2double(failed{1}) == 0, 'pkg test: no test failed');
  for name = {'tessik', 'brindel', 'quarlo'}
    counts = regexp(out, ['[/\\]' name{1} '\.m\s+pass\s+(\d+)/(\d+)'], 'tokens', 'once');
    check(~isempty(counts) && str2double(counts{1}) == str2double(counts{2}) && str2double(counts{2}) >= 10, ...
          ['pkg test ran and passed the tests of ' name{1}]);
  end
  if exist('fntests.log', 'file') && (isempty(failed) || str2double(failed{1}) ~= 0)
    type('fntests.log');
  end

  pkg('unload', 'dyadfit');
  clear -f tessik brindel quarlo;
  addpath(cmake_mex_dir);
  check(strcmp(which('brindel'), fullfile(cmake_mex_dir, 'brindel.mex')), 'the CMake build is on the path instead');
  check(same_bits(ours, module_outputs()), 'the installed modules give the bits of the CMake build');
  check_done('check_package');
end

% SPDX-License-Identifier: BSD-3-Clause
