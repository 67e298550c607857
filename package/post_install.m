function post_install(desc)
  % Run by pkg install once the files are in place. help reads the help text
  % of a MEX command from the .m file of the same name in the plug-in's own
  % folder, so each help file gets a copy beside its plug-in.
  for command = {'Sorvik', 'Tamvel'}
    plugin = dir(fullfile(desc.archprefix, '*', [command{1} '.mex']));
    if numel(plugin) ~= 1
      error('post_install: no single %s.mex under %s', command{1}, desc.archprefix);
    end
    copyfile(fullfile(desc.dir, [command{1} '.m']), plugin(1).folder);
  end
end
