#!/bin/sh
# CPU share of Renovo.exe while the update run writes the banknote module's
# firmware (a 14 s write) and while it waits 25 s for the module, beside the
# same wait window idling with its spinner (a message box open over it) and
# the main window idling. A wait that sleeps between window events shows
# about the same share as the idle spinner; a busy loop keeps a core busy,
# under Wine shared between Renovo.exe and wineserver. During the write and
# the 25 s wait it also counts the spinner's pictures per second on the
# screen (about 10 while the window is alive, 0 while it is frozen).
#
#   bench/update_cpu.sh
#
# Runs under Wine + Xvfb on the end-to-end bed (E2E_BUILD, default the
# build scripts/bed.sh picks: build/win32, or build/win64 on a host that runs
# no 32-bit code; E2E_DISPLAY; E2E_TAG). Builds nothing; takes about 1.5 minutes.
# CPU time comes from /proc/<pid>/stat of the Wine process that runs
# Renovo.exe (GetProcessTimes of another process reads 0 under Wine), and of
# the prefix's wineserver, which a PeekMessage loop keeps busy as well.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$repo/scripts/bed.sh"
[ -n "${E2E_BUILD:-}" ] || { bed_choose "$repo"; E2E_BUILD=$BED_BUILD; }
: "${E2E_TAG:=cpubench}"
export E2E_BUILD E2E_TAG

. "$repo/scripts/bed-python.sh" || exit 2

exec "$py" - "$repo" <<'PY'
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

repo = Path(sys.argv[1])
sys.path.insert(0, str(repo / "tests" / "e2e"))
from conftest import Bed  # noqa: E402
from wine import App, cpu_seconds, linux_pid_of, poll, read_ring, ring_step, win_path, write_scenario  # noqa: E402

IDC_COMMAND2, IDC_LBLINFO = 202, 501
IDOK, IDYES = 1, 6
WRITE_MS = 14000


def wineserver_pid(prefix):
    # The server works in a folder named server-<device>-<inode> of its prefix.
    st = os.stat(prefix)
    want = f"/server-{st.st_dev:x}-{st.st_ino:x}"
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if b"wineserver" in (entry / "cmdline").read_bytes() and os.readlink(entry / "cwd").endswith(want):
                    return int(entry.name)
            except OSError:
                pass
    return None


def measure(pids, seconds):
    wall0 = time.monotonic()
    cpu0 = [cpu_seconds(p) if p else 0.0 for p in pids]
    time.sleep(seconds)
    wall = time.monotonic() - wall0
    return wall, [100.0 * ((cpu_seconds(p) if p else 0.0) - c) / wall for p, c in zip(pids, cpu0)]


def spinner_positions(probe, espera, seconds=1.2):
    seen = set()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        colours = read_ring(probe, espera)
        seen |= {i for i, c in enumerate(colours) if c == (128, 128, 128)}
        time.sleep(0.07)
    return len(seen)


def pictures_per_second(probe, espera, seconds=2.0):
    """How far the dark dot moves per second on the screen: the steps
    between successive whole pictures, each read less than a turn apart."""
    reads = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        step = ring_step(read_ring(probe, espera))
        if step is not None:
            reads.append((time.monotonic(), step))
        time.sleep(0.03)
    if len(reads) < 2:
        return 0.0
    moved = sum((b - a) % 12 for (_, a), (_, b) in zip(reads, reads[1:]))
    return moved / (reads[-1][0] - reads[0][0])


def next_box(app, timeout=30):
    return poll("a message box", lambda: [b for b in app.boxes() if b["text"]], timeout)[0]


bed = Bed()
app = None
work = Path(tempfile.mkdtemp(prefix="cpubench-", dir="/tmp"))
rows = []
server = None
try:
    shutil.copy(bed.renovo_exe, work / "Renovo.exe")
    for image in ("SMARTHOPPER", "SMARTPAYOUT"):
        shutil.copy(bed.build.root / "firmware" / image, work / image)
    bed.sim.register("v2")
    # The banknote module already runs the image's versions, so the run asks
    # before the downgrade: that box holds the wait window up, spinner
    # turning, for the idle measurement.
    scen = write_scenario(work / "scenario.txt", {"update.ms": WRITE_MS, "device.banknote.fw": "NV0300.30",
                                                  "device.banknote.ds": "NVDS0201"})
    app = App(bed.probe, work / "Renovo.exe", work, env={"ARCONSIM_SCENARIO": win_path(scen)})
    main = app.wait_window("Inicial")
    renovo = poll("the Wine process of Renovo.exe", lambda: linux_pid_of(work / "Renovo.exe"), 10)
    server = wineserver_pid(bed.wine.prefix)
    pids = [renovo, server]

    time.sleep(1)
    wall, shares = measure(pids, 5)
    rows.append(("main window idle", wall, shares, None, None))

    bed.probe.call("press", main["hwnd"], IDC_COMMAND2)
    app.answer(next_box(app), IDOK)
    app.answer(next_box(app), IDYES)
    espera = app.wait_window("Espera")
    question = next_box(app)
    assert "downgrade" in question["text"], question["text"]
    time.sleep(0.5)
    wall, shares = measure(pids, 10)
    rows.append(("wait window idle, spinner, box open", wall, shares, spinner_positions(bed.probe, espera), None))
    app.answer(question, IDYES)

    # The pictures are counted after the CPU share: the probe's screen reads
    # cost the wineserver time of their own.
    time.sleep(0.5)
    wall, shares = measure(pids, 8)
    rows.append((f"update run, {WRITE_MS // 1000} s write, spinner", wall, shares,
                 spinner_positions(bed.probe, espera), pictures_per_second(bed.probe, espera)))
    assert bed.probe.control(espera["hwnd"], IDC_LBLINFO)["text"] == "Updating ...", "the write ended too early"

    poll("Verifying", lambda: bed.probe.control(espera["hwnd"], IDC_LBLINFO)["text"] == "Verifying ....", 10)
    time.sleep(0.5)
    wall, shares = measure(pids, 20)
    rows.append(("update run, 25 s wait, spinner", wall, shares, spinner_positions(bed.probe, espera),
                 pictures_per_second(bed.probe, espera)))
    app.answer(next_box(app), IDOK)
    poll("the wait window to close", lambda: not [w for w in app.windows("Espera") if w["visible"]], 5)
    app.close_window(main)
    app.wait_exit()
    app = None
finally:
    if app:
        app.kill()
    bed.close()
    shutil.rmtree(work, ignore_errors=True)

print()
print(f"{'phase':<38} {'seconds':>7} {'Renovo.exe':>11} {'wineserver':>11} {'together':>9} {'spinner':>8} {'pict/s':>7}")
for name, wall, (mine, srv), dots, rate in rows:
    # A message box may hide part of the ring, so a few positions will do.
    spin = "-" if dots is None else "turns" if dots >= 3 else "still"
    srv_text = f"{srv:10.1f}%" if server else f"{'n/a':>11}"
    rate_text = "-" if rate is None else f"{rate:.1f}"
    print(f"{name:<38} {wall:7.1f} {mine:10.1f}% {srv_text} {mine + srv:8.1f}% {spin:>8} {rate_text:>7}")
idle, write = rows[1][2], rows[2][2]
if idle[0] > 0 and sum(idle) > 0:
    print(f"\nwrite / idle spinner: {write[0] / idle[0]:.2f}x (Renovo.exe), "
          f"{sum(write) / sum(idle):.2f}x (together); a live wait stays at about 1x or below")
print()
print("CPU share in % of one core, from /proc/<pid>/stat; pict/s: spinner steps per")
print("second on the screen. The write and the wait should cost about what the idle")
print("spinner costs. A busy loop keeps a core busy, under Wine split between Renovo.exe")
print("and wineserver (PeekMessage asks the server each time), so read the 'together'")
print("column for it.")
PY
