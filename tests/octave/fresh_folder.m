% FRESH_FOLDER  The folder WORK_DIR names, emptied: removed with everything in
% it and made anew.
function work = fresh_folder()
  work = getenv('WORK_DIR');
  confirm_recursive_rmdir(false);
  if exist(work, 'dir')
    rmdir(work, 's');
  end
  mkdir(work);
end
