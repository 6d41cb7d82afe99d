"""Long batches of the chaotic fault runs of tests/e2e/test_fault_runs.py.

    fault_runs.py COUNT [--first SEED] [--rate PERCENT] [--verbose]
    fault_runs.py --seed SEED [--verbose]        replay one run

Runs COUNT seeded runs of the launcher end to end under Wine + Xvfb (the
same bed as the end-to-end tests: E2E_BUILD, E2E_DISPLAY, E2E_TAG) and
prints a table: runs, faults injected by kind, crashes, hangs, leftovers and
invariant violations, with the seeds of the runs that went wrong.
Exit status 1 when any run went wrong.
"""

import argparse
import collections
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))

from conftest import Bed  # noqa: E402
from test_fault_runs import chaos_run, kill_pids, wine_processes  # noqa: E402


def table(reports, seconds):
    faults = collections.Counter()
    for r in reports:
        faults.update(r.faults)
    by_kind = collections.Counter()
    for (kind, _), n in faults.items():
        by_kind[kind] += n
    bad = [r for r in reports if not r.clean]
    lines = [
        "| What | Count |",
        "|---|---|",
        f"| runs | {len(reports)} |",
        f"| runs that reached an update call | {sum(1 for r in reports if r.updates)} |",
        f"| update calls | {sum(r.updates for r in reports)} |",
        f"| message boxes answered at random | {sum(len(r.boxes) for r in reports)} |",
        f"| runs with a close request during an update | {sum(1 for r in reports if r.impatient)} |",
        f"| faults injected | {sum(faults.values())} |",
    ]
    for kind in ("result", "raise", "hresult", "version", "delay"):
        detail = ", ".join(f"{cls} {n}" for (k, cls), n in sorted(faults.items()) if k == kind and cls)
        lines.append(f"| - {kind} | {by_kind[kind]}{' (' + detail + ')' if detail else ''} |")
    lines += [
        f"| crashes | {sum(1 for r in reports if r.crash)} |",
        f"| hangs | {sum(1 for r in reports if r.hang)} |",
        f"| runs with leftovers | {sum(1 for r in reports if r.leftovers)} |",
        f"| invariant violations | {sum(len(r.violations) for r in reports)} |",
        f"| wall time | {seconds / 60:.1f} min |",
    ]
    out = "\n".join(lines)
    if bad:
        out += "\n\nRuns that went wrong (replay with --seed N):\n  " + "\n  ".join(r.describe() for r in bad)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("count", nargs="?", type=int, default=50)
    ap.add_argument("--first", type=int, default=1000, help="first seed (default 1000)")
    ap.add_argument("--seed", type=int, help="replay this one seed")
    ap.add_argument("--rate", type=int, help="chaos rate in percent (default: drawn per run)")
    ap.add_argument("--verbose", action="store_true", help="one line per run as it ends")
    args = ap.parse_args()
    seeds = [args.seed] if args.seed is not None else list(range(args.first, args.first + args.count))

    bed = Bed()
    reports = []
    started = time.monotonic()
    try:
        with tempfile.TemporaryDirectory(prefix="fault-runs-") as root:
            for seed in seeds:
                report = chaos_run(bed, Path(root), seed, rate=args.rate)
                reports.append(report)
                if args.verbose or args.seed is not None:
                    print(("ok   " if report.clean else "FAIL ") + report.describe(), flush=True)
                elif not report.clean:
                    print("FAIL " + report.describe(), flush=True)
            kill_pids(wine_processes(bed.wine.prefix, root))
    finally:
        bed.close()
    print(table(reports, time.monotonic() - started))
    return 0 if all(r.clean for r in reports) else 1


if __name__ == "__main__":
    sys.exit(main())
