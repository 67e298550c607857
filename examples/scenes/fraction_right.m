% right = fraction_right(labels, truth)
% The fraction of pixels labelled right, after matching the labels to the
% true classes by the best of every permutation (the classes' numbering is
% arbitrary). Labels outside 0 .. K-1, K the number of true classes, count as
% wrong.
function right = fraction_right(labels, truth)
  K = max(truth(:)) + 1;
  labels = labels(:); truth = truth(:);
  counts = accumarray([min(labels, K) truth] + 1, 1, [K + 1, K]);  % row K + 1: out of range
  orders = perms(1:K);
  right = 0;
  for i = 1:size(orders, 1)
    right = max(right, sum(counts(sub2ind(size(counts), orders(i, :), 1:K))));
  end
  right = right / numel(truth);
end
