"""Fault runs of the whole system under Wine.

Chaotic runs: the launcher, copied into a fresh folder, runs end to end
while the simulator answers at random (chaos mode, seeded) and a random user
answers every box with one of its buttons, presses "Update coin recycler" a
random number of times and then closes the main window. A watchdog bounds
each run. After every run: the launcher has ended, no crash dialog came up,
nothing hung, and nothing is left in the launcher folder.

Process and file faults: the updater killed during an update, a staged image
held open by another program at clean-up, two launchers started at once.
(A launcher killed while its updater runs is covered in test_launcher.py.)

Beyond that, each chaotic run checks what the user saw against the call
log: the version lists always hold their ten lines in their layout, no
update call without an accepted warning, "Device updated correctly." only
after an update call whose result reads as success, every call after the
start-up to one generation, every object created, called and released on
one thread, Terminate at most once and last.

A failing chaotic run names its seed; replay it with
    bench/fault_runs.sh --seed N
The component gives the same answers to the same calls; the user's moments
follow the clock, so a replay may take another path where timing decides.
bench/fault_runs.sh COUNT runs many more seeds and prints a table.
"""

import collections
import os
import random
import shutil
import signal
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from wine import App, E2EError, poll, read_calls, win_path, write_scenario

LAUNCHER = "Launcher"
RENOVO = "Renovo"
FIRST_PAYLOAD = "Error al cargar recursos de aplicaci\u00f3n"
STAGED = ("Renvx.exe", "SMARTHOPPER", "SMARTPAYOUT")
INICIAL, ESPERA = "Inicial", "Espera"
IDC_LIST1, IDC_LIST2, IDC_COMMAND1, IDC_LBLINFO = 101, 102, 201, 501
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
# Wine's crash dialog (winedbg) and the C runtime's abort box.
CRASH_TITLES = ("Program Error", "Microsoft Visual C++ Runtime Library", "Runtime Error!")

# Chosen so that the short batch holds start-up failures as well as runs that
# reach the update call, two of them with a close request during the update.
CI_SEEDS = [int(s) for s in os.environ.get("FAULT_SEEDS", "1 2 3 5 7 11 17 39").split()]
WATCHDOG_S = 60


# ---------------------------------------------------------------------------
# Processes by folder


def wine_processes(prefix, marker, exe=None):
    """Linux pids of the processes of the Wine prefix `prefix` whose command
    line names `marker` and, if given, the executable `exe`. Other users of
    the machine run Wine too; only our prefix counts."""
    want = b"WINEPREFIX=" + str(prefix).encode() + b"\0"
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmd = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode("utf-8", "replace")
            if marker not in cmd or (exe and exe.lower() not in cmd.lower()):
                continue
            if want not in (entry / "environ").read_bytes() + b"\0":
                continue
        except OSError:
            continue
        found.append(int(entry.name))
    return found


def kill_pids(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def crash_windows(probe):
    return [w for w in probe.windows(0, "#32770") if w["title"] in CRASH_TITLES]


def names(folder):
    return {p.name for p in Path(folder).iterdir()}


# ---------------------------------------------------------------------------
# One launcher run in a folder of its own


class Launch:
    """Lanzo.exe copied into `root/name`, started with its own temporary
    folder, scenario and call log (all beside the launcher folder, so that
    only the launcher's own files can be left in it)."""

    def __init__(self, bed, root, name, scenario=None, start=True):
        self.bed = bed
        self.folder = Path(root) / name
        self.folder.mkdir(parents=True, exist_ok=True)
        self.marker = name
        side = Path(root) / (name + "-side")
        side.mkdir(exist_ok=True)
        self.temp = side / "temp"
        self.temp.mkdir(exist_ok=True)
        self.log = side / "calls.log"
        scen = write_scenario(side / "scenario.txt", scenario or {})
        self.env = {"TEMP": win_path(self.temp), "TMP": win_path(self.temp),
                    "ARCONSIM_SCENARIO": win_path(scen), "ARCONSIM_LOG": win_path(self.log)}
        exe = self.folder / "Lanzo.exe"
        if not exe.exists():
            shutil.copy(bed.exe("Lanzo.exe"), exe)
        self.app = self.start() if start else None

    def start(self):
        return App(self.bed.probe, self.folder / "Lanzo.exe", self.folder, "normal", env=self.env,
                   caption=LAUNCHER, log_path=self.log)

    def updaters(self):
        return wine_processes(self.bed.wine.prefix, self.marker, "Renvx.exe")

    def end_everything(self):
        kill_pids(self.updaters())
        if self.app:
            self.app.kill()

    def calls(self):
        return read_calls(self.log)


# ---------------------------------------------------------------------------
# A chaotic run


@dataclass
class RunReport:
    seed: int
    rate: int = 0
    seconds: float = 0.0
    faults: collections.Counter = field(default_factory=collections.Counter)
    boxes: list = field(default_factory=list)
    presses: int = 0
    impatient: bool = False  # asked the main window to close during an update
    updates: int = 0
    crash: str = ""
    hang: str = ""
    leftovers: list = field(default_factory=list)
    violations: list = field(default_factory=list)

    @property
    def clean(self):
        return not (self.crash or self.hang or self.leftovers or self.violations)

    def describe(self):
        parts = [f"seed {self.seed} (rate {self.rate}%, {self.seconds:.1f} s, {self.presses} presses,"
                 f"{' a close during an update,' if self.impatient else ''}"
                 f" {self.updates} update calls, {sum(self.faults.values())} faults)"]
        if self.crash:
            parts.append(f"crash: {self.crash}")
        if self.hang:
            parts.append(f"hang: {self.hang}")
        if self.leftovers:
            parts.append(f"left in the launcher folder: {self.leftovers}")
        parts += [f"violation: {v}" for v in self.violations]
        parts.append("boxes: " + "; ".join(f"{t[:60]!r} -> {a}" for t, a in self.boxes))
        return "\n  ".join(parts)


def chaos_run(bed, root, seed, watchdog=WATCHDOG_S, rate=None):
    """One launcher run with chaos seeded by `seed`; the random user draws
    from the same seed. Returns a RunReport; never raises for what it finds."""
    rng = random.Random(seed)
    report = RunReport(seed, rate=rate if rate is not None else rng.choice([10, 20, 30, 45]))
    scenario = {"chaos": seed, "chaos.rate": report.rate, "chaos.delay_ms": 300,
                "update.ms": rng.choice([100, 800, 2000])}
    bed.sim.register("both")
    launch = Launch(bed, root, f"chaos-{seed}", scenario)
    presses = rng.randint(0, 4)
    # Some users try to close the program while an update runs.
    impatient = rng.random() < 0.3
    started = time.monotonic()
    deadline = started + watchdog
    idle_since = None
    try:
        while launch.app.running():
            now = time.monotonic()
            if now > deadline:
                up = [w["title"] or w["class"] for w in bed.probe.windows(0) if w["visible"]]
                report.hang = f"the launcher still runs after {watchdog} s; visible windows: {up}"
                break
            crashed = crash_windows(bed.probe)
            if crashed:
                report.crash = f"{crashed[0]['title']} window"
                break
            boxes = [b for b in bed.probe.boxes(RENOVO) + bed.probe.boxes(LAUNCHER) if b["text"]]
            if boxes:
                box = boxes[0]
                buttons = [b["id"] for b in box["buttons"]] or [IDOK]
                answer = rng.choice(buttons)
                report.boxes.append((box["text"], answer))
                bed.probe.call("press", box["hwnd"], answer)
                _gone(bed, box)
                idle_since = None
                continue
            mains = [w for w in bed.probe.windows(0, INICIAL) if w["visible"]]
            busy = [w for w in bed.probe.windows(0, ESPERA) if w["visible"]]
            if mains and busy and impatient and rng.random() < 0.1:
                impatient = False
                report.impatient = True
                bed.probe.call(rng.choice(["close", "sysclose", "altf4"]), mains[0]["hwnd"])
                continue
            if mains and not busy and mains[0]["enabled"]:
                main = mains[0]
                # A random moment, as a user would choose it.
                time.sleep(rng.uniform(0, 0.6))
                try:
                    cmd1 = bed.probe.control(main["hwnd"], IDC_COMMAND1)
                    lists = [bed.probe.listbox(main["hwnd"], i) for i in (IDC_LIST1, IDC_LIST2)]
                except E2EError:
                    continue  # the window went meanwhile
                for problem in check_lists(*lists):
                    if problem not in report.violations:
                        report.violations.append(problem)
                if presses > 0 and cmd1["enabled"]:
                    presses -= 1
                    report.presses += 1
                    bed.probe.call("click", main["hwnd"], IDC_COMMAND1)
                else:
                    bed.probe.call("close", main["hwnd"])
                time.sleep(0.3)
                idle_since = None
                continue
            # Neither a box nor a window to act on: the updater is coming up,
            # busy or gone. Gone for long while the launcher runs is a hang.
            if not launch.updaters() and not mains:
                idle_since = idle_since or now
                if now - idle_since > 15:
                    report.hang = "the launcher still runs 15 s after its updater has gone"
                    break
            time.sleep(0.1)
        report.seconds = time.monotonic() - started
        if wine_processes(bed.wine.prefix, "winedbg"):
            report.crash = report.crash or "winedbg runs"
    finally:
        if not report.clean:
            kill_pids(wine_processes(bed.wine.prefix, "winedbg"))
        if report.hang or report.crash:
            launch.end_everything()
            for w in crash_windows(bed.probe):
                bed.probe.call("close", w["hwnd"])

    if not (report.hang or report.crash):
        if launch.updaters():
            report.violations.append("the updater still runs after the launcher has ended")
            kill_pids(launch.updaters())
        report.leftovers = sorted(names(launch.folder) - {"Lanzo.exe"})
        if any(t.startswith("Error al cargar") for t, _ in report.boxes):
            report.violations.append("the launcher refused a run in a clean folder")
    calls = launch.calls()
    for c in calls:
        if c.op == "Chaos" and len(c.args) >= 3:
            report.faults[(c.args[1], _fault_class(c.args[1], c.args[2]))] += 1
    report.updates = sum(1 for c in calls if c.op == "UpdateSmartFirmware")
    report.violations += check_calls(calls, report.boxes)
    return report


HEADINGS = {0: "Coin validator:", 2: "", 3: "Coin recycler:", 6: "", 7: "Banknote module:"}


def check_lists(list1, list2):
    """Both version lists keep their ten lines in their fixed layout,
    whatever the component answered."""
    found = []
    for name, lines in (("List1", list1), ("List2", list2)):
        if len(lines) != 10:
            found.append(f"{name} has {len(lines)} lines")
            continue
        for i, heading in HEADINGS.items():
            if lines[i] != heading:
                found.append(f"{name} line {i} is {lines[i][:40]!r}")
        for i, label in ((1, "FW: "), (4, "FW: "), (5, "DS: "), (8, "FW: "), (9, "DS: ")):
            if not lines[i].startswith(label):
                found.append(f"{name} line {i} is {lines[i][:40]!r}")
    return found


def reads_as_success(result):
    """Whether a logged result converts to a non-zero byte."""
    kind, _, value = (result or "").partition("=")
    try:
        if kind in ("I2", "I4", "UI1", "R8", "BSTR"):
            number = float(value.strip(" \t")) if kind in ("R8", "BSTR") else int(value)
            return 0.5 < number < 255.5
        return kind == "BOOL" and value != "0"
    except ValueError:
        return False


def check_calls(calls, boxes):
    """What the call log and the boxes the user saw must agree on."""
    found = []
    errors = [c.line for c in calls if c.op == "ScenarioError"]
    if errors:
        found.append(f"scenario not understood: {errors}")
    threads = {c.thread for c in calls if c.thread is not None}
    if len(threads) > 1:
        found.append(f"the component was reached from {len(threads)} threads")
    ops = [c for c in calls if c.op not in ("Create", "Release", "Chaos", "ScenarioError")]
    # After the start-up every call goes to the one generation in use.
    later = [c for c in ops if c.op not in ("Connect", "StartUp", "Disconnect")]
    if len({c.gen for c in later}) > 1:
        found.append("calls after the start-up went to both generations: " +
                     ", ".join(f"{c.gen} {c.op}" for c in later))
    terminates = [c for c in ops if c.op == "Terminate"]
    if len(terminates) > 1 or (terminates and ops[-1].op != "Terminate"):
        found.append("Terminate was not the one last call")
    accepted = sum(1 for t, a in boxes if t.startswith("\u00a1WARNING!\r\nThe update process") and a in (IDOK, IDYES))
    updates = [c for c in ops if c.op == "UpdateSmartFirmware"]
    if len(updates) > accepted:
        found.append(f"{len(updates)} update calls after {accepted} accepted warnings")
    successes = sum(1 for c in updates if reads_as_success(c.result))
    told = sum(1 for t, _ in boxes if t == "Device updated correctly.")
    if told > successes:
        found.append(f"'Device updated correctly.' {told} times after {successes} successful update calls")
    return found


def _gone(bed, box, timeout=10):
    try:
        poll("the box to close", lambda: all(b["hwnd"] != box["hwnd"]
                                             for b in bed.probe.boxes(RENOVO) + bed.probe.boxes(LAUNCHER)), timeout)
    except E2EError:
        pass  # the watchdog decides whether the run hangs


def _fault_class(kind, detail):
    """Groups details for the tables: "I2=256" stays, "BSTR=OK" becomes
    "BSTR", "fw:long" becomes "long", delays and descriptions go."""
    if kind == "result":
        name, _, value = detail.partition("=")
        return detail if name == "I2" else name
    if kind == "version":
        return detail.partition(":")[2]
    if kind == "hresult":
        return detail
    return ""


@pytest.fixture
def fault_root(tmp_path, bed):
    yield tmp_path
    # Whatever a failed test left running would sit in front of the next one.
    for marker in [p.name for p in tmp_path.iterdir() if p.is_dir()]:
        kill_pids(wine_processes(bed.wine.prefix, marker))
    for w in crash_windows(bed.probe):
        bed.probe.call("close", w["hwnd"])
    for box in bed.probe.boxes(RENOVO) + bed.probe.boxes(LAUNCHER):
        bed.probe.call("press", box["hwnd"], IDOK)


@pytest.mark.parametrize("seed", CI_SEEDS)
def test_chaotic_run_ends_cleanly(bed, fault_root, seed):
    report = chaos_run(bed, fault_root, seed)
    assert report.clean, report.describe()


# ---------------------------------------------------------------------------
# Process and file faults


def main_window(bed, timeout=40):
    def found():
        ws = [w for w in bed.probe.windows(0, INICIAL) if w["visible"] and w["enabled"]]
        return ws[0] if len(ws) == 1 else None
    return poll("the updater's main window", found, timeout)


def answer_next(bed, button, timeout=20):
    box = bed.probe.wait_box(RENOVO, timeout=timeout)
    bed.probe.answer(box, button)
    return box["text"]


def start_update(bed, main):
    """Update coin recycler, yes to both questions; returns once the
    component has been asked to write the image."""
    bed.probe.call("click", main["hwnd"], IDC_COMMAND1)
    answer_next(bed, IDOK)
    answer_next(bed, IDYES)

    def updating():
        for w in bed.probe.windows(0, ESPERA):
            if w["visible"] and bed.probe.control(w["hwnd"], IDC_LBLINFO)["text"] == "Updating ...":
                return True
        return False
    poll("the update to start", updating, 20)


def close_main(bed, main):
    bed.probe.call("close", main["hwnd"])
    poll("the main window to close", lambda: all(w["hwnd"] != main["hwnd"] for w in bed.probe.windows(0, INICIAL)),
         20)


def assert_no_crash(bed):
    assert not crash_windows(bed.probe)
    assert not wine_processes(bed.wine.prefix, "winedbg")


def test_updater_killed_during_an_update_is_still_cleaned_up(bed, fault_root):
    bed.sim.register("both")
    # The component blocks far longer than the test waits.
    launch = Launch(bed, fault_root, "killed", {"update.ms": 60000})
    start_update(bed, main_window(bed))
    time.sleep(0.5)
    assert set(STAGED) <= names(launch.folder)
    victims = launch.updaters()
    assert victims
    kill_pids(victims)
    launch.app.wait_exit(timeout=20)
    assert names(launch.folder) == {"Lanzo.exe"}
    assert launch.app.boxes() == []
    assert_no_crash(bed)


class Holder:
    """hold_file.exe keeping a file open under Wine until closed."""

    def __init__(self, bed, path):
        self.proc = subprocess.Popen([*bed.wine.cmd, str(bed.exe("hold_file.exe")), win_path(path)], env=bed.wine.env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        first = self.proc.stdout.readline().strip()
        assert first == "held", f"hold_file: {first!r}"

    def release(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait(20)


def test_image_held_at_clean_up_stays_until_the_next_run(bed, fault_root):
    bed.sim.register("both")
    launch = Launch(bed, fault_root, "held")
    main = main_window(bed)
    holder = Holder(bed, launch.folder / "SMARTHOPPER")
    try:
        close_main(bed, main)
        launch.app.wait_exit(timeout=30)
        assert names(launch.folder) == {"Lanzo.exe", "SMARTHOPPER"}
        assert launch.app.boxes() == []
    finally:
        holder.release()

    # The next run replaces it and leaves nothing.
    again = Launch(bed, fault_root, "held")
    close_main(bed, main_window(bed))
    again.app.wait_exit(timeout=30)
    assert names(launch.folder) == {"Lanzo.exe"}
    assert_no_crash(bed)


def test_two_launchers_started_at_once(bed, fault_root):
    bed.sim.register("both")
    first = Launch(bed, fault_root, "twins", start=False)
    apps = [first.start(), first.start()]

    # The one that stays out says so, with the first payload's message.
    def refusal():
        for app in apps:
            boxes = [b for b in app.boxes() if b["text"]]
            if boxes:
                return app, boxes[0]
        return None
    loser, box = poll("one launcher to refuse", refusal, 40)
    winner = apps[1] if loser is apps[0] else apps[0]
    assert box["text"] == FIRST_PAYLOAD
    assert [b["id"] for b in box["buttons"]] == [IDOK]
    main = main_window(bed)
    assert len(first.updaters()) == 1
    before = {n: (first.folder / n).read_bytes() for n in STAGED}
    loser.answer(box, IDOK)
    loser.wait_exit()
    # The loser changed nothing: the winner's files and its updater's view.
    assert {n: (first.folder / n).read_bytes() for n in STAGED} == before
    assert not any("\u00a1ERROR!" in line for line in bed.probe.listbox(main["hwnd"], IDC_LIST2))
    assert winner.running()
    assert list(first.temp.iterdir()) == []

    close_main(bed, main)
    winner.wait_exit(timeout=30)
    assert winner.boxes() == []
    assert names(first.folder) == {"Lanzo.exe"}
    assert_no_crash(bed)
