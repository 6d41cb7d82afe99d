"""The update run end to end: Renovo.exe under Wine against the simulator.

Each test copies the updater beside the two sample firmware images into a
folder of its own (the run hands the component the image path in the
updater's folder, and the main window looks for the images in the working
folder), starts it there, presses the update commands through winprobe and
reads the simulator's call log. The waits are the real 5 s and 25 s, so
related checks share one updater start.
"""

import shutil
import time

import pytest

from wine import App, poll, win_path, write_scenario

INICIAL = "Inicial"
ESPERA = "Espera"
IDC_LIST1, IDC_LIST2 = 101, 102
IDC_COMMAND1, IDC_COMMAND2 = 201, 202
IDC_LBLINFO = 501
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7

UPDATING = "Updating ..."
VERIFYING = "Verifying ...."
UPDATED = "Device updated correctly."
FAILED = "\u00a1An error occurred while updating!"
DOWNGRADE = ("The current version of the device is the same or newer that the available version to update "
             "to.\r\n\u00bfDo you want to downgrade?")
TOO_OLD = ("\u00a1WARNING!\r\nIt is not possible to update the firmware of the banknote module (the current "
           "version of this module is too old).\r\nContact your technical support.")
ASK_RECYCLER = "\u00bfDo you want to update the coin recycler with the available firmware?"
ASK_BANKNOTE = "\u00bfDo you want to update the banknote unit with the available firmware?"

# What the simulated devices report at first, and what the sample images offer.
DEVICE_LINES = ["Coin validator:", "FW: CV0100.00", "",
                "Coin recycler:", "FW: SH0300.10", "DS: SHDS0100", "",
                "Banknote module:", "FW: NV0300.20", "DS: NVDS0200"]
IMAGE_LINES = ["Coin validator:", "FW: -NOT AVAILABLE-", "",
               "Coin recycler:", "FW: SH0300.20", "DS: SHDS0101", "",
               "Banknote module:", "FW: NV0300.30", "DS: NVDS0201"]

# Per generation: the write's device number for each image, the restart, and
# the device numbers of the report's three version queries.
GEN = {
    "v2": {"write": {"SMARTHOPPER": "I2=1", "SMARTPAYOUT": "I2=3"}, "restart": ("StartUp", ["I2=0"]),
           "queries": ["I2=1", "I2=2", "I2=3"]},
    "v1": {"write": {"SMARTHOPPER": "I2=0", "SMARTPAYOUT": "I2=1"}, "restart": ("SoftStart", []),
           "queries": ["I2=2", "I2=0", "I2=1"]},
}

# Spinner dot centres in pixels from the wait window's client origin, dot 0
# at twelve o'clock, clockwise.
DOT_CENTRES = [(60.5, 13.5), (78.5, 17.5), (90.5, 31.5), (94.5, 46.5), (90.5, 61.5), (78.5, 75.5),
               (60.5, 79.5), (42.5, 75.5), (30.5, 61.5), (26.5, 46.5), (30.5, 31.5), (42.5, 17.5)]
DARK, TAIL1, TAIL2, WHITE = (128,) * 3, (192,) * 3, (224,) * 3, (255,) * 3


# ---------------------------------------------------------------------------
# Log reading


def unescape(text):
    """Undoes the call log's escapes (backslash, tab, newline, CR, NUL)."""
    out, i = [], 0
    table = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r", "0": "\0"}
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text) and text[i + 1] in table:
            out.append(table[text[i + 1]])
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def args_of(call):
    return [unescape(a) for a in call.args]


# ---------------------------------------------------------------------------
# Message boxes


def _pixels(probe, points, chunk=500):
    # winprobe reads one command line of at most 8 KiB.
    out = []
    for i in range(0, len(points), chunk):
        out += probe.pixels(points[i:i + chunk])
    return out


def _blue(c):
    return c is not None and c[2] > 150 and c[2] - c[0] > 60


def blue_icon_kind(probe, box):
    """Tells the question icon from the information icon by their glyph.

    winprobe's icon matcher cannot part the two under Wine (both are a blue
    disc and differ only in the glyph), so it answers "other" for both. Some
    row of the "?" crosses its hook and meets white twice; no row of the "i"
    does.
    """
    left, top, right, bottom = box["rect"]
    # Below the caption bar, which is blue as well and spans the whole box.
    xs = range(left + 4, min(right, left + 90), 3)
    coarse = [(x, y) for y in range(top + 24, bottom - 10, 3) for x in xs]
    colours = dict(zip(coarse, _pixels(probe, coarse)))
    caption_rows = {y for (x, y), c in colours.items() if x == xs[0] and _blue(c)}
    blue = [(x, y) for (x, y), c in colours.items() if _blue(c) and y not in caption_rows]
    if len(blue) < 10:
        return None
    x0, x1 = min(p[0] for p in blue) - 3, max(p[0] for p in blue) + 3
    y0, y1 = min(p[1] for p in blue) - 3, max(p[1] for p in blue) + 3
    fine = [(x, y) for y in range(y0, y1 + 1) for x in range(x0, x1 + 1)]
    colours = dict(zip(fine, _pixels(probe, fine)))
    glyph_rows, hooked = 0, False
    for y in range(y0, y1 + 1):
        row = [x for x in range(x0, x1 + 1) if _blue(colours[(x, y)])]
        if len(row) < 2:
            continue
        white = [x for x in range(row[0] + 1, row[-1]) if min(colours[(x, y)]) > 200]
        if white:
            glyph_rows += 1
            hooked |= any(b - a > 2 for a, b in zip(white, white[1:]))
    if glyph_rows < 3:
        return None  # glyph not painted yet
    return "question" if hooked else "asterisk"


def next_box(app, timeout=20):
    """The one message box of the updater, with its icon named."""
    def found():
        bs = app.boxes()
        return bs if bs and bs[0]["text"] else None
    boxes = poll("a message box", found, timeout)
    assert len(boxes) == 1, f"more than one box: {boxes}"
    box = boxes[0]
    deadline = time.monotonic() + 3
    while box["icon"] == "other":
        kind = blue_icon_kind(app.probe, box)
        if kind:
            box["icon"] = kind
            break
        if time.monotonic() > deadline:
            break
        time.sleep(0.1)
        box = app.boxes()[0]
    return box


def expect_box(app, text, icon, buttons, timeout=20):
    box = next_box(app, timeout)
    assert box["text"] == text
    assert box["icon"] == icon, f"{text!r}: icon {box['icon']}"
    assert [b["id"] for b in box["buttons"]] == buttons
    return box


def no_box_for(app, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        assert app.boxes() == [], f"unexpected box: {app.boxes()}"
        time.sleep(0.1)


# ---------------------------------------------------------------------------
# The updater in a folder of its own


class Updater:
    def __init__(self, runs, register, scenario, name="updater"):
        bed = runs.bed
        self.folder = runs.tmp / name
        self.folder.mkdir()
        shutil.copy(bed.renovo_exe, self.folder / "Renovo.exe")
        for image in ("SMARTHOPPER", "SMARTPAYOUT"):
            shutil.copy(bed.build.root / "firmware" / image, self.folder / image)
        bed.sim.register(register)
        scen = write_scenario(self.folder / "scenario.txt", scenario)
        self.log = self.folder / "calls.log"
        self.app = App(bed.probe, self.folder / "Renovo.exe", self.folder,
                       env={"ARCONSIM_SCENARIO": win_path(scen), "ARCONSIM_LOG": win_path(self.log)},
                       log_path=self.log)
        runs.apps.append(self.app)
        self.probe = bed.probe
        self.main = self.app.wait_window(INICIAL)
        assert self.app.boxes() == []
        self.startup_calls = len(self.calls())

    def calls(self):
        return self.app.calls()

    def calls_since_startup(self):
        return self.calls()[self.startup_calls:]

    def image(self, name):
        return win_path(self.folder / name)

    def list1(self):
        return self.probe.listbox(self.main["hwnd"], IDC_LIST1)

    def list2(self):
        return self.probe.listbox(self.main["hwnd"], IDC_LIST2)

    def enabled(self, cid):
        return self.probe.control(self.main["hwnd"], cid)["enabled"]

    def main_window(self):
        return self.app.windows(INICIAL)[0]

    def wait_window(self):
        ws = [w for w in self.app.windows(ESPERA) if w["visible"]]
        return ws[0] if ws else None

    def label(self, espera):
        return self.probe.control(espera["hwnd"], IDC_LBLINFO)["text"]

    def press(self, cid):
        self.probe.call("press", self.main["hwnd"], cid)

    def start_update(self, cid):
        """Both confirmations answered; the wait window is up."""
        self.press(cid)
        self.app.answer(expect_box(self.app, ASK_RECYCLER if cid == IDC_COMMAND1 else ASK_BANKNOTE,
                                   "question", [IDOK, IDCANCEL]), IDOK)
        box = next_box(self.app)
        assert box["text"].startswith("\u00a1WARNING!\r\nThe update process is very sensible.")
        self.app.answer(box, IDYES)
        return poll("the wait window", self.wait_window, 10)

    def wait_for_label(self, espera, text, timeout):
        return poll(f"LblInfo {text!r}", lambda: self.label(espera) == text, timeout)

    def wait_window_closes(self):
        poll("the wait window to close", lambda: self.wait_window() is None, 3)
        poll("the main window to be enabled", lambda: self.main_window()["enabled"], 3)

    def assert_usable(self):
        """The main window takes commands again: the other update command
        asks its first question (cancelled here)."""
        target = IDC_COMMAND2 if self.enabled(IDC_COMMAND2) else IDC_COMMAND1
        self.press(target)
        box = expect_box(self.app, ASK_BANKNOTE if target == IDC_COMMAND2 else ASK_RECYCLER,
                         "question", [IDOK, IDCANCEL])
        self.app.answer(box, IDCANCEL)
        no_box_for(self.app, 0.5)

    def close(self):
        self.app.close_window(self.main)
        self.app.wait_exit()


@pytest.fixture
def updater(runs):
    """Starts the updater; `runs` ends it after the test whatever happened."""
    def start(register="v2", scenario=None):
        return Updater(runs, register, scenario or {})
    return start


def ring(probe, espera):
    x0, y0 = espera["client_screen"][:2]
    return probe.pixels([(x0 + int(cx), y0 + int(cy)) for cx, cy in DOT_CENTRES])


def assert_spinner_turns(probe, espera, seconds=1.5):
    """Every picture of the ring is one dark dot with its two lighter dots
    behind it (anticlockwise), and the dark dot moves."""
    darks = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        colours = ring(probe, espera)
        assert set(colours) <= {DARK, TAIL1, TAIL2, WHITE}, colours
        dark = [i for i, c in enumerate(colours) if c == DARK]
        assert len(dark) == 1, colours
        d = dark[0]
        assert colours[(d - 1) % 12] == TAIL1 and colours[(d - 2) % 12] == TAIL2, colours
        others = [c for i, c in enumerate(colours) if i not in (d, (d - 1) % 12, (d - 2) % 12)]
        assert set(others) == {WHITE}, colours
        darks.append(d)
        time.sleep(0.07)
    assert len(set(darks)) >= 6, f"the dark dot hardly moved: {darks}"


def expected_report(gen):
    """The calls that follow a successful write: restart, then the report's
    three queries, each handed empty texts."""
    g = GEN[gen]
    return ([(g["restart"][0], g["restart"][1])] +
            [("GetFirmWareVersion", [q, "BSTR|BYREF=", "BSTR|BYREF="]) for q in g["queries"]])


# ---------------------------------------------------------------------------
# Tests


@pytest.mark.parametrize("gen", ["v2", "v1"])
def test_coin_recycler_update(updater, gen):
    # The write takes a second, so "Updating ..." can be seen during it.
    u = updater(gen, {"update.ms": 1000})
    g = GEN[gen]
    assert u.list1() == DEVICE_LINES
    assert u.list2() == IMAGE_LINES

    espera = u.start_update(IDC_COMMAND1)
    main = u.main_window()
    dpi = u.probe.screen()["dpi"]
    assert espera["rect"][:2] == [main["rect"][0] + round(2760 * dpi / 1440),
                                  main["rect"][1] + round(2250 * dpi / 1440)]
    assert not main["enabled"], "the main window must be out of reach while the wait window is up"
    assert u.label(espera) == UPDATING
    assert "UpdateSmartFirmware" not in [c.op for c in u.calls()]

    u.wait_for_label(espera, VERIFYING, 5)
    verifying = time.monotonic()
    writes = [c for c in u.calls_since_startup() if c.op == "UpdateSmartFirmware"]
    assert [args_of(c) for c in writes] == [[f"BSTR={u.image('SMARTHOPPER')}", g["write"]["SMARTHOPPER"]]]
    # Messages that reach the main window during the wait change nothing:
    # the other command, and a close request.
    u.press(IDC_COMMAND2)
    u.app.close_window(main)
    assert_spinner_turns(u.probe, espera)
    assert u.calls_since_startup()[-1].op == "UpdateSmartFirmware", "restarted before the wait was over"

    box = expect_box(u.app, UPDATED, "asterisk", [IDOK], timeout=10)
    waited = time.monotonic() - verifying
    assert 4.7 <= waited <= 7, f"the wait lasted {waited:.1f} s"
    # The report queries the devices only after the box.
    assert [(c.op, args_of(c)) for c in u.calls_since_startup()[1:]] == expected_report(gen)[:1]
    assert u.list1() == DEVICE_LINES
    u.app.answer(box, IDOK)

    u.wait_window_closes()
    assert [(c.op, args_of(c)) for c in u.calls_since_startup()[1:]] == expected_report(gen)
    assert u.list1() == DEVICE_LINES[:4] + ["FW: SH0300.20", "DS: SHDS0101"] + DEVICE_LINES[6:]
    assert u.list2() == IMAGE_LINES
    assert not u.enabled(IDC_COMMAND1)
    assert u.enabled(IDC_COMMAND2)
    no_box_for(u.app, 0.5)
    assert u.app.running(), "the close request during the update must not end the program"

    u.assert_usable()
    u.press(IDC_COMMAND1)  # disabled: a click that arrives by message does nothing
    no_box_for(u.app, 0.5)
    u.close()
    assert u.app.ops()[-1] == f"{gen} Terminate"


def test_banknote_module_update_waits_25_seconds(updater):
    u = updater("v2", {"update.ms": 200})
    espera = u.start_update(IDC_COMMAND2)
    u.wait_for_label(espera, VERIFYING, 5)
    verifying = time.monotonic()
    assert [(c.op, args_of(c)) for c in u.calls_since_startup()] == [
        ("UpdateSmartFirmware", [f"BSTR={u.image('SMARTPAYOUT')}", "I2=3"])]

    # Still turning late in the long wait, and nothing restarted yet.
    time.sleep(20)
    assert_spinner_turns(u.probe, espera, 1.2)
    assert [c.op for c in u.calls_since_startup()] == ["UpdateSmartFirmware"]

    box = expect_box(u.app, UPDATED, "asterisk", [IDOK], timeout=10)
    waited = time.monotonic() - verifying
    assert 24.7 <= waited <= 27, f"the wait lasted {waited:.1f} s"
    u.app.answer(box, IDOK)
    u.wait_window_closes()
    assert [(c.op, args_of(c)) for c in u.calls_since_startup()[1:]] == expected_report("v2")
    assert u.list1() == DEVICE_LINES[:8] + ["FW: NV0300.30", "DS: NVDS0201"]
    assert u.enabled(IDC_COMMAND1)
    assert not u.enabled(IDC_COMMAND2)
    u.close()


def test_failed_updates_leave_everything_for_another_try(updater):
    u = updater("v2", {"update.ms": 200,
                       "v2.UpdateSmartFirmware.results": "i2:0, raise:Flash write rejected, i2:1"})
    for text in (FAILED, FAILED + "\r\nFlash write rejected"):
        u.start_update(IDC_COMMAND1)
        box = expect_box(u.app, text, "hand", [IDOK])
        u.app.answer(box, IDOK)
        u.wait_window_closes()
        no_box_for(u.app, 0.5)
        assert u.list1() == DEVICE_LINES
        assert u.enabled(IDC_COMMAND1) and u.enabled(IDC_COMMAND2)
    assert [c.op for c in u.calls_since_startup()] == ["UpdateSmartFirmware"] * 2, "no restart, no report"

    # The third try succeeds.
    u.start_update(IDC_COMMAND1)
    u.app.answer(expect_box(u.app, UPDATED, "asterisk", [IDOK], timeout=15), IDOK)
    u.wait_window_closes()
    assert [c.op for c in u.calls_since_startup()] == (["UpdateSmartFirmware"] * 3 + ["StartUp"] +
                                                      ["GetFirmWareVersion"] * 3)
    assert u.list1()[4:6] == ["FW: SH0300.20", "DS: SHDS0101"]
    assert not u.enabled(IDC_COMMAND1)
    u.close()


def test_downgrade_question(updater):
    # The recycler already runs what the image offers.
    u = updater("v2", {"update.ms": 200, "device.recycler.fw": "SH0300.20", "device.recycler.ds": "SHDS0101"})
    before = u.list1()

    u.start_update(IDC_COMMAND1)
    u.app.answer(expect_box(u.app, DOWNGRADE, "question", [IDYES, IDNO]), IDNO)
    u.wait_window_closes()
    no_box_for(u.app, 0.5)
    assert u.calls_since_startup() == []
    assert u.list1() == before
    assert u.enabled(IDC_COMMAND1)

    u.start_update(IDC_COMMAND1)
    u.app.answer(expect_box(u.app, DOWNGRADE, "question", [IDYES, IDNO]), IDYES)
    u.app.answer(expect_box(u.app, UPDATED, "asterisk", [IDOK], timeout=15), IDOK)
    u.wait_window_closes()
    calls = u.calls_since_startup()
    assert (calls[0].op, args_of(calls[0])) == ("UpdateSmartFirmware", [f"BSTR={u.image('SMARTHOPPER')}", "I2=1"])
    assert [c.op for c in calls[1:]] == ["StartUp"] + ["GetFirmWareVersion"] * 3
    assert not u.enabled(IDC_COMMAND1)
    u.close()


def test_banknote_module_too_old(updater):
    u = updater("v2", {"update.ms": 200, "device.banknote.fw": "NV0200410.07"})

    # Its own update is refused, even after Yes to the downgrade question.
    u.start_update(IDC_COMMAND2)
    u.app.answer(expect_box(u.app, TOO_OLD, "exclamation", [IDOK]), IDOK)
    u.app.answer(expect_box(u.app, DOWNGRADE, "question", [IDYES, IDNO]), IDYES)
    u.app.answer(expect_box(u.app, TOO_OLD, "exclamation", [IDOK]), IDOK)
    u.wait_window_closes()
    no_box_for(u.app, 0.5)
    assert u.calls_since_startup() == []
    assert u.enabled(IDC_COMMAND2)

    # The coin recycler's update goes ahead; the warning comes before the
    # write and again after the restart, before the success box.
    u.start_update(IDC_COMMAND1)
    u.app.answer(expect_box(u.app, TOO_OLD, "exclamation", [IDOK]), IDOK)
    box = expect_box(u.app, TOO_OLD, "exclamation", [IDOK], timeout=15)
    assert [c.op for c in u.calls_since_startup()] == ["UpdateSmartFirmware", "StartUp"]
    u.app.answer(box, IDOK)
    u.app.answer(expect_box(u.app, UPDATED, "asterisk", [IDOK]), IDOK)
    u.wait_window_closes()
    assert [c.op for c in u.calls_since_startup()] == ["UpdateSmartFirmware", "StartUp"] + ["GetFirmWareVersion"] * 3
    assert u.list1()[4:6] == ["FW: SH0300.20", "DS: SHDS0101"]
    assert u.list1()[8] == "FW: NV0200410.07"
    u.close()
