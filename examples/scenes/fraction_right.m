% right = fraction_right(labels, truth)
% [right, matched] = fraction_right(labels, truth)
% The fraction of pixels labelled right, after matching the labels to the
% true classes by the best of every permutation (the classes' numbering is
% arbitrary). Labels outside 0 .. K-1, K the number of true classes, count as
% wrong. MATCHED is LABELS renamed to the classes they were matched to, so
% that pictures of several results show each class in one colour.
function [right, matched] = fraction_right(labels, truth)
  K = max(truth(:)) + 1;
  counts = accumarray([min(labels(:), K) truth(:)] + 1, 1, [K + 1, K]);  % row K + 1: out of range
  orders = perms(1:K);
  right = -1;
  for i = 1:size(orders, 1)
    % orders(i, :) lists, for each true class, the label matched to it.
    here = sum(counts(sub2ind(size(counts), orders(i, :), 1:K)));
    if here > right
      right = here; best = orders(i, :);
    end
  end
  right = right / numel(truth);
  if nargout > 1
    class_of = K:K + max(labels(:));   % labels matched to no class keep indices past K - 1
    class_of(best) = 0:K - 1;
    matched = reshape(class_of(labels(:) + 1), size(labels));
  end
end
