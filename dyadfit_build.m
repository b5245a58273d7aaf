function [folder, sources] = dyadfit_build(folder)
% DYADFIT_BUILD  Build the dyadfit modules with this host's own MEX compiler.
%
%   dyadfit_build
%   dyadfit_build(FOLDER)
%   [FOLDER, SOURCES] = dyadfit_build(...)
%
%   Compiles every module of the checkout (tessik, brindel, quarlo: each
%   mex/*.cc) without CMake, copies their help files (mex/*.m) next to
%   them and prints the addpath line that makes them available. Run it
%   from anywhere; it finds the checkout by its own location.
%
%   FOLDER   where the modules go; created if missing. Default: the folder
%            build-octave (Octave) or build-matlab (MATLAB) in the checkout.
%   SOURCES  the core sources compiled, as CMakeLists.txt lists them in
%            DYADFIT_CORE_SOURCES (the one list CMake builds too).
%
%   Octave compiles with mkoctfile --mex and links Octave's own LAPACK and
%   BLAS. MATLAB compiles with mex -R2018a and links its LAPACK and BLAS
%   (64-bit integers) and libut (Ctrl-C). Either way: C++20, and no
%   floating-point contraction or fast-math, since results are meant to be
%   identical bit for bit across builds.
%
%   Errors (the message starts with "dyadfit_build: ")
%     FOLDER must be a folder name.
%     cannot read FILE                            CMakeLists.txt missing
%     no DYADFIT_CORE_SOURCES list in FILE
%     DYADFIT_CORE_SOURCES names 'X', which is no C++ source file of the checkout.
%     no gateway in DIR                           mex/*.cc missing
%     cannot create FOLDER
%     compiling FILE failed: ...                  the compiler's own output follows
%     linking MODULE failed: ...
%
%   Example
%     cd dyadfit            % the checkout
%     dyadfit_build         % prints e.g. addpath('/home/me/dyadfit/build-octave')
%     addpath(fullfile(pwd, 'build-octave'))
%     help brindel

  root = fileparts(mfilename('fullpath'));
  isOctave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
  if nargin < 1 || isempty(folder)
    if isOctave
      folder = fullfile(root, 'build-octave');
    else
      folder = fullfile(root, 'build-matlab');
    end
  end
  if ~ischar(folder) || size(folder, 1) ~= 1
    error('dyadfit_build:folder', 'dyadfit_build: FOLDER must be a folder name.');
  end

  sources = coreSources(root);
  gateways = dir(fullfile(root, 'mex', '*.cc'));
  if isempty(gateways)
    error('dyadfit_build:gateways', 'dyadfit_build: no gateway in %s', fullfile(root, 'mex'));
  end
  gateways = sort({gateways.name});
  if ~exist(folder, 'dir')
    [ok, message] = mkdir(folder);
    if ~ok
      error('dyadfit_build:folder', 'dyadfit_build: cannot create %s: %s', folder, message);
    end
  end
  folder = absolutePath(folder);

  % Objects live in a scratch folder that goes away however the build ends.
  scratch = tempname();
  mkdir(scratch);
  cleanup = onCleanup(@() removeFolder(scratch, isOctave));

  if isOctave
    compile = @(source, flags) compileOctave(root, scratch, source, flags);
    host = {'-DDYADFIT_HOST_OCTAVE'};
  else
    compile = @(source, flags) compileMatlab(root, scratch, source, flags);
    host = {};
  end
  fprintf('dyadfit_build: compiling %d core sources\n', numel(sources));
  core = cell(size(sources));
  for k = 1:numel(sources)
    core{k} = compile(sources{k}, {});
  end
  if isOctave
    core = {archiveOctave(scratch, core)};
  end
  binding = compile('host/mex_binding.cc', host);
  for k = 1:numel(gateways)
    [~, module] = fileparts(gateways{k});
    fprintf('dyadfit_build: %s\n', module);
    gateway = compile(['mex/' gateways{k}], host);
    % A module of this name still loaded from FOLDER must not be overwritten in place.
    clear(module);
    if isOctave
      linkOctave(folder, module, [{gateway, binding}, core]);
    else
      linkMatlab(folder, module, [{gateway, binding}, core]);
    end
  end

  helpFiles = dir(fullfile(root, 'mex', '*.m'));
  for k = 1:numel(helpFiles)
    copyfile(fullfile(root, 'mex', helpFiles(k).name), fullfile(folder, helpFiles(k).name));
  end
  fprintf('dyadfit_build: the modules are in %s; to use them:\n  addpath(''%s'')\n', folder, folder);
  if nargout == 0
    clear('folder');
  end
end

function sources = coreSources(root)
% The words between 'set(DYADFIT_CORE_SOURCES' and the closing parenthesis
% of CMakeLists.txt, comments dropped.
  file = fullfile(root, 'CMakeLists.txt');
  if ~exist(file, 'file')
    error('dyadfit_build:sources', 'dyadfit_build: cannot read %s', file);
  end
  text = fileread(file);
  start = regexp(text, '^[ \t]*set\(DYADFIT_CORE_SOURCES(?=\s)', 'end', 'once', 'lineanchors');
  if isempty(start)
    error('dyadfit_build:sources', 'dyadfit_build: no DYADFIT_CORE_SOURCES list in %s', file);
  end
  block = regexprep(text(start + 1:end), '#[^\n]*', '');
  close = find(block == ')', 1);
  if isempty(close)
    error('dyadfit_build:sources', 'dyadfit_build: no DYADFIT_CORE_SOURCES list in %s', file);
  end
  sources = regexp(block(1:close - 1), '\S+', 'match');
  if isempty(sources)
    error('dyadfit_build:sources', 'dyadfit_build: no DYADFIT_CORE_SOURCES list in %s', file);
  end
  for k = 1:numel(sources)
    if isempty(regexp(sources{k}, '^[\w/.-]+\.cc$', 'once')) || ~exist(fullfile(root, sources{k}), 'file')
      error('dyadfit_build:sources', ...
            'dyadfit_build: DYADFIT_CORE_SOURCES names ''%s'', which is no C++ source file of the checkout.', ...
            sources{k});
    end
  end
end

function object = compileOctave(root, scratch, source, flags)
  object = objectName(scratch, source, '.o');
  % Results are compared bit for bit: no contraction into FMA, no fast-math.
  args = [{'-c', ['-I' root], '-std=c++20', '-O2', '-ffp-contract=off', '-fno-fast-math', '-DNDEBUG'}, flags, ...
          {fullfile(root, source), '-o', object}];
  [status, output] = runMkoctfile(args);
  if status ~= 0
    error('dyadfit_build:compile', 'dyadfit_build: compiling %s failed:\n%s', source, output);
  end
end

function archive = archiveOctave(scratch, objects)
% The core as a static library, so that the link below can keep its symbols
% inside each module.
  archive = fullfile(scratch, 'libdyadfit_core.a');
  command = [strtrim(mkoctfile('-p', 'AR')) ' rcs "' archive '"' sprintf(' "%s"', objects{:}) ' 2>&1'];
  [status, output] = system(command);
  if status ~= 0
    error('dyadfit_build:link', 'dyadfit_build: archiving the core failed:\n%s', output);
  end
end

function linkOctave(folder, module, objects)
  libs = [strsplit(strtrim(mkoctfile('-p', 'LAPACK_LIBS'))), strsplit(strtrim(mkoctfile('-p', 'BLAS_LIBS')))];
  libs = libs(~cellfun('isempty', libs));
  % Each module keeps its own copy of the core to itself: Octave may load
  % modules into one global symbol scope, where a call of one module would
  % otherwise reach the core, and the interruption state, of another.
  if ~ismac
    libs = [libs, {'-Wl,-Bsymbolic', '-Wl,--exclude-libs,ALL'}];
  end
  args = [{'--mex', '-o', fullfile(folder, [module '.mex'])}, objects, libs, {'-pthread'}];
  [status, output] = runMkoctfile(args);
  if status ~= 0
    error('dyadfit_build:link', 'dyadfit_build: linking %s failed:\n%s', module, output);
  end
end

function [status, output] = runMkoctfile(args)
% As Octave's mkoctfile function, but with the compiler's errors in OUTPUT.
  program = fullfile(feval('__octave_config_info__', 'bindir'), 'mkoctfile');
  command = ['"' program '"' sprintf(' "%s"', args{:}) ' 2>&1'];
  [status, output] = system(command);
end

function object = compileMatlab(root, scratch, source, flags)
  [objdir, name] = fileparts(objectName(scratch, source, ''));
  if ~exist(objdir, 'dir')
    mkdir(objdir);
  end
  % MATLAB's LAPACK and BLAS take 64-bit integers.
  args = [matlabFlags(), {['-I' root], '-DDYADFIT_LAPACK_ILP64', '-DNDEBUG'}, flags, ...
          {'-c', fullfile(root, source), '-outdir', objdir}];
  try
    mex(args{:});
  catch failure
    error('dyadfit_build:compile', 'dyadfit_build: compiling %s failed:\n%s', source, failure.message);
  end
  if ispc
    object = fullfile(objdir, [name '.obj']);
  else
    object = fullfile(objdir, [name '.o']);
  end
end

function linkMatlab(folder, module, objects)
  args = [matlabFlags(), {'-outdir', folder, '-output', module}, objects, {'-lmwlapack', '-lmwblas', '-lut'}];
  try
    mex(args{:});
  catch failure
    error('dyadfit_build:link', 'dyadfit_build: linking %s failed:\n%s', module, failure.message);
  end
end

function flags = matlabFlags()
  % C++20 and no contraction: CXXFLAGS for GCC and Clang, COMPFLAGS for MSVC.
  flags = {'-R2018a', 'CXXFLAGS=$CXXFLAGS -std=c++20 -ffp-contract=off -fno-fast-math -pthread'};
  if ispc
    flags{end + 1} = 'COMPFLAGS=$COMPFLAGS /std:c++20 /fp:precise';
  else
    flags{end + 1} = 'LDFLAGS=$LDFLAGS -pthread';
  end
end

function object = objectName(scratch, source, extension)
% One object per source, in folders that mirror the sources' own.
  [sourceDir, name] = fileparts(source);
  objdir = fullfile(scratch, sourceDir);
  if ~exist(objdir, 'dir')
    mkdir(objdir);
  end
  object = fullfile(objdir, [name extension]);
end

function path = absolutePath(path)
  here = pwd();
  restore = onCleanup(@() cd(here));
  cd(path);
  path = pwd();
end

function removeFolder(folder, isOctave)
  if isOctave
    confirm_recursive_rmdir(false, 'local');
  end
  if exist(folder, 'dir')
    rmdir(folder, 's');
  end
end

% SPDX-License-Identifier: BSD-3-Clause
