% build_mex  Build the Sorvik and Tamvel plug-ins with this host's mex command and add them to the path.
%
%   build_mex
%   build_mex(OUT_DIR)
%   build_mex(OUT_DIR, CIMG_DIR)
%   OUT_DIR = build_mex(...)
%
%   Compiles both plug-ins from the C++ sources beside this file with the
%   host's own mex command (in Octave, mkoctfile --mex), writes them with
%   their help files Sorvik.m and Tamvel.m into OUT_DIR (default: the
%   folder build-mex beside this file) and adds OUT_DIR to the path, so
%   that Sorvik, Tamvel, help Sorvik and help Tamvel work at once. Add
%   OUT_DIR to the path again in later sessions (addpath or savepath).
%
%   The same script serves Octave and MATLAB. The code is C++17 for GCC or
%   Clang on Linux and is built optimised (-O3), without fused
%   multiply-add contraction (-ffp-contract=off; the labels depend on every
%   rounding step, so they would otherwise differ between builds) and
%   without OpenMP (every call runs on the caller's thread). In Octave each
%   plug-in exports mexFunction only; MATLAB's mex does that by itself.
%
%   The image library is the header-only CImg: CImg.h must be on the
%   compiler's include path (Debian and Ubuntu: apt install cimg-dev), or in
%   the folder CIMG_DIR.
%
%   Example:
%     cd path/to/the/sources
%     build_mex
%     help Sorvik

function out_dir = build_mex(out_dir, cimg_dir)
  root = fileparts(mfilename('fullpath'));
  if nargin < 1 || isempty(out_dir)
    out_dir = fullfile(root, 'build-mex');
  end
  includes = {['-I' root], ['-I' fullfile(root, 'include')]};
  if nargin >= 2 && ~isempty(cimg_dir)
    includes{end + 1} = ['-I' cimg_dir];
  end
  if ~exist(out_dir, 'dir')
    mkdir(out_dir);
  end
  out_dir = absolute_path(out_dir);

  % Every source of a folder, so that a new file cannot be left out; each
  % command's entry point, and the API's files named after it, go into its
  % own plug-in only.
  api = sources(root, 'api');
  for_sorvik = ~cellfun(@isempty, regexp(api, '[\\/]sorvik[^\\/]*$', 'once'));
  for_tamvel = ~cellfun(@isempty, regexp(api, '[\\/]tamvel[^\\/]*$', 'once'));
  shared = [sources(root, 'boundary'), sources(root, 'core'), api(~for_sorvik & ~for_tamvel)];
  sorvik = [{fullfile(root, 'boundary', 'sorvik_mex.cpp')}, shared, api(for_sorvik), sources(root, 'sorvik')];
  tamvel = [{fullfile(root, 'boundary', 'tamvel_mex.cpp')}, shared, api(for_tamvel), sources(root, 'tamvel')];

  if exist('OCTAVE_VERSION', 'builtin')
    build_in_octave(root, out_dir, includes, {'Sorvik', 'Tamvel'}, {sorvik, tamvel});
  else
    % MATLAB: the separate-complex API (the data of a complex array are its
    % real parts), C++17, -O3 and no contraction. Its mex exports
    % mexFunction only.
    flags = {'-R2017b', 'CXXFLAGS=$CXXFLAGS -std=c++17 -ffp-contract=off', 'CXXOPTIMFLAGS=-O3 -fno-math-errno -DNDEBUG'};
    % libut holds the interrupt query that lets Ctrl-C stop a call.
    mex(flags{:}, includes{:}, '-outdir', out_dir, '-output', 'Sorvik', sorvik{:}, '-lut');
    mex(flags{:}, includes{:}, '-outdir', out_dir, '-output', 'Tamvel', tamvel{:}, '-lut');
  end

  % The help text sits beside the plug-in, where help looks for it; in the
  % same folder the plug-in takes precedence when the command is called.
  copyfile(fullfile(root, 'mex', 'Sorvik.m'), out_dir);
  copyfile(fullfile(root, 'mex', 'Tamvel.m'), out_dir);
  copyfile(fullfile(root, 'mex', 'edgeseg_settings.m'), out_dir);
  addpath(out_dir);
  fprintf('build_mex: Sorvik and Tamvel built in %s and added to the path\n', out_dir);
  if nargout == 0
    clear out_dir;
  end
end

function build_in_octave(root, out_dir, includes, names, source_lists)
  % mkoctfile reads its flags from the environment; they are restored when
  % this function returns. Its extra flags carry -fopenmp, which would make
  % the image library spread work over threads: it is taken out, and
  % -fno-openmp after it keeps it off in any case.
  old_flags = {getenv('CXXFLAGS'), getenv('XTRA_CXXFLAGS')};
  restore = onCleanup(@() restore_environment({'CXXFLAGS', 'XTRA_CXXFLAGS'}, old_flags));
  extra = strtrim(regexprep(mkoctfile('-p', 'XTRA_CXXFLAGS'), '(^|\s)-fopenmp(?=\s|$)', ' '));
  if isempty(extra)
    extra = '-pthread';  % an empty value would bring back mkoctfile's default
  end
  setenv('CXXFLAGS', '-std=c++17 -O3 -fno-math-errno -ffp-contract=off -fno-openmp');
  setenv('XTRA_CXXFLAGS', extra);
  exports = {};
  if isunix() && ~ismac()
    exports = {['-Wl,--version-script=' fullfile(root, 'cmake', 'mexFunction.map')]};
  end

  % Each folder's sources are compiled once, as one translation unit that
  % includes them all, into a fresh folder removed afterwards, and the
  % objects both plug-ins share are linked into both. Parsing the image
  % library's header is most of what a source costs to compile, so one unit
  % a folder pays it 5 times instead of 30; the flags are the same.
  object_dir = tempname();
  mkdir(object_dir);
  remove = onCleanup(@() remove_folder(object_dir));
  compiled = containers.Map();
  for i = 1:numel(names)
    units = folder_units(object_dir, source_lists{i});
    objects = cell(size(units));
    for j = 1:numel(units)
      unit = units{j};
      if ~isKey(compiled, unit)
        [~, name] = fileparts(unit);
        compiled(unit) = fullfile(object_dir, [name '.o']);
        mex('-c', includes{:}, unit, '-o', compiled(unit));
      end
      objects{j} = compiled(unit);
    end
    mex('-o', fullfile(out_dir, [names{i} '.mex']), objects{:}, exports{:});
  end
end

function units = folder_units(object_dir, files)
  % The entry points, and the API's files that serve one command only, stay
  % units of their own; the other sources become one unit per folder,
  % <folder>_all.cpp in OBJECT_DIR, written once and shared by both plug-ins.
  own_unit = @(f) ~isempty(regexp(f, '_mex\.cpp$', 'once')) || ...
                  ~isempty(regexp(f, '[\\/]api[\\/](sorvik|tamvel)[^\\/]*$', 'once'));
  units = {};
  folders = {};
  for i = 1:numel(files)
    [source_dir, ~] = fileparts(files{i});
    [~, folder] = fileparts(source_dir);
    if own_unit(files{i})
      units{end + 1} = files{i};
    elseif ~any(strcmp(folders, folder))
      folders{end + 1} = folder;
      unit = fullfile(object_dir, [folder '_all.cpp']);
      if ~exist(unit, 'file')
        members = files(cellfun(@(f) strcmp(fileparts(f), source_dir) && ~own_unit(f), files));
        fid = fopen(unit, 'w');
        fprintf(fid, '#include "%s"\n', members{:});
        fclose(fid);
      end
      units{end + 1} = unit;
    end
  end
end

function files = sources(root, folder)
  % The folder's C++ sources, without the commands' entry points.
  listing = dir(fullfile(root, folder, '*.cpp'));
  names = sort({listing.name});
  names = names(cellfun(@isempty, regexp(names, '_mex\.cpp$', 'once')));
  files = cellfun(@(name) fullfile(root, folder, name), names, 'UniformOutput', false);
end

function restore_environment(names, values)
  for i = 1:numel(names)
    if isempty(values{i})
      unsetenv(names{i});
    else
      setenv(names{i}, values{i});
    end
  end
end

function remove_folder(folder)
  confirm_recursive_rmdir(false, 'local');  % Octave would ask first
  rmdir(folder, 's');
end

function path = absolute_path(path)
  % The folder's full name, as addpath and the mex command need it.
  old = cd(path);
  path = pwd();
  cd(old);
end
