"""Independent model of the accuracy check's sample and references, for tests.

  sample N            prints "R i0 i1 ..." then one "P row col" line per point
  fixture DIR N SEED  writes A.bin, B.bin (float32), C64.bin = A@B and
                      ABS64.bin = |A|@|B| (float64), all row-major N x N
  points DIR N FILE   checks "row col reference abs_sum" lines of FILE against
                      exactly rounded dot products of A and B in DIR; prints
                      "OK" or the first mismatches
"""
import math
import sys

import numpy as np

MASK = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15
SEED = 0x81725771C30D6144


def mix(z):
    z &= MASK
    z ^= z >> 30
    z = (z * 0xBF58476D1CE4E5B9) & MASK
    z ^= z >> 27
    z = (z * 0x94D049BB133111EB) & MASK
    z ^= z >> 31
    return z


def sample_rows(n):
    rows = min(n, 64)
    out = []
    for i in range(rows):
        lo, hi = i * n // rows, (i + 1) * n // rows
        out.append(lo + (hi - lo) // 2)
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

    special = [0, n - 1, n // 2, n // 4, 3 * n // 4]
    if n > 1:
        special += [1, n - 2, n // 2 - 1]
    special += [v for v in (511, 512, 1023, 1024, 2047, 2048) if v < n]
    for r in special:
        for c in special:
            add(r, c)
    if n > 32:
        s, q, h = SEED, 0, n // 2
        while len(pts) < 1024:
            cols = (0, h) if q % 2 == 0 else (h, n)
            rows = (0, h) if q < 2 else (h, n)
            c = cols[0] + mix(s + GAMMA) % (cols[1] - cols[0])
            r = rows[0] + mix(s + 2 * GAMMA) % (rows[1] - rows[0])
            s = (s + 2 * GAMMA) & MASK
            add(r, c)
            q = (q + 1) % 4
    else:
        for r in range(n):
            for c in range(n):
                add(r, c)
    return pts


def fixture(d, n, seed):
    rng = np.random.default_rng(seed)
    # Mixed magnitudes and signs so that cancellation actually happens.
    a = (rng.standard_normal((n, n)) * np.exp2(rng.integers(-6, 7, (n, n)))).astype(np.float32)
    b = (rng.standard_normal((n, n)) * np.exp2(rng.integers(-6, 7, (n, n)))).astype(np.float32)
    a64, b64 = a.astype(np.float64), b.astype(np.float64)
    a.tofile(f"{d}/A.bin")
    b.tofile(f"{d}/B.bin")
    (a64 @ b64).tofile(f"{d}/C64.bin")
    (np.abs(a64) @ np.abs(b64)).tofile(f"{d}/ABS64.bin")


def check_points(d, n, path):
    a = np.fromfile(f"{d}/A.bin", dtype=np.float32).reshape(n, n).astype(np.float64)
    b = np.fromfile(f"{d}/B.bin", dtype=np.float32).reshape(n, n).astype(np.float64)
    u = 2.0 ** -53
    bad = []
    with open(path) as f:
        for line in f:
            r, c, ref, abs_sum = line.split()
            r, c, ref, abs_sum = int(r), int(c), float.fromhex(ref), float.fromhex(abs_sum)
            prods = a[r, :] * b[:, c]  # float32 x float32 products are exact in float64
            exact = math.fsum(prods)
            exact_abs = math.fsum(np.abs(prods))
            # Compensated summation: error within about 2u of the absolute sum.
            if abs(ref - exact) > 2.5 * u * exact_abs + 1e-300:
                bad.append(f"point ({r},{c}) ref {ref!r} exact {exact!r}")
            if abs(abs_sum - exact_abs) > n * u * exact_abs:
                bad.append(f"point ({r},{c}) abs_sum {abs_sum!r} exact {exact_abs!r}")
    print("OK" if not bad else "\n".join(bad[:10]))


def main():
    cmd = sys.argv[1]
    if cmd == "sample":
        n = int(sys.argv[2])
        print("R " + " ".join(str(i) for i in sample_rows(n)))
        for r, c in sample_points(n):
            print(f"P {r} {c}")
    elif cmd == "fixture":
        fixture(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif cmd == "points":
        check_points(sys.argv[2], int(sys.argv[3]), sys.argv[4])
    else:
        sys.exit("unknown command " + cmd)


if __name__ == "__main__":
    main()
