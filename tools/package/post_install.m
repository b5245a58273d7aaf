function post_install(desc)
% Moves each module's help file from the package folder to the module's own
% folder: Octave reads a MEX file's help only from the .m file beside it.
  modules = glob(fullfile(desc.archprefix, '*', '*.mex'));
  for k = 1:numel(modules)
    [folder, name] = fileparts(modules{k});
    help_file = fullfile(desc.dir, [name '.m']);
    if exist(help_file, 'file')
      [ok, message] = movefile(help_file, fullfile(folder, [name '.m']));
      if ~ok
        error('dyadfit: cannot move %s beside its module: %s', help_file, message);
      end
    end
  end
end

% SPDX-License-Identifier: BSD-3-Clause
