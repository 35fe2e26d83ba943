"""Independent model of the accuracy check's sample and references, for tests.

  sample N         prints min(N, 64), the sampled rows, then row col of each point
  fixture N SEED   writes to stdout as float64: A and B (float32 values, N x N,
                   row-major), A@B, |A|@|B|, then per sampled point its exactly
                   rounded dot product and sum of |products|
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


def fixture(n, seed):
    import numpy as np  # only here: the sample model starts faster without it
    rng = np.random.default_rng(seed)
    # Mixed magnitudes and signs so that cancellation actually happens.
    a, b = ((rng.standard_normal((n, n)) * np.exp2(rng.integers(-6, 7, (n, n))))
            .astype(np.float32).astype(np.float64) for _ in range(2))
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
    else:
        sys.exit("unknown command " + cmd)
