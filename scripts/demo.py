#!/usr/bin/env python3
"""The main job: the whole system under Wine against the simulator.

Copies Lanzo.exe into a fresh folder, registers the simulator, starts the
launcher, and walks through one coin-recycler update as a technician would:
both questions answered, the firmware written, the success box, the main
window closed, the launcher cleaning up. Screenshots of each step go to the
output folder (main-window, question-1, question-2, updating, done,
after-update .png; scripts/guide.py makes the technician's guide of them).
Uses the current X display when one answers, otherwise its own Xvfb.

The run fails unless the two images the launcher staged are byte for byte
those in --images (default: the ones the build embedded) and nothing is
left behind, in the launcher's folder or in its temporary folder. An image
the simulator cannot read gets its stand-in versions; the names of such
images go to unreadable-images.txt in the output folder, for the guide.
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
IMAGES = ("SMARTHOPPER", "SMARTPAYOUT")
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


def staged_as_given(folder, images):
    """Names of the staged images that differ from the given ones; read while
    the updater runs, the only time they exist."""
    differ = [n for n in IMAGES if not (folder / n).is_file() or (folder / n).read_bytes() != (images / n).read_bytes()]
    for n in IMAGES:
        print(f"  staged {n}: " + (f"NOT the image in {images}" if n in differ
                                   else f"byte for byte the image in {images}, {(images / n).stat().st_size} bytes"))
    return differ


def unreadable_images(calls_log):
    """The images the simulator took under its stand-in versions."""
    if not calls_log.exists():
        return []
    lines = calls_log.read_text(encoding="utf-8", errors="replace").splitlines()
    paths = [line.split("\t")[2] for line in lines if line.split("\t")[1:2] == ["UnreadableImage"]]
    return sorted({p.replace("\\\\", "\\").rsplit("\\", 1)[-1] for p in paths})


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
    parser.add_argument("--images", help="folder of the SMARTHOPPER and SMARTPAYOUT the launcher must stage "
                                         "(default: the build's firmware/)")
    args = parser.parse_args()
    out = Path(args.out).resolve()
    shutil.rmtree(out, ignore_errors=True)
    (out / "run").mkdir(parents=True)

    build = Build(args.build)
    images = Path(args.images) if args.images else build.root / "firmware"
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
        temp = out / "temp"
        temp.mkdir()
        shutil.copy(args.lanzo or build.need("Lanzo.exe"), launcher)
        scenario = write_scenario(out / "scenario.txt", {"update.ms": UPDATE_MS, "unreadable_images": "accept"})
        env = {"ARCONSIM_SCENARIO": win_path(scenario), "ARCONSIM_LOG": win_path(out / "calls.log"),
               "TEMP": win_path(temp), "TMP": win_path(temp)}
        app = App(probe, launcher, launcher.parent, env=env, caption="Launcher")
        poll("the updater's main window", lambda: [w for w in probe.windows(0, "Inicial") if w["visible"]], 60)
        differ = staged_as_given(launcher.parent, images)
        updated = walk_through_update(probe, display, out)
        app.wait_exit(timeout=60)
        left = sorted(p.name for p in launcher.parent.iterdir() if p.name != "Lanzo.exe")
        left += sorted(f"temp/{p.name}" for p in temp.iterdir())
        print(f"  launcher ended; left behind: {left or 'nothing'}")
        print(f"  component calls: {out / 'calls.log'}")
        unreadable = unreadable_images(out / "calls.log")
        (out / "unreadable-images.txt").write_text("".join(f"{n}\n" for n in unreadable))
        if unreadable:
            print(f"  the simulator could not read {', '.join(unreadable)}: shown with its stand-in versions")
        ok = updated and not left and not differ
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
