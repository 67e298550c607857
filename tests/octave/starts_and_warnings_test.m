% Starting centres and the warnings of a run's end in the real host: the
% spread's own centres change no label, the suggested centres fill every
% class of an anti-correlated pair, the warnings carry their identifiers
% and warning('off', id) silences them, and bad centres are refused.
1;

function id = last_warning_after(varargin)
  lastwarn('', '');
  Sorvik(varargin{:});
  [~, id] = lastwarn();
end

function expect_error(identifier, command, varargin)
  try
    command(varargin{:});
  catch err
    assert(err.identifier, identifier);
    return;
  end
  error('expected error %s, but the call succeeded', identifier);
end

addpath(getenv('MEX_DIR'));
data = getenv('DATA_DIR');
[index, map] = imread(fullfile(data, 'BrainProtonDensitySlice.png'));
pd = 255 * map(double(index) + 1, 1);
fid = fopen(fullfile(data, 'BrainProtonDensity3Slices.raw'));
volume = permute(reshape(fread(fid, Inf, 'uint8=>double'), 181, 217, 3), [2 1 3]);
fclose(fid);
brain = volume(:, :, 1);

%% The spread's own centres give the same labels, for both commands.
quiet = {'Sorvik:notConverged', 'Tamvel:emptyClass', 'Tamvel:notConverged'};
cellfun(@(id) warning('off', id), quiet);
p = [5 40 1e-4 30 4 3];
[~, start] = Sorvik(pd, [p(1:3) 0 p(5:6)]);
assert(isequal(Sorvik(pd, p, 'centres', start.centres), Sorvik(pd, p)));
q = [1 1e-4 10000 5 30 2 4 3];
[~, start] = Tamvel(pd, 255 - pd, [q(1:4) 0 q(6:8)]);
assert(isequal(Tamvel(pd, 255 - pd, q, 'centres', start.centres, 'secondary_centres', start.secondary_centres), ...
               Tamvel(pd, 255 - pd, q)));

cellfun(@(id) warning('on', id), quiet(1:2));

%% An anti-correlated pair empties its outer classes, unless it starts from the suggestion.
q = [1 1e-4 10000 5 30 2 4 4];
lastwarn('', '');
L = Tamvel(pd, 255 - pd, q);
[message, id] = lastwarn();
assert(id, 'Tamvel:emptyClass');
assert(~isempty(strfind(message, 'classes 0 and 3 of 4')));
assert(~any(L(:) == 0) && ~any(L(:) == 3));
[s, est] = edgeseg_settings(pd, 255 - pd, 4);
lastwarn('', '');
L = Tamvel(pd, 255 - pd, q, 'centres', est.suggested_centres, 'secondary_centres', est.suggested_secondary_centres);
[~, id] = lastwarn();
assert(isempty(id));
assert(all(ismember(0:3, L(:))));

%% A run stopped by the limit warns; one that converges, or runs fixed-length, does not.
[s, est] = edgeseg_settings(brain, 5);
assert(last_warning_after(brain, s, 'centres', est.suggested_centres), 'Sorvik:notConverged');
s.max_iterations = 60;
assert(isempty(last_warning_after(brain, s, 'centres', est.suggested_centres)));
s.max_iterations = 30;
s.tolerance = 0;
assert(isempty(last_warning_after(brain, s, 'centres', est.suggested_centres)));
s.tolerance = 1e-4;
s.last_plain_iteration = 29;
assert(isempty(last_warning_after(brain, s, 'centres', est.suggested_centres)));
s.last_plain_iteration = 4;
warning('off', 'Sorvik:notConverged');
assert(isempty(last_warning_after(brain, s, 'centres', est.suggested_centres)));
warning('on', 'Sorvik:notConverged');

%% Bad centres are refused.
p = [3 1 1e-4 10 2 3];
expect_error('Sorvik:badCentres', @Sorvik, magic(6), p, 'centres', [1 2 3]);
expect_error('Sorvik:badCentres', @Sorvik, magic(6), p, 'centres', [1; NaN; 3]);
expect_error('Sorvik:badCentres', @Sorvik, magic(6), p, 'centres', {1, 2, 3});
expect_error('Sorvik:badCentres', @Sorvik, magic(6), p, 'centres', [1; 2]);
expect_error('Sorvik:badOption', @Sorvik, magic(6), p, 'secondary_centres', [1; 2; 3]);
expect_error('Tamvel:badCentres', @Tamvel, magic(6), magic(6), [1 1e-4 100 3 10 2 2 3], ...
             'secondary_centres', ones(3, 2));
assert(isequal(Sorvik(magic(6), p, 'centres', []), Sorvik(magic(6), p)));
disp('starts and warnings: all passed');
