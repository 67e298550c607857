function check_installed_commands(prefix)
  % Checks the Sorvik and Tamvel that the path finds, installed under PREFIX
  % by the package or by build_mex: the plug-ins themselves, not the help
  % files, export mexFunction only and use no OpenMP runtime; help finds the
  % help text; the tests in the help files pass; labels match the
  % pixel-by-pixel reference exactly.
  for name = {'Sorvik', 'Tamvel'}
    command = name{1};
    file = which(command);
    assert(strncmp(file, prefix, numel(prefix)) && ~isempty(regexp(file, '\.mex$', 'once')), ...
           '%s resolves to %s, not to a plug-in under %s', command, file, prefix);
    [status, symbols] = system(sprintf('nm -D --defined-only "%s"', file));
    assert(status == 0 && isequal(regexp(symbols, '\S+$', 'match', 'lineanchors'), {'mexFunction'}), ...
           '%s exports more than mexFunction:\n%s', file, symbols);
    [status, dynamic] = system(sprintf('readelf -d "%s"', file));
    assert(status == 0 && isempty(strfind(dynamic, 'gomp')), '%s needs the OpenMP runtime', file);

    text = evalc(['help ' command]);
    assert(~isempty(strfind(text, ['L = ' command '('])), 'help %s lacks the call form', command);
    assert(~isempty(strfind(text, [command ':badParameters'])), 'help %s lacks the errors', command);
    [passed, total] = test(command, 'quiet');
    assert(total >= 10 && passed == total, 'test %s: %d of %d passed', command, passed, total);
  end

  % The settings suggestion travels with the plug-ins, and its tests pass with them.
  [passed, total] = test('edgeseg_settings', 'quiet');
  assert(total >= 5 && passed == total, 'test edgeseg_settings: %d of %d passed', passed, total);

  rand('seed', 11); randn('seed', 11);
  cases = {{rand(8, 6, 2) * 100, [5 900 1e-3 8 2 4]}, {randn(7, 9) * 50, [4 300 0 6 -1 3]}};
  for i = 1:numel(cases)
    [img, p] = deal(cases{i}{:});
    assert(isequal(Sorvik(img, p), sorvik_reference(img, p)), 'case %d differs from the reference', i);
  end
  assert(Tamvel([0 0 9; 0 9 9], zeros(2, 3), [1 0 0 0 5 0 5 2]), [0 0 1; 0 1 1]);
end
