% dyadfit_build compiles the modules without CMake, from the source list
% CMake uses, and they give the CMake build's bits. Expects cmake_sources
% (CMake's DYADFIT_CORE_SOURCES, relative) and cmake_mex_dir.
check();
root = fileparts(fileparts(fileparts(mfilename('fullpath'))));
confirm_recursive_rmdir(false);
scratch = tempname();
unwind_protect
  folder = fullfile(scratch, 'modules');
  [built, sources] = dyadfit_build(folder);
  check(strcmp(built, folder), 'the folder built into is returned');
  check(isequal(sources, cmake_sources), 'the core sources read from CMakeLists.txt are the ones CMake compiles');
  gateways = dir(fullfile(root, 'mex', '*.cc'));
  for k = 1:numel(gateways)
    [~, module] = fileparts(gateways(k).name);
    check(exist(fullfile(folder, [module '.mex']), 'file') ~= 0, [module ': module built']);
    check(exist(fullfile(folder, [module '.m']), 'file') ~= 0, [module ': help file beside it']);
    check(isempty(strfind(exported_symbols(fullfile(folder, [module '.mex'])), 'dyadfit::interruptionPoint')), ...
          [module ': the core stays inside the module']);
  end

  % The built modules win over the help files beside them and give the
  % same bits as CMake's.
  addpath(folder);
  check(strcmp(which('brindel'), fullfile(folder, 'brindel.mex')), 'the module runs, not its help file');
  check(~isempty(strfind(help('quarlo'), 'QUARLO')), 'help reads the help file');
  ours = module_outputs();
  rmpath(folder);
  clear -f tessik brindel quarlo;
  addpath(cmake_mex_dir);
  check(strcmp(which('quarlo'), fullfile(cmake_mex_dir, 'quarlo.mex')), 'the CMake build is on the path instead');
  check(same_bits(ours, module_outputs()), 'same bits as the CMake build');

  % A checkout whose list is missing or whose source does not compile.
  fake = fullfile(scratch, 'checkout');
  mkdir(fullfile(fake, 'mex'));
  copyfile(fullfile(root, 'dyadfit_build.m'), fake);
  fid = fopen(fullfile(fake, 'CMakeLists.txt'), 'w'); fprintf(fid, 'project(x)\n'); fclose(fid);
  fid = fopen(fullfile(fake, 'broken.cc'), 'w'); fprintf(fid, 'this is no C++;\n'); fclose(fid);
  addpath(fake);
  check(strcmp(which('dyadfit_build'), fullfile(fake, 'dyadfit_build.m')), 'the copy in the fake checkout runs');
  check_error(@() dyadfit_build(fullfile(scratch, 'none')), ...
              ['dyadfit_build: no DYADFIT_CORE_SOURCES list in ' fullfile(fake, 'CMakeLists.txt')], 'no list');
  fid = fopen(fullfile(fake, 'CMakeLists.txt'), 'w'); fprintf(fid, 'set(DYADFIT_CORE_SOURCES  # core\n  missing.cc)\n'); fclose(fid);
  check_error(@() dyadfit_build(fullfile(scratch, 'none')), ...
              'dyadfit_build: DYADFIT_CORE_SOURCES names ''missing.cc'', which is no C++ source file of the checkout.', ...
              'a listed source missing');
  fid = fopen(fullfile(fake, 'CMakeLists.txt'), 'w'); fprintf(fid, 'set(DYADFIT_CORE_SOURCES\n  broken.cc)\n'); fclose(fid);
  check_error(@() dyadfit_build(fullfile(scratch, 'none')), ['dyadfit_build: no gateway in ' fullfile(fake, 'mex')], ...
              'no gateway');
  fid = fopen(fullfile(fake, 'mex', 'm.cc'), 'w'); fprintf(fid, 'int x;\n'); fclose(fid);
  try
    dyadfit_build(fullfile(scratch, 'none'));
    check(false, 'a compiler error is raised');
  catch err
    prefix = sprintf('dyadfit_build: compiling broken.cc failed:\n');
    check(strncmp(err.message, prefix, numel(prefix)), 'the failed source is named');
    check(~isempty(strfind(err.message, 'broken.cc:1')), 'the compiler''s own message follows');
  end
  check_error(@() dyadfit_build(3), 'dyadfit_build: FOLDER must be a folder name.', 'a folder that is no name');
  rmpath(fake);
unwind_protect_cleanup
  if exist(scratch, 'dir')
    rmdir(scratch, 's');
  end
end_unwind_protect
check_done('test_dyadfit_build');

% SPDX-License-Identifier: BSD-3-Clause
