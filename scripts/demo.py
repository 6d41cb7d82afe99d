#!/usr/bin/env python3
"""The main job: the whole system under Wine against the simulator.

Copies Lanzo.exe into a fresh folder, registers the simulator, starts the
launcher, and walks through one coin-recycler update as a technician would:
both questions answered, the firmware written, the success box, the main
window closed, the launcher cleaning up. Screenshots of each step go to the
output folder (main-window, question-1, question-2, updating, done,
after-update .png; scripts/guide.py makes the technician's guide of them).
Uses the current X display when one answers, otherwise its own Xvfb.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from wine import App, Build, Probe, Simulator, Wine, Xvfb, poll, win_path, write_scenario  # noqa: E402

IDC_COMMAND1, IDC_LIST1 = 201, 101
IDOK, IDYES = 1, 6
STAGED = {"Renvx.exe", "SMARTHOPPER", "SMARTPAYOUT"}
UPDATE_MS = 3000  # how long the simulated firmware write takes


def display_answers(display):
    return bool(display) and subprocess.run(["xdpyinfo", "-display", display], stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL).returncode == 0


def screenshot(display, window, path):
    """The window's rectangle cut out of the screen."""
    left, top, right, bottom = window["rect"]
    subprocess.run(["import", "-display", display, "-window", "root",
                    "-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage", str(path)], check=True)
    print(f"  screenshot: {path}")


def updater_box(probe, what, timeout):
    return poll(what, lambda: [b for b in probe.boxes("Renovo") if b["text"]], timeout)[0]


def press(probe, box, button):
    probe.call("press", box["hwnd"], button)
    poll("the box to close", lambda: all(b["hwnd"] != box["hwnd"] for b in probe.boxes("Renovo")), 10)


def walk_through_update(probe, display, out):
    main = poll("the updater's main window", lambda: [w for w in probe.windows(0, "Inicial") if w["visible"]], 60)[0]
    print("  current versions:", " | ".join(probe.listbox(main["hwnd"], IDC_LIST1)))
    screenshot(display, main, out / "main-window.png")

    probe.call("click", main["hwnd"], IDC_COMMAND1)
    for n, answer in enumerate((IDOK, IDYES), 1):
        box = updater_box(probe, "a question", 20)
        print(f"  question: {box['text'].splitlines()[0]}")
        time.sleep(0.3)  # painted
        screenshot(display, box, out / f"question-{n}.png")
        press(probe, box, answer)
    wait = poll("the wait window", lambda: [w for w in probe.windows(0, "Espera") if w["visible"]], 20)[0]
    time.sleep(UPDATE_MS / 2000)  # inside the firmware write
    screenshot(display, wait, out / "updating.png")
    done = updater_box(probe, "the outcome of the update", 120)
    print(f"  outcome: {done['text']}")
    time.sleep(0.3)
    screenshot(display, done, out / "done.png")
    press(probe, done, IDOK)
    main = poll("the main window back", lambda: [w for w in probe.windows(0, "Inicial") if w["enabled"]], 20)[0]
    print("  versions after the update:", " | ".join(probe.listbox(main["hwnd"], IDC_LIST1)))
    screenshot(display, main, out / "after-update.png")
    probe.call("close", main["hwnd"])
    return done["text"] == "Device updated correctly."


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build/win32")
    parser.add_argument("--out", default="build/demo")
    parser.add_argument("--lanzo", help="the launcher to run (default: the build's Lanzo.exe)")
    args = parser.parse_args()
    out = Path(args.out).resolve()
    shutil.rmtree(out, ignore_errors=True)
    (out / "run").mkdir(parents=True)

    build = Build(args.build)
    current = os.environ.get("DISPLAY", "")
    xvfb = None if display_answers(current) else Xvfb()
    display = current if xvfb is None else xvfb.display
    print(f"display {display}" + (" (own Xvfb)" if xvfb else ""))
    wine = probe = None
    try:
        wine = Wine(display, tag="demo", x64=build.x64)
        Simulator(wine, build.need("ArconSim.dll")).register("both")
        probe = Probe(wine, build.need("winprobe.exe"))
        launcher = out / "run" / "Lanzo.exe"
        shutil.copy(args.lanzo or build.need("Lanzo.exe"), launcher)
        scenario = write_scenario(out / "scenario.txt", {"update.ms": UPDATE_MS})
        env = {"ARCONSIM_SCENARIO": win_path(scenario), "ARCONSIM_LOG": win_path(out / "calls.log")}
        app = App(probe, launcher, launcher.parent, env=env, caption="Launcher")
        updated = walk_through_update(probe, display, out)
        app.wait_exit(timeout=60)
        left = {p.name for p in launcher.parent.iterdir()} & STAGED
        print(f"  launcher ended; left in its folder: {sorted(left) or 'nothing'}")
        print(f"  component calls: {out / 'calls.log'}")
        ok = updated and not left
        print("demo: " + ("the update ran and everything was cleaned up" if ok else "FAILED"))
        return 0 if ok else 1
    finally:
        if probe:
            probe.close()
        if wine:
            wine.kill_server()
            wine.remove()
        if xvfb:
            xvfb.stop()


if __name__ == "__main__":
    sys.exit(main())
