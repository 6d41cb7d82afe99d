"""The update run end to end: Renovo.exe under Wine against the simulator.

Each test copies the updater beside the two sample firmware images into a
folder of its own (the run hands the component the image path in the
updater's folder, and the main window looks for the images in the working
folder), starts it there, presses the update commands through winprobe and
reads the simulator's call log. The waits are the real 5 s and 25 s, so
related checks share one updater start.
"""

import time

import pytest

from wine import RING_COLOURS, SystemCallTrace, poll, read_ring, ring_pictures, ring_step, win_path

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

# SetThreadExecutionState during a write, and after it (ES_CONTINUOUS alone).
AWAKE, RELAXED = 0x80000003, 0x80000000
SHUTDOWN_REASON = "A firmware update is running. Switching off now can leave the device unusable."

# Per generation: the write's device number for each image, the restart, and
# the device numbers of the report's three version queries.
GEN = {
    "v2": {"write": {"SMARTHOPPER": "I2=1", "SMARTPAYOUT": "I2=3"}, "restart": ("StartUp", ["I2=0"]),
           "queries": ["I2=1", "I2=2", "I2=3"]},
    "v1": {"write": {"SMARTHOPPER": "I2=0", "SMARTPAYOUT": "I2=1"}, "restart": ("SoftStart", []),
           "queries": ["I2=2", "I2=0", "I2=1"]},
}


# ---------------------------------------------------------------------------
# The updater in a folder of its own


class Updater:
    def __init__(self, runs, register, scenario, name="updater", threading="Apartment", env=None):
        self.folder = runs.tmp / name
        self.app = runs.renovo(register, scenario, name=name, images=("SMARTHOPPER", "SMARTPAYOUT"),
                               threading=threading, env=env)
        self.bed = runs.bed
        self.probe = runs.bed.probe
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
        ask = ASK_RECYCLER if cid == IDC_COMMAND1 else ASK_BANKNOTE
        self.app.answer(self.app.expect_box(ask, "question", [IDOK, IDCANCEL]), IDOK)
        box = self.app.wait_box()
        assert box["text"].startswith("\u00a1WARNING!\r\nThe update process is very sensible.")
        assert box["icon"] == "asterisk"
        assert [b["id"] for b in box["buttons"]] == [IDYES, IDNO]
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
        ask = ASK_BANKNOTE if target == IDC_COMMAND2 else ASK_RECYCLER
        box = self.app.expect_box(ask, "question", [IDOK, IDCANCEL])
        self.app.answer(box, IDCANCEL)
        self.app.no_box_for(0.5)

    def close(self):
        self.app.close_window(self.main)
        self.app.wait_exit()


@pytest.fixture
def updater(runs):
    """Starts the updater; `runs` ends it after the test whatever happened."""
    def start(register="v2", scenario=None, threading="Apartment", env=None):
        return Updater(runs, register, scenario or {}, threading=threading, env=env)
    return start


def assert_spinner_turns(probe, espera, seconds=1.5):
    """Every picture of the ring is a whole one and the dark dot moves. The
    probe reads the twelve dots one after another, so a read that overlaps a
    repaint may see half of two pictures: such a read is taken again, and
    most reads must be whole."""
    darks, torn = [], 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        colours = read_ring(probe, espera)
        assert set(colours) <= RING_COLOURS, colours
        d = ring_step(colours)
        if d is None:
            torn += 1
        else:
            darks.append(d)
        time.sleep(0.07)
    assert torn <= len(darks) // 3, f"{torn} torn pictures against {len(darks)} whole ones"
    assert len(set(darks)) >= 6, f"the dark dot hardly moved: {darks}"


def expected_report(gen):
    """The calls that follow a successful write: restart, then the report's
    three queries, each handed empty texts."""
    g = GEN[gen]
    return ([(g["restart"][0], g["restart"][1])] +
            [("GetFirmWareVersion", [q, "BSTR|BYREF=", "BSTR|BYREF="]) for q in g["queries"]])


def awake_and_writes(trace):
    """The execution states the updater set and the writes the component
    began, in the order they happened."""
    out = []
    for name, args in trace.events():
        if name == "SetThreadExecutionState":
            out.append(args[0] & 0xFFFFFFFF)
        elif name == "OutputDebugStringW" and args and str(args[-1]).endswith("UpdateSmartFirmware begins"):
            out.append("write")
    return out


def shutdown_reasons(trace):
    return [(name, args) for name, args in trace.events() if name.startswith("ShutdownBlockReason")]


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
    assert [c.values for c in writes] == [[f"BSTR={u.image('SMARTHOPPER')}", g["write"]["SMARTHOPPER"]]]
    # Messages that reach the main window during the wait change nothing:
    # the other command, and a close request.
    u.press(IDC_COMMAND2)
    u.app.close_window(main)
    assert_spinner_turns(u.probe, espera)
    assert u.calls_since_startup()[-1].op == "UpdateSmartFirmware", "restarted before the wait was over"

    box = u.app.expect_box(UPDATED, "asterisk", [IDOK], timeout=10)
    waited = time.monotonic() - verifying
    assert 4.7 <= waited <= 7, f"the wait lasted {waited:.1f} s"
    # The report queries the devices only after the box.
    assert [(c.op, c.values) for c in u.calls_since_startup()[1:]] == expected_report(gen)[:1]
    assert u.list1() == DEVICE_LINES
    u.app.answer(box, IDOK)

    u.wait_window_closes()
    assert [(c.op, c.values) for c in u.calls_since_startup()[1:]] == expected_report(gen)
    assert u.list1() == DEVICE_LINES[:4] + ["FW: SH0300.20", "DS: SHDS0101"] + DEVICE_LINES[6:]
    assert u.list2() == IMAGE_LINES
    assert not u.enabled(IDC_COMMAND1)
    assert u.enabled(IDC_COMMAND2)
    u.app.no_box_for(0.5)
    assert u.app.running(), "the close request during the update must not end the program"

    u.assert_usable()
    u.press(IDC_COMMAND1)  # disabled: a click that arrives by message does nothing
    u.app.no_box_for(0.5)
    u.close()
    assert u.app.ops()[-1] == f"{gen} Terminate"
    # Created, called and released on one thread of its own: the windows'
    # thread never waits inside the component.
    threads = u.app.component_threads()
    assert len(threads) == 1 and u.main["tid"] not in threads, (threads, u.main["tid"])


# Whatever threading model the component is registered with (none: an old
# single-threaded server, which COM creates in the process's first
# single-threaded apartment), it is created and called on the component
# thread, and the windows stay alive during the write.
@pytest.mark.parametrize("threading", ["Apartment", "none", "Both"])
def test_a_long_write_keeps_the_windows_alive_and_its_failure_still_tells(updater, threading):
    u = updater("v2", {"v2.UpdateSmartFirmware.delay_ms": 8000,
                       "v2.UpdateSmartFirmware.result": "raise:Flash write timed out"}, threading=threading)
    espera = u.start_update(IDC_COMMAND1)
    started = time.monotonic()
    assert u.label(espera) == UPDATING
    # A close request and the other command reach the main window during
    # the write, and the end of the session is refused. Brought to the
    # front, the main window hands the activation on to the wait window,
    # whose spinner keeps turning in view.
    u.app.close_window(u.main)
    u.press(IDC_COMMAND2)
    assert not u.bed.wine.end_session(), "the session may not end in the middle of a write"
    u.probe.call("raise", u.main["hwnd"])
    poll("the wait window in front", lambda: u.probe.foreground()["hwnd"] == espera["hwnd"], 3)
    pictures = ring_pictures(u.probe, espera, 3)
    assert len(set(pictures)) >= 3, f"the wait window hardly changed during the write: {pictures}"
    assert not u.main_window()["enabled"]
    assert u.calls_since_startup() == [], "the write must still be running"

    box = u.app.expect_box(FAILED + "\r\nFlash write timed out", "hand", [IDOK], timeout=15)
    assert time.monotonic() - started >= 6.5, "the box came before the write had ended"
    u.app.answer(box, IDOK)
    u.wait_window_closes()
    assert u.app.running(), "the close request and the end of the session must not end the program"
    assert [c.op for c in u.calls_since_startup()] == ["UpdateSmartFirmware"]
    assert u.list1() == DEVICE_LINES
    u.assert_usable()
    u.close()
    threads = u.app.component_threads()
    assert len(threads) == 1 and u.main["tid"] not in threads, (threads, u.main["tid"])


def test_a_quit_during_the_update_waits_for_its_report_without_spinning(bed, updater):
    # A WM_QUIT posted to the windows' thread while the write runs: the
    # write's wait and the 5 s wait still sleep between events, the report
    # box stays until it is answered, and then the quit ends the program the
    # way a close does, Terminate first.
    trace = SystemCallTrace(bed.wine, bed.trace, ["SetThreadExecutionState"])
    u = updater("v2", {"update.ms": 4000}, env=trace.env)
    espera = u.start_update(IDC_COMMAND1)
    u.probe.call("postquit", u.main["hwnd"], 7)
    assert u.app.cpu_share(2) < 10, "busy during the write"
    assert u.label(espera) == UPDATING, "the write ended too early"
    u.wait_for_label(espera, VERIFYING, 5)
    assert u.app.cpu_share(3) < 10, "busy during the wait"

    box = u.app.expect_box(UPDATED, "asterisk", [IDOK], timeout=10)
    u.probe.call("postquit", u.main["hwnd"], 9)  # inside the box's own message loop
    time.sleep(0.5)
    assert [b["hwnd"] for b in u.app.boxes()] == [box["hwnd"]], "the report must stay until it is answered"
    assert awake_and_writes(trace) == [AWAKE, "write"]
    u.app.answer(box, IDOK)
    assert u.app.wait_exit() == 7
    assert awake_and_writes(trace) == [AWAKE, "write", RELAXED]
    assert [c.op for c in u.calls_since_startup()] == (["UpdateSmartFirmware", "StartUp"] +
                                                      ["GetFirmWareVersion"] * 3 + ["Terminate"])


def test_banknote_module_update_waits_25_seconds(updater):
    u = updater("v2", {"update.ms": 200})
    espera = u.start_update(IDC_COMMAND2)
    u.wait_for_label(espera, VERIFYING, 5)
    verifying = time.monotonic()
    assert [(c.op, c.values) for c in u.calls_since_startup()] == [
        ("UpdateSmartFirmware", [f"BSTR={u.image('SMARTPAYOUT')}", "I2=3"])]

    # Still turning late in the long wait, and nothing restarted yet.
    time.sleep(20)
    assert_spinner_turns(u.probe, espera, 1.2)
    assert [c.op for c in u.calls_since_startup()] == ["UpdateSmartFirmware"]

    box = u.app.expect_box(UPDATED, "asterisk", [IDOK], timeout=10)
    waited = time.monotonic() - verifying
    assert 24.7 <= waited <= 27, f"the wait lasted {waited:.1f} s"
    u.app.answer(box, IDOK)
    u.wait_window_closes()
    assert [(c.op, c.values) for c in u.calls_since_startup()[1:]] == expected_report("v2")
    assert u.list1() == DEVICE_LINES[:8] + ["FW: NV0300.30", "DS: NVDS0201"]
    assert u.enabled(IDC_COMMAND1)
    assert not u.enabled(IDC_COMMAND2)
    u.close()


def test_failed_updates_leave_everything_for_another_try(bed, updater):
    # Whatever a write's outcome, the machine and the screen are kept awake
    # from just before it begins until its report is answered; the refused
    # end of the session has a reason registered while the update runs.
    trace = SystemCallTrace(bed.wine, bed.trace, ["SetThreadExecutionState", "ShutdownBlockReasonCreate",
                                                  "ShutdownBlockReasonDestroy"])
    u = updater("v2", {"update.ms": 200,
                       "v2.UpdateSmartFirmware.results": "i2:0, raise:Flash write rejected, i2:1"},
                env=trace.env)
    assert awake_and_writes(trace) == []
    for text in (FAILED, FAILED + "\r\nFlash write rejected"):
        u.start_update(IDC_COMMAND1)
        box = u.app.expect_box(text, "hand", [IDOK])
        assert awake_and_writes(trace)[-2:] == [AWAKE, "write"], "awake until the report is answered"
        if text == FAILED:
            assert not u.bed.wine.end_session(), "the session may not end during an update"
            assert shutdown_reasons(trace)[-1] == ("ShutdownBlockReasonCreate", [u.main["hwnd"], SHUTDOWN_REASON])
        u.app.answer(box, IDOK)
        u.wait_window_closes()
        assert awake_and_writes(trace)[-3:] == [AWAKE, "write", RELAXED]
        assert shutdown_reasons(trace)[-1] == ("ShutdownBlockReasonDestroy", [u.main["hwnd"]])
        u.app.no_box_for(0.5)
        assert u.list1() == DEVICE_LINES
        assert u.enabled(IDC_COMMAND1) and u.enabled(IDC_COMMAND2)
    assert [c.op for c in u.calls_since_startup()] == ["UpdateSmartFirmware"] * 2, "no restart, no report"

    # The third try succeeds.
    u.start_update(IDC_COMMAND1)
    box = u.app.expect_box(UPDATED, "asterisk", [IDOK], timeout=15)
    assert awake_and_writes(trace)[-2:] == [AWAKE, "write"]
    u.app.answer(box, IDOK)
    u.wait_window_closes()
    assert awake_and_writes(trace) == [AWAKE, "write", RELAXED] * 3
    assert [c.op for c in u.calls_since_startup()] == (["UpdateSmartFirmware"] * 3 + ["StartUp"] +
                                                      ["GetFirmWareVersion"] * 3)
    assert u.list1()[4:6] == ["FW: SH0300.20", "DS: SHDS0101"]
    assert not u.enabled(IDC_COMMAND1)
    u.close()


def test_downgrade_question(updater):
    # The recycler already runs what the image offers. The component keeps
    # posting to a window of its own whenever it is idle: every call still
    # gets its turn.
    u = updater("v2", {"update.ms": 200, "device.recycler.fw": "SH0300.20", "device.recycler.ds": "SHDS0101",
                       "post_to_self": "on"})
    before = u.list1()

    u.start_update(IDC_COMMAND1)
    u.app.answer(u.app.expect_box(DOWNGRADE, "question", [IDYES, IDNO]), IDNO)
    u.wait_window_closes()
    u.app.no_box_for(0.5)
    assert u.calls_since_startup() == []
    assert u.list1() == before
    assert u.enabled(IDC_COMMAND1)

    u.start_update(IDC_COMMAND1)
    u.app.answer(u.app.expect_box(DOWNGRADE, "question", [IDYES, IDNO]), IDYES)
    u.app.answer(u.app.expect_box(UPDATED, "asterisk", [IDOK], timeout=15), IDOK)
    u.wait_window_closes()
    calls = u.calls_since_startup()
    assert (calls[0].op, calls[0].values) == ("UpdateSmartFirmware", [f"BSTR={u.image('SMARTHOPPER')}", "I2=1"])
    assert [c.op for c in calls[1:]] == ["StartUp"] + ["GetFirmWareVersion"] * 3
    assert not u.enabled(IDC_COMMAND1)
    u.close()


def test_banknote_module_too_old(updater):
    u = updater("v2", {"update.ms": 200, "device.banknote.fw": "NV0200410.07"})

    # Its own update is refused, even after Yes to the downgrade question.
    u.start_update(IDC_COMMAND2)
    u.app.answer(u.app.expect_box(TOO_OLD, "exclamation", [IDOK]), IDOK)
    u.app.answer(u.app.expect_box(DOWNGRADE, "question", [IDYES, IDNO]), IDYES)
    u.app.answer(u.app.expect_box(TOO_OLD, "exclamation", [IDOK]), IDOK)
    u.wait_window_closes()
    u.app.no_box_for(0.5)
    assert u.calls_since_startup() == []
    assert u.enabled(IDC_COMMAND2)

    # The coin recycler's update goes ahead; the warning comes before the
    # write and again after the restart, before the success box.
    u.start_update(IDC_COMMAND1)
    u.app.answer(u.app.expect_box(TOO_OLD, "exclamation", [IDOK]), IDOK)
    box = u.app.expect_box(TOO_OLD, "exclamation", [IDOK], timeout=15)
    assert [c.op for c in u.calls_since_startup()] == ["UpdateSmartFirmware", "StartUp"]
    u.app.answer(box, IDOK)
    u.app.answer(u.app.expect_box(UPDATED, "asterisk", [IDOK]), IDOK)
    u.wait_window_closes()
    assert [c.op for c in u.calls_since_startup()] == ["UpdateSmartFirmware", "StartUp"] + ["GetFirmWareVersion"] * 3
    assert u.list1()[4:6] == ["FW: SH0300.20", "DS: SHDS0101"]
    assert u.list1()[8] == "FW: NV0200410.07"
    u.close()
