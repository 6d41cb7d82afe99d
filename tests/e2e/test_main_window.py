"""The updater's main window under Wine: what the real list boxes hold, the
button states, the update commands' boxes and refusals, one whole update
by clicks and one by keys alone beside another program, and the window's
look at 96 and 144 dpi.

Each run gets a folder of its own holding a copy of Renovo.exe and, unless a
test says otherwise, the two firmware images, as the launcher stages them.
"""

import subprocess
import time
from pathlib import Path

import pytest

from wine import poll, read_ring, ring_step, win_path

INICIAL, ESPERA = "Inicial", "Espera"
IDC_IMAGE2, IDC_LIST1, IDC_LIST2 = 100, 101, 102
IDC_COMMAND1, IDC_COMMAND2 = 201, 202
IDC_LABEL2, IDC_LABEL4 = 300, (310, 311, 312, 313)
IDC_LINE1 = 320
IDC_TXTACTUALIZA = 502
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7

ERR = "\u00a1ERROR!"
LIST1_DEFAULT = ["Coin validator:", "FW: CV0100.00", "", "Coin recycler:", "FW: SH0300.10", "DS: SHDS0100", "",
                 "Banknote module:", "FW: NV0300.20", "DS: NVDS0200"]
LIST2_IMAGES = ["Coin validator:", "FW: -NOT AVAILABLE-", "", "Coin recycler:", "FW: SH0300.20", "DS: SHDS0101", "",
                "Banknote module:", "FW: NV0300.30", "DS: NVDS0201"]
LIST2_NONE = LIST2_IMAGES[:4] + ["FW: " + ERR, "DS: " + ERR, "", "Banknote module:", "FW: " + ERR, "DS: " + ERR]

ASK_RECYCLER = "\u00bfDo you want to update the coin recycler with the available firmware?"
ASK_BANKNOTE = "\u00bfDo you want to update the banknote unit with the available firmware?"
WARNING = ("\u00a1WARNING!\r\nThe update process is very sensible. Before starting the update, you must be sure "
           "of the system and power stability.\r\nIf any error occurs during the update process it can result "
           "in a total failure of the device.\r\nDo you want to continue? (the process can take several minutes)")
DOWNGRADE = ("The current version of the device is the same or newer that the available version to update "
             "to.\r\n\u00bfDo you want to downgrade?")
UPDATED = "Device updated correctly."
V2_NOT_FOUND = "System not found. Trying in V2..."
NOT_FOUND_RECYCLER = "The firmware file for the coin recycler was not found. Nothing has been updated."
UNKNOWN_RECYCLER = "The current version of the coin recycler could not be read. Nothing has been updated."

SCREENSHOTS = Path(__file__).resolve().parents[2] / "docs"

# Twip layout of the main window, as pixels at 96 dpi (left, top, width, height).
LAYOUT_96 = {IDC_IMAGE2: (8, 8, 150, 50), IDC_LIST1: (16, 104, 181, 145), IDC_LIST2: (288, 104, 185, 145),
             IDC_COMMAND1: (198, 106, 89, 69), IDC_COMMAND2: (198, 178, 89, 69)}
# The labels: text, alignment and designed place at 96 dpi. A label may be
# wider where the font the system gives needs it, away from its aligned edge.
LABELS_96 = {IDC_LABEL2: ("\u00ae", "centre", (152, 12, 8, 16)),
             IDC_LABEL4[2]: ("Firmware update", "left", (376, 28, 100, 16)),
             IDC_LABEL4[3]: ("v 2.3", "right", (448, 48, 27, 16)),
             IDC_LABEL4[0]: ("Current versions in device:", "left", (16, 84, 156, 16)),
             IDC_LABEL4[1]: ("Available version to update:", "left", (288, 84, 166, 16))}
CAPTIONS = {IDC_COMMAND1: "Update coin recycler", IDC_COMMAND2: "Update banknote unit"}
# Creation order, which is the tab order; of these only the lists and the
# buttons take the focus.
TAB_ORDER = [IDC_COMMAND1, IDC_LABEL2, IDC_LABEL4[2], IDC_LABEL4[0], IDC_LIST1, IDC_LABEL4[1], IDC_LIST2,
             IDC_LABEL4[3], IDC_COMMAND2]
WS_TABSTOP = 0x00010000


class Updater:
    """One run of the updater from a staged folder."""

    def __init__(self, runs, name, scenario=None, images=("SMARTHOPPER", "SMARTPAYOUT"), register="both",
                 cwd=None, show="normal"):
        self.folder = runs.tmp / name
        self.app = runs.renovo(register, scenario, show, cwd, name, images)
        self.probe = runs.bed.probe

    def main(self):
        return self.app.wait_window(INICIAL)

    def ready(self):
        """The main window is up and no box stands in front of it."""
        main = self.main()
        assert self.app.boxes() == []
        return main

    def lists(self, main):
        return self.probe.listbox(main["hwnd"], IDC_LIST1), self.probe.listbox(main["hwnd"], IDC_LIST2)

    def enabled(self, main, cid):
        return self.probe.control(main["hwnd"], cid)["enabled"]

    def click(self, main, cid):
        self.probe.call("click", main["hwnd"], cid)

    def refresh(self, main):
        return next(w for w in self.app.windows(INICIAL) if w["hwnd"] == main["hwnd"])

    def ops(self, op):
        return [c for c in self.app.calls() if c.op == op]

    def end(self, main):
        self.app.close_window(main)
        self.app.wait_exit()


@pytest.fixture
def updater(runs):
    def start(name="run", **kw):
        return Updater(runs, name, **kw)
    return start


# ---------------------------------------------------------------------------
# Lists and buttons after the load


@pytest.mark.parametrize("case", ["both", "none", "banknote rejected", "banknote missing", "odd versions"])
def test_lists_and_buttons_after_load(updater, case):
    scenario, images = {}, ("SMARTHOPPER", "SMARTPAYOUT")
    list1, list2 = list(LIST1_DEFAULT), list(LIST2_IMAGES)
    enabled = (True, True)
    if case == "none":
        images, list2 = (), LIST2_NONE
    elif case == "banknote rejected":
        scenario = {"v2.CheckSmartFirmwareFile.results": "i2:1, i2:0"}
        list2[8:10] = ["FW: " + ERR, "DS: " + ERR]
        enabled = (True, False)
    elif case == "banknote missing":
        images = ("SMARTHOPPER",)
        list2[8:10] = ["FW: " + ERR, "DS: " + ERR]
    elif case == "odd versions":
        # An empty text leaves the bare label; texts outside ASCII arrive whole.
        scenario = {"device.recycler.fw": "", "device.banknote.ds": "NV\\u00e9\\u4e2d\\u00a1"}
        list1[4] = "FW: "
        list1[9] = "DS: NV\u00e9\u4e2d\u00a1"
    u = updater(scenario=scenario, images=images)
    main = u.ready()
    assert u.lists(main) == (list1, list2)
    assert (u.enabled(main, IDC_COMMAND1), u.enabled(main, IDC_COMMAND2)) == enabled
    u.end(main)
    assert [c.gen for c in u.ops("Terminate")] == ["v2"]


def test_images_found_from_another_working_folder(updater, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    u = updater(cwd=elsewhere)
    main = u.ready()
    assert u.lists(main)[1] == LIST2_IMAGES
    u.end(main)


# ---------------------------------------------------------------------------
# Update commands: the two questions and the refusals


def test_questions_keep_the_main_window_disabled_and_cancel_or_no_change_nothing(updater):
    u = updater()
    main = u.ready()
    lists = u.lists(main)

    u.click(main, IDC_COMMAND1)
    box = u.app.expect_box(ASK_RECYCLER, "question", [IDOK, IDCANCEL])
    assert not u.refresh(main)["enabled"], "the main window must be unusable while a box is open"
    # A click on the other command that was queued before the box took over
    # asks nothing more.
    u.probe.call("press", main["hwnd"], IDC_COMMAND2)
    time.sleep(0.3)
    assert [b["hwnd"] for b in u.app.boxes()] == [box["hwnd"]]
    u.app.answer(box, IDCANCEL)
    u.app.no_box_for(0.5)

    u.click(main, IDC_COMMAND2)
    box = u.app.expect_box(ASK_BANKNOTE, "question", [IDOK, IDCANCEL])
    u.app.answer(box, IDOK)
    box = u.app.expect_box(WARNING, "asterisk", [IDYES, IDNO])
    assert not u.refresh(main)["enabled"]
    u.app.answer(box, IDNO)
    time.sleep(0.5)
    assert [w for w in u.app.windows(ESPERA) if w["visible"]] == []
    assert u.refresh(main)["enabled"]
    assert u.lists(main) == lists
    assert u.enabled(main, IDC_COMMAND1) and u.enabled(main, IDC_COMMAND2)
    assert u.ops("UpdateSmartFirmware") == []
    u.end(main)


def test_missing_image_refuses_before_any_question(updater):
    u = updater(images=("SMARTPAYOUT",))
    main = u.ready()
    u.click(main, IDC_COMMAND1)
    u.app.answer(u.app.expect_box(NOT_FOUND_RECYCLER, "exclamation", [IDOK]), IDOK)

    # An image that was there at the load but has gone since.
    (u.folder / "SMARTPAYOUT").unlink()
    u.click(main, IDC_COMMAND2)
    not_found_banknote = NOT_FOUND_RECYCLER.replace("coin recycler", "banknote unit")
    u.app.answer(u.app.expect_box(not_found_banknote, "exclamation", [IDOK]), IDOK)
    u.app.no_box_for(0.5)
    assert u.ops("UpdateSmartFirmware") == []
    u.end(main)


def test_unknown_current_version_refuses_the_update(updater):
    u = updater(scenario={"v2.GetFirmWareVersion.results": "i2:1, raise:Device not responding, i2:1"})
    box = u.app.wait_box()
    assert "Device not responding" in box["text"]
    u.app.answer(box, IDOK)
    main = u.ready()
    assert u.lists(main)[0][4:6] == ["FW: ", "DS: "]
    u.click(main, IDC_COMMAND1)
    u.app.answer(u.app.expect_box(UNKNOWN_RECYCLER, "exclamation", [IDOK]), IDOK)
    u.app.no_box_for(0.5)
    assert u.ops("UpdateSmartFirmware") == []
    u.end(main)


# ---------------------------------------------------------------------------
# One whole update through the real windows


def test_recycler_update_runs_modal_and_refreshes_the_main_window(updater):
    u = updater(scenario={"update.ms": 300})
    main = u.ready()
    u.click(main, IDC_COMMAND1)
    u.app.answer(u.app.expect_box(ASK_RECYCLER, "question", [IDOK, IDCANCEL]), IDOK)
    # Yes, and a click on the other command queued behind it: the wait
    # window's load lets it through, when it must find this update under way
    # (else it would ask its questions and run a second update over this one).
    box = u.app.expect_box(WARNING, "asterisk", [IDYES, IDNO])
    u.probe.call("press", box["hwnd"], IDYES, main["hwnd"], IDC_COMMAND2)

    wait = u.app.wait_window(ESPERA)
    client = wait["client"]
    assert (client[2] - client[0], client[3] - client[1]) == (124, 110)
    # Over the buttons: the caller's place plus the fixed offsets.
    assert (wait["rect"][0] - main["rect"][0], wait["rect"][1] - main["rect"][1]) == (184, 150)
    assert not u.refresh(main)["enabled"]
    # Neither the other command nor closing the main window gets through.
    u.probe.call("press", main["hwnd"], IDC_COMMAND2)
    u.app.close_window(main)
    time.sleep(0.5)
    assert u.app.running() and u.refresh(main)["visible"]

    done = u.app.expect_box("Device updated correctly.", "asterisk", [IDOK], timeout=30)
    assert not u.refresh(main)["enabled"]
    u.app.answer(done, IDOK)
    poll("the wait window to close", lambda: not [w for w in u.app.windows(ESPERA) if w["visible"]], 5)
    poll("the main window to come back", lambda: u.refresh(main)["enabled"], 5)

    list1 = u.lists(main)[0]
    assert list1[4:6] == ["FW: SH0300.20", "DS: SHDS0101"]
    assert (u.enabled(main, IDC_COMMAND1), u.enabled(main, IDC_COMMAND2)) == (False, True)
    assert [c.values for c in u.ops("UpdateSmartFirmware")] == [["BSTR=" + win_path(u.folder / "SMARTHOPPER"),
                                                                 "I2=1"]]
    u.end(main)


def test_whole_update_by_keys_alone_keeps_the_updater_in_front(runs, updater):
    """With another program open, every box of a start-up and a whole update
    (answered Cancel, No, Yes) hands the activation back to the updater
    window it stood over, and the keyboard alone drives the update: Tab
    through the controls, Enter and Space on the buttons, the boxes' keys."""
    other = runs.notepad()
    # The second generation's Connect fails (a box over the start-up cover);
    # the first generation's takes a moment, with the cover up again. The
    # devices already run what the images offer (a downgrade question).
    u = updater(scenario={"update.ms": 300, "v2.Connect.result": "i2:0", "v1.Connect.delay_ms": 1500,
                          "device.recycler.fw": "SH0300.20", "device.recycler.ds": "SHDS0101"})
    probe = u.probe

    def in_front(cls):
        def found():
            w = probe.foreground()
            return w if w and w["pid"] == u.app.pid and w["class"] == cls else None
        return poll(f"the updater's {cls} in front", found, 3)

    def focus_on(window, cid):
        def found():
            f = probe.focus(window["hwnd"])["focus"]
            return f and f["id"] == cid and f["root"] == window["hwnd"]
        return poll(f"the focus on control {cid}", found, 3)

    def box_by_key(text, icon, buttons, key):
        box = u.app.expect_box(text, icon, buttons)
        in_front("#32770")
        probe.keys(key)
        poll("the box to close", lambda: all(b["hwnd"] != box["hwnd"] for b in u.app.boxes()), 5)

    box_by_key(V2_NOT_FOUND, "hand", [IDOK], "ENTER")
    cover = in_front(ESPERA)
    assert other.running()

    main = u.ready()
    in_front(INICIAL)
    focus_on(main, IDC_COMMAND1)
    for key, cid in [("TAB", IDC_LIST1), ("TAB", IDC_LIST2), ("TAB", IDC_COMMAND2), ("TAB", IDC_COMMAND1),
                     ("shift+TAB", IDC_COMMAND2), ("TAB", IDC_COMMAND1)]:
        probe.keys(key)
        focus_on(main, cid)

    probe.keys("ENTER")
    box_by_key(ASK_RECYCLER, "question", [IDOK, IDCANCEL], "ESC")
    in_front(INICIAL)
    focus_on(main, IDC_COMMAND1)

    probe.keys("SPACE")
    box_by_key(ASK_RECYCLER, "question", [IDOK, IDCANCEL], "ENTER")
    box_by_key(WARNING, "asterisk", [IDYES, IDNO], "N")
    in_front(INICIAL)
    focus_on(main, IDC_COMMAND1)
    assert u.ops("UpdateSmartFirmware") == []

    probe.keys("ENTER")
    box_by_key(ASK_RECYCLER, "question", [IDOK, IDCANCEL], "ENTER")
    box_by_key(WARNING, "asterisk", [IDYES, IDNO], "Y")
    box_by_key(DOWNGRADE, "question", [IDYES, IDNO], "Y")
    wait = in_front(ESPERA)
    assert wait["hwnd"] != cover["hwnd"]
    focus_on(wait, IDC_TXTACTUALIZA)
    box_by_key(UPDATED, "asterisk", [IDOK], "ENTER")

    # Back in the main window; the used command is disabled, so the focus
    # has moved on from it, and Tab passes it by.
    poll("the wait window to close", lambda: not [w for w in u.app.windows(ESPERA) if w["visible"]], 5)
    in_front(INICIAL)
    assert not u.enabled(main, IDC_COMMAND1)
    focus_on(main, IDC_LIST1)
    for key, cid in [("TAB", IDC_LIST2), ("TAB", IDC_COMMAND2), ("TAB", IDC_LIST1)]:
        probe.keys(key)
        focus_on(main, cid)
    assert [c.values[1] for c in u.ops("UpdateSmartFirmware")] == ["I2=0"]
    assert u.app.boxes() == []
    u.end(main)


# ---------------------------------------------------------------------------
# Placement and look


def rect_in_client(probe, main, cid):
    r = probe.control(main["hwnd"], cid)["rect"]
    cs = main["client_screen"]["box"] if isinstance(main["client_screen"], dict) else main["client_screen"]
    return (r[0] - cs[0], r[1] - cs[1], r[2] - r[0], r[3] - r[1])


def client_origin(main):
    cs = main["client_screen"]
    return (cs["box"] if isinstance(cs, dict) else cs)[:2]


def test_starter_show_state_is_ignored(updater):
    # The launcher asks for "maximised"; neither window may take it.
    u = updater(show="max", scenario={"v2.Connect.delay_ms": 3000})
    wait = u.app.wait_window(ESPERA)
    c = wait["client"]
    assert (c[2] - c[0], c[3] - c[1]) == (124, 110)
    # Painted at its own size while the connect runs: a whole ring on white.
    # Wine hands a window's pixels to the X server a moment after the paint,
    # so the first read after the window turns up may still see none.
    x, y = wait["client_screen"][:2]
    poll("white behind the ring", lambda: u.probe.pixels([(x + 66, y + 2)]) == [(255, 255, 255)], 2)
    poll("a whole spinner picture", lambda: ring_step(read_ring(u.probe, wait)) is not None, 2)
    main = u.ready()
    c = main["client"]
    assert (c[2] - c[0], c[3] - c[1]) == (489, 269)
    assert not main["style"] & 0x01000000  # WS_MAXIMIZE
    u.end(main)


def screenshot(bed, main, path):
    r = main["rect"]
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["import", "-display", bed.xvfb.display, "-window", "root",
                    "-crop", f"{r[2] - r[0]}x{r[3] - r[1]}+{r[0]}+{r[1]}", "+repage", str(path)],
                   check=True, timeout=30)


def check_look(bed, u, main, scale):
    """Background, list colours and the logo's corner on the real screen, and
    every control inside the client area without overlapping another."""
    probe = u.probe
    ox, oy = client_origin(main)
    s = lambda v: round(v * scale)  # noqa: E731
    grey, white, green = (48, 48, 48), (255, 255, 255), (192, 255, 192)
    points = {"background": ((s(2), s(2)), grey), "background right": ((s(486), s(262)), grey),
              "List1": ((s(100), s(245)), white), "List2": ((s(380), s(245)), green),
              "logo corner": ((s(9), s(9)), grey), "logo bracket": ((s(8 + 13), s(8 + 25)), None)}
    colours = probe.pixels([(ox + x, oy + y) for (x, y), _ in points.values()])
    for (name, (_, want)), got in zip(points.items(), colours):
        if want:
            assert got == want, name
    r, g, b = colours[-1]
    assert r > 200 and 100 < g < 180 and b < 60, f"logo bracket is {colours[-1]}"

    c = main["client"]
    width, height = c[2] - c[0], c[3] - c[1]
    assert (width, height) == (s(489), s(269))
    ids = list(LAYOUT_96) + [IDC_LABEL2, *IDC_LABEL4, IDC_LINE1]
    rects = {cid: rect_in_client(probe, main, cid) for cid in ids}
    for cid, (x, y, w, h) in rects.items():
        assert x >= 0 and y >= 0 and x + w <= width and y + h <= height, f"control {cid} leaves the client area"
        if cid in LAYOUT_96:
            want = tuple(s(v) for v in LAYOUT_96[cid])
            assert all(abs(a - b) <= 1 for a, b in zip((x, y, w, h), want)), (cid, (x, y, w, h), want)
    solid = [IDC_LIST1, IDC_LIST2, IDC_COMMAND1, IDC_COMMAND2, *IDC_LABEL4]
    for i, a in enumerate(solid):
        for b in solid[i + 1:]:
            ax, ay, aw, ah = rects[a]
            bx, by, bw, bh = rects[b]
            assert ax + aw <= bx or bx + bw <= ax or ay + ah <= by or by + bh <= ay, f"{a} overlaps {b}"
    check_labels_rule_and_order(probe, main, rects, scale)


def check_labels_rule_and_order(probe, main, rects, scale):
    """Label texts and places, their font and colour as drawn on the screen,
    the button captions, the white rule, and the tab order."""
    s = lambda v: round(v * scale)  # noqa: E731
    children = probe.call("children", main["hwnd"])["children"]
    by_id = {c["id"]: c for c in children}
    # "MS Sans Serif" 9.75 pt regular, as the LOGFONT height at this DPI.
    label_height = -round(975 * 96 * scale / 7200)
    for cid, (text, align, (left, top, width, height)) in LABELS_96.items():
        assert by_id[cid]["text"] == text, cid
        x, y, w, h = rects[cid]
        assert (y, h) == (s(top), s(height)), (cid, rects[cid])
        assert w >= s(width), (cid, rects[cid])
        edge = {"left": x - s(left), "right": x + w - s(left + width),
                "centre": x + w / 2 - s(left + width / 2)}[align]
        assert abs(edge) <= 1, (cid, align, rects[cid])
        drawn = probe.call("drawn", main["hwnd"], cid, "MS Sans Serif", label_height, "FFFFFF")
        assert drawn["background"] == [48, 48, 48], (cid, drawn)
        assert drawn["ink"] > 0 and drawn["diff"] == 0 and drawn["fits"], (cid, drawn)
    assert {cid: by_id[cid]["text"] for cid in CAPTIONS} == CAPTIONS

    # One pixel (at 96 dpi) of white from x 160 to 475 on row 44, the
    # window's grey around it.
    x0, y0 = client_origin(main)
    left, right, row = s(160), s(476), s(44)
    thick = max(1, round(scale))
    assert rects[IDC_LINE1] == (left, row, right - left, thick)
    white, grey = (255, 255, 255), (48, 48, 48)
    along = [(left, row), ((left + right) // 2, row), (right - 1, row + thick - 1)]
    around = [(left - 1, row), (right, row), ((left + right) // 2, row - 1), ((left + right) // 2, row + thick)]
    colours = probe.pixels([(x0 + x, y0 + y) for x, y in along + around])
    assert colours == [white] * len(along) + [grey] * len(around), colours

    assert [c["id"] for c in children][:len(TAB_ORDER)] == TAB_ORDER
    assert [c["id"] for c in children if c["style"] & WS_TABSTOP] == [IDC_COMMAND1, IDC_LIST1, IDC_LIST2,
                                                                     IDC_COMMAND2]


def check_close_button(probe, main):
    """The title bar's close button shows a cross, not the letter "r" that
    Wine draws when its Marlett font is missing (the other buttons then read
    "0" and "1"): its dark pixels mirror each other across both axes of a
    square."""
    left, top, right, _ = main["rect"]
    box = [(x, y) for y in range(top + 2, top + 20) for x in range(right - 23, right - 3)]
    dark = {p for p, c in zip(box, probe.pixels(box)) if max(c) < 80}
    assert len(dark) >= 8, f"close button: {sorted(dark)}"
    xs, ys = [x for x, _ in dark], [y for _, y in dark]
    x0, x1, y0, y1 = min(xs), max(xs), min(ys), max(ys)
    assert x1 - x0 == y1 - y0, f"close button glyph is {x1 - x0 + 1} x {y1 - y0 + 1} pixels"
    assert dark == {(x0 + x1 - x, y) for x, y in dark} == {(x, y0 + y1 - y) for x, y in dark}, \
        f"close button glyph is no cross: {sorted(dark)}"


def check_program_icon(bed):
    """Both programs carry icon group 1: 16, 24, 32 and 48 px, 24-bit colour
    with a mask (the DIB is twice as high as the image)."""
    for exe in (bed.renovo_exe, bed.exe("Lanzo.exe")):
        images = bed.probe.call("icongroup", win_path(exe), 1)["images"]
        assert [(i["id"], i["width"], i["height"]) for i in images] == [
            (30001, 16, 16), (30002, 24, 24), (30003, 32, 32), (30004, 48, 48)], exe
        assert all(i["dib"] == [i["width"], 2 * i["height"], 24] for i in images), images


def test_look_at_96_and_144_dpi(bed, updater):
    check_program_icon(bed)
    u = updater("dpi96")
    main = u.ready()
    time.sleep(0.5)  # let the window paint
    check_look(bed, u, main, 1.0)
    check_close_button(u.probe, main)
    screenshot(bed, main, SCREENSHOTS / "screenshot-96dpi.png")
    u.end(main)

    try:
        bed.set_dpi(144)
        u = updater("dpi144")
        main = u.ready()
        time.sleep(0.5)
        check_look(bed, u, main, 1.5)
        screenshot(bed, main, SCREENSHOTS / "screenshot-144dpi.png")
        u.end(main)
    finally:
        bed.set_dpi(96)
