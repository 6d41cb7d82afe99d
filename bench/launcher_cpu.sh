#!/bin/sh
# Launcher benchmark, one run under Wine + Xvfb against an existing cross
# build (E2E_BUILD, default the one scripts/bed.sh picks: build/win32, or
# build/win64 on a host that runs no 32-bit code; E2E_DISPLAY as for the e2e
# tests):
#   1. the launcher's CPU share while the updater runs for 10 s (read from
#      /proc, since Wine reports no times for other processes). A launcher
#      that waits properly is idle; a busy poll shows about 100 %.
#   2. the time to stage the three payloads, checked to be in place,
#      against a plain copy of the same bytes by a Windows program. Both
#      include the start of a Wine process, shown on its own as well; the
#      best of BENCH_ROUNDS (default 5) interleaved rounds each; the time
#      until the updater's process is there, which takes in the pause
#      after staging and the digest checks within it; and the launcher's
#      peak memory up to then (VmHWM from /proc) beside the payload size.
# BENCH_IMAGES=DIR (or the first argument) measures a launcher that carries
# DIR/SMARTHOPPER and DIR/SMARTPAYOUT instead: it is built for the bed's
# processor in build/bench-images-PROCESSOR with the release's settings,
# e.g. two images of 16 MiB each:
#   for i in "SMARTHOPPER 0 SH" "SMARTPAYOUT 1 NV"; do set -- $i
#       firmware/make_images.py --one /tmp/big/$1 --device $2 --fw ${3}0400.00 --ds ${3}DS0400 --size 16777216
#   done; BENCH_ROUNDS=10 bench/launcher_cpu.sh /tmp/big
# Prints its findings; not a pass/fail test.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$repo/scripts/bed.sh"
images=${1:-${BENCH_IMAGES:-}}
if [ -n "$images" ]; then
    [ -f "$images/SMARTHOPPER" ] && [ -f "$images/SMARTPAYOUT" ] \
        || { echo "bench: $images must hold SMARTHOPPER and SMARTPAYOUT" >&2; exit 2; }
    . "$repo/scripts/release-build.sh"
    bed_choose "$repo"
    processor=$([ "$BED_X64" = yes ] && echo x86_64 || echo i686)
    E2E_BUILD=$repo/build/bench-images-$processor
    echo "bench: building a launcher that carries $images in $E2E_BUILD"
    release_configure "$repo" "$E2E_BUILD" "" "$processor" "$(realpath "$images")"
    release_build "$E2E_BUILD" Lanzo ArconSim winprobe
fi
[ -n "${E2E_BUILD:-}" ] || { bed_choose "$repo"; E2E_BUILD=$BED_BUILD; }
: "${E2E_TAG:=lanzo-bench}"
export E2E_BUILD E2E_TAG
. "$repo/scripts/bed-python.sh" || exit 2
exec "$py" - "$repo" <<'PY'
import os, shutil, subprocess, sys, tempfile, time
from pathlib import Path

repo = Path(sys.argv[1])
sys.path.insert(0, str(repo / "tests" / "e2e"))
from conftest import Bed          # noqa: E402
from wine import App, linux_pid_of, poll, win_path  # noqa: E402

STAGED = ("Renvx.exe", "SMARTHOPPER", "SMARTPAYOUT")
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "5"))
SETTLE_MS = 500  # the launcher's pause between staging and the start


def updater_main(bed):
    return poll("the updater's main window",
                lambda: [w for w in bed.probe.windows(0, "Inicial") if w["visible"]], 60)[0]


def staged(folder, sizes):
    return all((folder / n).exists() and (folder / n).stat().st_size == sizes[n] for n in STAGED)


def started_as(exe):
    """The Linux process of a Windows program started by its Unix path
    (its command line keeps that path; linux_pid_of finds the Windows one)."""
    needle = str(exe).encode()
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and (entry / "cmdline").read_bytes().startswith(needle):
                return int(entry.name)
        except OSError:
            pass
    return None


def peak_kib(exe):
    """The most memory the Linux process of a Windows program has held so
    far (VmHWM), in KiB."""
    pid = poll(f"the Linux process of {exe}", lambda: started_as(exe) or linux_pid_of(exe), 10)
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    raise RuntimeError(f"no VmHWM for {exe}")


def timed(argv, env, *marks, cwd=None):
    """Seconds from the start of argv until each of marks() holds in turn,
    looked at every millisecond (the tests' 50 ms poll would be most of a
    copy's time)."""
    t0 = time.monotonic()
    proc = subprocess.Popen(argv, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    times = []
    for done in marks:
        while not done():
            if time.monotonic() - t0 > 60:
                print("did not finish:", argv, file=sys.stderr)
                raise TimeoutError(argv)
            time.sleep(0.001)
        times.append(time.monotonic() - t0)
    return times, proc


bed = Bed()
work = Path(tempfile.mkdtemp(prefix="lanzo-bench-"))
try:
    bed.sim.register("both")
    payload = bed.build.root / "launcher" / "payload"
    sources = {"Renvx.exe": payload / "updater.bin", "SMARTHOPPER": payload / "hopper.bin",
               "SMARTPAYOUT": payload / "payout.bin"}
    sizes = {n: p.stat().st_size for n, p in sources.items()}
    env = dict(bed.wine.env, TEMP=win_path(work), TMP=win_path(work))

    # 1. CPU share while the updater runs.
    run = work / "cpu"
    run.mkdir()
    shutil.copy(bed.exe("Lanzo.exe"), run / "Lanzo.exe")
    app = App(bed.probe, run / "Lanzo.exe", run, "normal", env={"TEMP": win_path(work)}, caption="Launcher")
    main = updater_main(bed)
    share = app.cpu_share(10)
    bed.probe.call("close", main["hwnd"])
    app.wait_exit(30)
    print(f"launcher CPU while the updater runs 10 s: {share:.1f} % of one core "
          f"(a busy poll would show about 100 %)")

    # 2. Staging against a plain copy, in interleaved rounds: on a shared
    # machine single runs vary by a factor of two, the best of each does not.
    t0 = time.monotonic()
    subprocess.run([*bed.wine.cmd, "cmd", "/c", "rem"], env=env, check=True, stdout=subprocess.DEVNULL)
    t_start = time.monotonic() - t0

    src = work / "src"
    src.mkdir()
    for n, p in sources.items():
        shutil.copy(p, src / n)
    stage_times, start_times, copy_times, peaks = [], [], [], []
    for r in range(ROUNDS):
        run = work / f"stage{r}"
        run.mkdir()
        shutil.copy(bed.exe("Lanzo.exe"), run / "Lanzo.exe")
        (t_stage, t_started), proc = timed([*bed.wine.cmd, str(run / "Lanzo.exe")], env,
                                           lambda: staged(run, sizes),
                                           lambda: linux_pid_of(run / "Renvx.exe"), cwd=run)
        peaks.append(peak_kib(run / "Lanzo.exe"))  # the launcher waits for the updater, so it still runs
        main = updater_main(bed)
        bed.probe.call("close", main["hwnd"])
        proc.wait(30)
        stage_times.append(t_stage)
        start_times.append(t_started)

        copy = work / f"copy{r}"
        copy.mkdir()
        bat = work / f"copy{r}.bat"
        bat.write_text("".join(f'copy /b "{win_path(src / n)}" "{win_path(copy / n)}" >nul\r\n' for n in STAGED))
        (t_copy,), proc = timed([*bed.wine.cmd, "cmd", "/c", win_path(bat)], env, lambda: staged(copy, sizes))
        proc.wait(30)
        copy_times.append(t_copy)

    t_stage, t_copy = min(stage_times), min(copy_times)
    total = sum(sizes.values())
    print(f"payload bytes: {total}; best of {ROUNDS} interleaved rounds each")
    print(f"start of a Wine program alone:           {t_start * 1000:7.0f} ms")
    print(f"launcher start to all three staged:      {t_stage * 1000:7.0f} ms  (each compared in place)")
    print(f"plain copy start to all three written:   {t_copy * 1000:7.0f} ms")
    print(f"staging beyond a plain copy:             {(t_stage - t_copy) * 1000:7.0f} ms "
          f"(staging / copy = {t_stage / t_copy:.2f})")
    print(f"launcher start to the updater's start:  {min(start_times) * 1000:7.0f} ms  "
          f"(the digests are taken in the {SETTLE_MS} ms pause after staging)")
    print(f"launcher's peak memory to that start:   {max(peaks) / 1024:7.1f} MiB (VmHWM, highest of {ROUNDS}; "
          f"payloads {total / 1048576:.1f} MiB)")
finally:
    bed.close()
    shutil.rmtree(work, ignore_errors=True)
PY
