#!/usr/bin/python3
"""Parallel efficiency of the Pan main phase, the Pan correction phase and the agg1 main phase.

Usage: efficiency.py [--build BUILD_DIR] [--n 8192] [--leaf L] [--block B] [--workers W]
                     [--single-cpu CPU] [--rounds 2] [--reps 1] [--engines pan,agg1]
                     [--openblas unset|set|both]

For each engine, phase_bench runs once at 1 worker (pinned to --single-cpu,
by default the last CPU of the worker range) and once at W workers (pinned to
the first W usable CPUs; by default all of them), alternating for --rounds
rounds so that a change in machine load hits both alike; each run is a warm-up
call and --reps timed calls, and each phase keeps its best seconds over all.
The phase times are the engines' own timers (PairTimes of pan_adapter::run_pair,
agg1::RunReport of agg1::run) at the same N:

  pan main          the g^3 aggregated products   (leaf default N/8, g = 8)
  pan corrections   the 3 g^2 correction products (one-thread OpenBLAS)
  agg1 main         the main leaves               (block default N/32)

GFLOPS count 2 n^3 per n x n leaf product. Efficiency = (GFLOPS at W workers
/ W) / GFLOPS at 1 worker; targets: 0.9 for the main phases, 0.85 for the
corrections. The "total" rows (whole engine call, effective GFLOPS of the
products it delivers) are shown for reference, without a target.

OpenBLAS runs the Pan corrections, so its kernel matters there: by default
phase_bench runs with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset (OpenBLAS
picks its kernel for this processor); --openblas set keeps the environment as
it is, both runs the Pan engine each way. The kernel OpenBLAS ran and the
register tiles our kernels selected are printed.
"""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "multiply"))
from openblas_env import OPENBLAS_TUNING, env_without_tuning  # noqa: E402

TARGETS = {("pan", "main"): 0.9, ("pan", "corrections"): 0.85, ("agg1", "main"): 0.9}


def usable_cpus():
    """The first run of consecutive CPUs this process may use (the pools pin to base .. base + W - 1)."""
    cpus = sorted(os.sched_getaffinity(0))
    run = [cpus[0]]
    for c in cpus[1:]:
        if c != run[-1] + 1:
            break
        run.append(c)
    return run


def run_bench(bench, engine, n, leaf, workers, cpu_base, reps, env):
    cmd = [bench, engine, str(n), str(leaf), str(workers), str(cpu_base), str(reps)]
    done = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    phases = {}
    for m in re.finditer(r"^PHASE engine=\S+ phase=(\S+) workers=\d+ seconds=([\d.]+) gflop=([\d.]+)$",
                         done.stdout, re.M):
        phases[m.group(1)] = (float(m.group(2)), float(m.group(3)))
    kernels = re.search(r"^KERNELS (.*)$", done.stdout, re.M)
    return phases, kernels.group(1) if kernels else "?"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                                        "build"))
    parser.add_argument("--n", type=int, default=8192)
    parser.add_argument("--leaf", type=int, default=0, help="Pan leaf (default N/8)")
    parser.add_argument("--block", type=int, default=0, help="agg1 block (default N/32)")
    parser.add_argument("--workers", type=int, default=0, help="workers of the parallel runs (default: all usable)")
    parser.add_argument("--single-cpu", type=int, default=-1, help="CPU of the one-worker runs")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--reps", type=int, default=1)
    parser.add_argument("--engines", default="pan,agg1")
    parser.add_argument("--openblas", choices=("unset", "set", "both"), default="unset")
    args = parser.parse_args()

    bench = os.path.abspath(os.path.join(args.build, "benchmarks", "efficiency", "phase_bench"))
    if not os.access(bench, os.X_OK):
        sys.exit(f"{bench} not found: build the project first")
    cpus = usable_cpus()
    workers = args.workers or len(cpus)
    if workers > len(cpus):
        sys.exit(f"{workers} workers asked for, {len(cpus)} consecutive usable CPUs from CPU {cpus[0]}")
    base = cpus[0]
    single = args.single_cpu if args.single_cpu >= 0 else cpus[workers - 1]
    n = args.n
    sides = {"pan": args.leaf or n // 8, "agg1": args.block or n // 32}

    envs = {"unset": [("unset", env_without_tuning())], "set": [("as set", dict(os.environ))],
            "both": [("unset", env_without_tuning()), ("as set", dict(os.environ))]}[args.openblas]
    print("OpenBLAS settings: " + ", ".join(f"{k}={os.environ.get(k, '(unset)')}" for k in OPENBLAS_TUNING))
    print(f"N = {n}; {workers} workers on CPUs {base}-{base + workers - 1}; one worker on CPU {single}; "
          f"best of {args.rounds} rounds x {args.reps} reps (after a warm-up call each)")
    load = os.getloadavg()[0]
    if load > 1.0:
        print(f"warning: load average {load:.1f} before the run; parallel figures may be low", file=sys.stderr)

    rows, notes = [], []
    for engine in args.engines.split(","):
        side = sides[engine]
        for label, env in (envs if engine == "pan" else envs[:1]):
            best = {}
            kernels = ""
            for _ in range(args.rounds):
                for w, b in ((1, single), (workers, base)):
                    phases, kernels = run_bench(bench, engine, n, side, w, b, args.reps, env)
                    for name, (sec, gflop) in phases.items():
                        key = (name, w)
                        if key not in best or sec < best[key][0]:
                            best[key] = (sec, gflop)
            tag = engine + (f" (OpenBLAS variables {label})" if engine == "pan" else "")
            notes.append(f"{tag}: {'leaf' if engine == 'pan' else 'block'} {side}; {kernels}")
            for name in ("main", "corrections", "total"):
                if (name, 1) not in best:
                    continue
                s1, f1 = best[(name, 1)]
                sw, fw = best[(name, workers)]
                g1, gw = f1 / s1, fw / sw
                eff = gw / workers / g1
                target = TARGETS.get((engine, name))
                verdict = "" if target is None else f"{target:.2f}{'+' if eff >= target else '-'}"
                rows.append(f"{tag:<34} {name:<12} {s1:>8.3f} {g1:>8.1f} {sw:>8.3f} {gw:>8.1f} "
                            f"{gw / workers:>8.1f} {eff:>6.3f} {verdict:>6}")

    print(f"\n{'engine':<34} {'phase':<12} {'1w s':>8} {'GFLOPS':>8} {f'{workers}w s':>8} {'GFLOPS':>8} "
          f"{'/core':>8} {'eff':>6} {'target':>6}")
    for r in rows:
        print(r)
    print("\n" + "\n".join(notes))
    print("\neff = (GFLOPS at W workers / W) / GFLOPS at 1 worker; target: minimum, '+' met, '-' missed;\n"
          "total rows: whole engine call, 2 N^3 per product it delivers, no target")


if __name__ == "__main__":
    main()
