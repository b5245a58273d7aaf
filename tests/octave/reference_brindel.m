function [r1, r2, r4, r5] = reference_brindel(img, sh, noiseType, penConst, penWedge, K)
% [r1, r2, r4, r5] = reference_brindel(img, sh, noiseType, penConst, penWedge, K)
% A plain transcription of the wedgelet estimator, kept slow and literal,
% against which module brindel is held bit for bit. Every sum runs element by
% element in the module's order. K is the resolution itself (brindel takes
% K^2). The label maps (results 3 and 6) come from the C library's rand and
% are left out.
  g = double(img).';          % Grid element [i][j] is image(row j, column i)
  [M, N] = size(g);           % outer and inner extents
  poisson = strcmp(noiseType, 'Poisson');
  pen = (2 * penConst) / 3;
  pre = block_average(g, sh);
  [est1, sq1] = prune(pre, pen, poisson);
  [est2, sq2] = prune(cyclic_shift(pre, sh), pen, poisson);
  back = cyclic_shift(est2, -sh);
  avg = (est1 + back) / 2;
  stacked = zeros(2 * M * N, 3);
  for k = 1:M * N
    stacked(k, :) = sq1(k, :);
    stacked(M * N + k, :) = [floor_mod(sq2(k, 1) - sh, M), floor_mod(sq2(k, 2) - sh, N), sq2(k, 3)];
  end
  r4 = unique(stacked, 'rows');
  r1 = refine(g, avg, r4, penConst, penWedge, sh, poisson, K).';
  r2 = avg.';
  r5 = back.';
end

function r = floor_mod(a, b)
  q = a / b;
  r = fix((q - floor(q)) * b);
end

function dst = block_average(src, s)
  dst = src;
  for r0 = 0:s:rows(src) - 1
    for c0 = 0:s:columns(src) - 1
      total = 0;
      for u = 1:s
        for v = 1:s
          total = total + src(r0 + u, c0 + v);
        end
      end
      dst(r0 + (1:s), c0 + (1:s)) = (total / s) / s;
    end
  end
end

function dst = cyclic_shift(src, offset)
  [M, N] = size(src);
  dst = src;
  for i = 0:M - 1
    for j = 0:N - 1
      dst(i + 1, j + 1) = src(floor_mod(i - offset, M) + 1, floor_mod(j - offset, N) + 1);
    end
  end
end

function y = c_log(x)
  % the C library's log: not a number below 0
  if x < 0
    y = NaN;
  else
    y = log(x);
  end
end

function t = score_term(x, mu, poisson)
  if ~poisson
    t = -(x - mu)^2;
  elseif mu == 0 && x == 0
    t = 0;
  else
    t = x * c_log(mu) - mu;
  end
end

function [est, squares] = prune(data, pen, poisson)
  % Bottom-up dyadic pruning; squares(i*N + j + 1, :) = (top, left, side) of [i][j].
  [M, N] = size(data);
  est = data;
  share = ones(M, N);
  side = ones(M, N);
  [top, left] = ndgrid(0:M - 1, 0:N - 1);
  for level = 1:fix(floor(log(min(M, N)) / log(2.0)))
    s = fix(2.0^level);
    for a = 0:s:M - 1
      for b = 0:s:N - 1
        mu = 0;
        for u = 1:s
          for v = 1:s
            mu = mu + (data(a + u, b + v) / s) / s;
          end
        end
        merged = 0;
        current = 0;
        for u = 1:s
          for v = 1:s
            x = data(a + u, b + v);
            merged = merged + (score_term(x, mu, poisson) - (pen / s) / s);
            current = current + (score_term(x, est(a + u, b + v), poisson) - share(a + u, b + v) * pen);
          end
        end
        if current <= merged
          rr = a + (1:s);
          cc = b + (1:s);
          est(rr, cc) = mu;
          share(rr, cc) = (1 / s) / s;
          side(rr, cc) = s;
          top(rr, cc) = a;
          left(rr, cc) = b;
        end
      end
    end
  end
  squares = [reshape(top.', [], 1), reshape(left.', [], 1), reshape(side.', [], 1)];
end

function mask = wedge_mask(offset, angle, n)
  p = 3.141592653589793;
  theta = p * angle / 180;
  e = rem(angle, 90);
  if e >= 45
    e = 90 - e;
  end
  alpha = p * e / 180;
  c = cos(alpha);
  s = sin(alpha);
  ct = cos(theta);
  st = sin(theta);
  t1 = -0.5 * (c + s);
  t2 = -0.5 * (c - s);
  t3 = 0.5 * (c - s);
  t4 = 0.5 * (c + s);
  mask = zeros(n);
  for i = 0:n - 1
    for j = 0:n - 1
      x = fix(-n / 2) - 0.5 + (i + 1);
      y = fix(n / 2) + 0.5 - (j + 1);
      d = offset - x * ct - y * st;
      if t1 > d
        v = 0;
      elseif d < t2
        v = (d * d + d * (c + s) + 0.25) / (2 * c * s) + 0.25;
      elseif d < t3
        v = d / c + 0.5;
      elseif d < t4
        v = 0.75 - tan(alpha) / 4 - 1 / (4 * tan(alpha)) + (-(d * d) + d * (c + s) + 0.25) / (2 * c * s);
      else
        v = 1;
      end
      mask(i + 1, j + 1) = double(v > 0.5);
    end
  end
end

function cost = region_cost(data, model, poisson)
  cost = 0;
  for i = 1:rows(data)
    for j = 1:columns(data)
      lambda = model(i, j);
      x = data(i, j);
      if ~poisson
        cost = cost + (lambda - x)^2;
      elseif ~(lambda == 0 && x == 0)
        cost = (cost + lambda) - x * c_log(lambda);
      end
    end
  end
end

function [bestFit, found] = wedgelet_search(block, K, poisson)
  % Best of K offsets x K angles; found is false when no cost beats 1e12.
  n = rows(block);
  best = 1e12;
  bestFit = [];
  found = false;
  for k = 0:K - 1
    for l = 0:K - 1
      mask = wedge_mask(((n / sqrt(2.0)) * k) / (K + 1), (360 * l) / (K + 1), n);
      S1 = 0;
      S0 = 0;
      C = 0;
      for i = 1:n
        for j = 1:n
          S1 = S1 + block(i, j) * mask(i, j);
          S0 = S0 + block(i, j) * (1 - mask(i, j));
          C = C + mask(i, j);
        end
      end
      m1 = S1;
      if C ~= 0
        m1 = S1 / C;
      end
      m0 = S0;
      if C ~= n * n
        m0 = S0 / (n * n - C);
      end
      fit = m1 * mask + m0 * (1 - mask);
      cost = region_cost(block, fit, poisson);
      if best > cost
        best = cost;
        bestFit = fit;
        found = true;
      end
    end
  end
end

function est = refine(g, est, squares, penConst, penWedge, h, poisson, K)
  for q = 1:rows(squares)
    if squares(q, 3) ~= h
      continue;
    end
    rr = fix(squares(q, 1)) + (1:h);
    cc = fix(squares(q, 2)) + (1:h);
    block = g(rr, cc);
    c = 0;
    for i = 1:h
      for j = 1:h
        c = c + block(i, j) / h / h;
      end
    end
    constFit = repmat(c, h, h);
    [wedgeFit, found] = wedgelet_search(block, K, poisson);
    if ~found || region_cost(block, wedgeFit, poisson) + 2 * penWedge > region_cost(block, constFit, poisson) + penConst
      est(rr, cc) = c;
    else
      est(rr, cc) = wedgeFit;
    end
  end
end

% SPDX-License-Identifier: BSD-3-Clause
