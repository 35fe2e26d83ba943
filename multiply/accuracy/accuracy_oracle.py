"""Independent model of the accuracy check's sample and references, for tests.

  sample N         prints min(N, 64), the sampled rows, then row col of each point
  fixture N SEED   writes to stdout as float64: A and B (float32 values, N x N,
                   row-major), A@B, |A|@|B|, then per sampled point its exactly
                   rounded dot product and sum of |products|
  measures N SEED  writes to stdout as float64: A and B as for fixture, then an
                   output C (float32 values: the product with a relative error
                   that differs by row and column), then the sampled-row and
                   point measures of C: rows_rel, row_p50, row_p99, row_max,
                   points_rel, points_maxabs, point_scaled_max
"""
import math
import sys

MASK = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15


def mix(z):
    z &= MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def sample_rows(n):
    rows = min(n, 64)
    out = [i * n // rows + ((i + 1) * n // rows - i * n // rows) // 2 for i in range(rows)]
    if n >= 64:
        for slot, value in ((0, 0), (16, n // 4), (31, n // 2 - 1), (32, n // 2),
                            (48, 3 * n // 4), (63, n - 1)):
            out[slot] = value
    return out


def sample_points(n):
    cap = min(n * n, 1024)
    pts, seen = [], set()

    def add(r, c):
        if r < n and c < n and (r, c) not in seen and len(pts) < cap:
            seen.add((r, c))
            pts.append((r, c))

    special = [0, n - 1, n // 2, n // 4, 3 * n // 4] + ([1, n - 2, n // 2 - 1] if n > 1 else [])
    special += [v for v in (511, 512, 1023, 1024, 2047, 2048) if v < n]
    for r in special:
        for c in special:
            add(r, c)
    if n > 32:
        s, q, h = 0x81725771C30D6144, 0, n // 2
        while len(pts) < 1024:
            cols = (0, h) if q % 2 == 0 else (h, n)
            rows = (0, h) if q < 2 else (h, n)
            c = cols[0] + mix(s + GAMMA) % (cols[1] - cols[0])
            r = rows[0] + mix(s + 2 * GAMMA) % (rows[1] - rows[0])
            s = (s + 2 * GAMMA) & MASK
            add(r, c)
            q = (q + 1) % 4
    else:
        for i in range(n * n):
            add(i // n, i % n)
    return pts


def inputs(n, seed):
    import numpy as np  # only here: the sample model starts faster without it
    rng = np.random.default_rng(seed)
    # Mixed magnitudes and signs so that cancellation actually happens.
    return [(rng.standard_normal((n, n)) * np.exp2(rng.integers(-6, 7, (n, n))))
            .astype(np.float32).astype(np.float64) for _ in range(2)]


def exact_product(a, b, r, c):
    return math.fsum(a[r, :] * b[:, c])  # float32 x float32 products are exact in float64


def rel(d, r):
    if not (math.isfinite(d) and math.isfinite(r)):
        return math.inf
    if r > 0:
        return math.sqrt(d / r)
    return 0.0 if d == 0 else math.inf


def percentiles(values):
    s = sorted(values)
    c = len(s)
    if c == 0:
        return [math.inf] * 3
    p50 = s[c // 2] if c % 2 else (s[c // 2 - 1] + s[c // 2]) / 2
    return [p50, s[99 * (c + 1) // 100 - 1], s[-1]]


def measures(n, seed):
    import numpy as np
    a, b = inputs(n, seed)
    rows, cols = np.arange(n)[:, None], np.arange(n)[None, :]
    # Relative errors of 1e-5 to 1.1e-4 that change with the row, with a
    # column pattern of both signs and some exact columns.
    delta = (1 + (rows * 37) % 11) * 1e-5 * (((cols * 13) % 5) - 2) / 2
    out = (np.array([[exact_product(a, b, r, c) for c in range(n)] for r in range(n)]) * (1 + delta))
    out = out.astype(np.float32).astype(np.float64)
    row_errors, dd_all, rr_all = [], [], []
    for r in sample_rows(n):
        exact = [exact_product(a, b, r, c) for c in range(n)]
        dd = math.fsum((out[r, c] - exact[c]) ** 2 for c in range(n))
        rr = math.fsum(x * x for x in exact)
        row_errors.append(rel(dd, rr))
        dd_all.append(dd)
        rr_all.append(rr)
    pd, pr, maxabs, scaled = [], [], 0.0, 0.0
    for r, c in sample_points(n):
        f = exact_product(a, b, r, c)
        s = math.fsum(np.abs(a[r, :] * b[:, c]))
        e = out[r, c] - f
        pd.append(e * e)
        pr.append(f * f)
        maxabs = max(maxabs, abs(e))
        scaled = max(scaled, abs(e) / s if s > 0 else (0.0 if e == 0 else math.inf))
    values = [rel(math.fsum(dd_all), math.fsum(rr_all))] + percentiles(row_errors)
    values += [rel(math.fsum(pd), math.fsum(pr)), maxabs, scaled]
    sys.stdout.buffer.write(np.concatenate([a.ravel(), b.ravel(), out.ravel(), np.array(values)]).tobytes())


def fixture(n, seed):
    import numpy as np
    a, b = inputs(n, seed)
    pts = []
    for r, c in sample_points(n):
        prods = a[r, :] * b[:, c]  # float32 x float32 products are exact in float64
        pts += [math.fsum(prods), math.fsum(np.abs(prods))]
    out = [a, b, a @ b, np.abs(a) @ np.abs(b), np.array(pts)]
    sys.stdout.buffer.write(np.concatenate([x.ravel() for x in out]).tobytes())


if __name__ == "__main__":
    cmd, n = sys.argv[1], int(sys.argv[2])
    if cmd == "sample":
        rows = sample_rows(n)
        print(len(rows), *rows, *(v for point in sample_points(n) for v in point))
    elif cmd == "fixture":
        fixture(n, int(sys.argv[3]))
    elif cmd == "measures":
        measures(n, int(sys.argv[3]))
    else:
        sys.exit("unknown command " + cmd)
