function L = sorvik_reference(img, p)
  % Pixel-by-pixel Sorvik in Octave, written from the documented rules, for
  % small images: the plug-in must reproduce its labels exactly.
  w = fix(single(p(1))); lambda = double(single(p(2))); tau = double(single(p(3)));
  N = fix(single(p(4))); T = fix(single(p(5))); K = fix(single(p(6)));
  x = single(img);
  if ndims(x) == 3  % rows x columns x channels: a single slice
    x = reshape(x, size(x, 1), size(x, 2), 1, size(x, 3));
  end
  [H, W, D, S] = size(x);
  lo = idivide(int32(-w), int32(2), 'fix'); hi = idivide(int32(w + 1), int32(2), 'fix');
  lo = double(lo); hi = double(hi);
  C = zeros(K, S, 'single');
  for c = 1:S
    v = x(:, :, :, c); v = double(v(isfinite(v)));
    if isempty(v), continue; end
    m = min(v); M = max(v);
    for j = 1:K
      C(j, c) = single(((M - m) / (K + 1)) * j + m);
    end
  end
  L = zeros(H, W, D);
  E = single(1e13);
  for it = 0:N - 1
    Eprev = E; E = single(0);
    edge = it > T && lo < hi;
    for z = 1:D
      for y = 1:H
        for xx = 1:W
          best = realmax("single"); won = false;
          for k = 0:K - 1
            d = 0;
            for c = 1:S
              d = d + (double(x(y, xx, z, c)) - double(C(k + 1, c)))^2;
            end
            n = 0;
            if edge
              for dy = lo:hi - 1
                for dx = lo:hi - 1
                  if 4 * (dx^2 + dy^2) < w^2
                    n = n + (L(mirror(y - 1 + dy, H) + 1, mirror(xx - 1 + dx, W) + 1, z) ~= k);
                  end
                end
              end
            end
            cost = d + lambda * n;
            if cost < double(best)
              best = single(cost); L(y, xx, z) = k; won = true;
            end
          end
          if won, E = E + best; else, E = E + single(1e8); end
        end
      end
    end
    % Sums run in raster order (x fastest), as the plug-in's do.
    P = reshape(double(permute(x, [2 1 3 4])), [], S);
    Lr = reshape(permute(L, [2 1 3]), [], 1);
    for k = 0:K - 1
      members = Lr == k & all(isfinite(P), 2);
      for c = 1:S
        s = 0;
        for i = find(members)'
          s = s + P(i, c);
        end
        C(k + 1, c) = single(s / (nnz(members) + 1e-9));
      end
    end
    if it > T && tau * double(Eprev) > (double(E) - double(Eprev))^2
      break;
    end
  end
end

function m = mirror(v, n)
  if n <= 1, m = 0; return; end
  period = 2 * n - 2;
  m = mod(v, period);
  if m >= n, m = period - m; end
end
