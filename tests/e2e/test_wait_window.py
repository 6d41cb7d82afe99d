"""The wait window that covers the updater's start-up.

A delayed Connect holds the start-up inside the component call with the
wait window up; the call runs on the component's own thread, so the window
keeps turning its spinner and repainting meanwhile. A failed Connect puts a
message box up instead, during which the spinner turns as well.
"""

import time

import pytest

from wine import RING_COLOURS, poll, read_ring, ring_pictures, ring_step

IDOK = 1
IDC_LBLINFO = 501
IDC_TXTACTUALIZA = 502

WS_MAXIMIZE = 0x01000000
WS_CAPTION = 0x00C00000
WS_BORDER = 0x00800000
WS_DLGFRAME = 0x00400000
WS_THICKFRAME = 0x00040000
WS_EX_FRAMES = 0x00000001 | 0x00000100 | 0x00000200 | 0x00020000  # dlgmodal, window, client, static edge


def size(rect):
    return rect[2] - rect[0], rect[3] - rect[1]


def centred_px(screen, extent):
    """Where centring in twips puts an edge: each half rounded to a whole
    twip (halves to even), then shown in pixels."""
    return round(round((screen - extent) * 15 / 2) / 15)


def watch_spinner(probe, window, seconds=1.5):
    # What was on the screen before shows until the window repaints.
    deadline = time.monotonic() + 3
    while ring_step(read_ring(probe, window)) is None and time.monotonic() < deadline:
        time.sleep(0.04)
    steps = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        colors = read_ring(probe, window)
        # A sample can fall between two repaints; only whole pictures count.
        assert set(colors) <= RING_COLOURS, colors
        step = ring_step(colors)
        if step is not None:
            steps.append(step)
        time.sleep(0.04)
    return steps


def assert_turns_clockwise(steps):
    assert len(steps) >= 5, steps
    assert len(set(steps)) >= 5, f"the spinner hardly moves: {steps}"
    moves = [(b - a) % 12 for a, b in zip(steps, steps[1:])]
    # Samples come faster than a turn of the ring, so each move is short.
    assert all(m <= 4 for m in moves), f"not clockwise: {steps}"


def assert_wait_window_look(bed, app, window):
    screen = bed.probe.screen()
    assert size(window["rect"]) == (124, 110)
    assert size(window["client"]) == (124, 110)
    style = window["style"]
    for bit in (WS_CAPTION, WS_BORDER, WS_DLGFRAME, WS_THICKFRAME):
        assert not style & bit, hex(style)
    assert not window["exstyle"] & WS_EX_FRAMES, hex(window["exstyle"])
    assert window["title"] == ""

    region = window["region"]
    assert region, "the window has no region"
    left, top, right, bottom = region["box"]
    assert (left, top) == (0, 0) and right in (123, 124) and bottom in (109, 110), region
    assert not region["corner_in"] and region["middle_in"], "the outline is not rounded"

    assert window["rect"][0] == centred_px(screen["width"], 124)
    assert window["rect"][1] == centred_px(screen["height"], 110)

    label = bed.probe.control(window["hwnd"], IDC_LBLINFO)
    assert label["text"] == "Connecting ....."
    assert label["visible"]
    # The window shows a moment before its hidden text box takes the focus.
    def text_box_focused():
        focus = bed.probe.focus(window["hwnd"])["focus"]
        return focus and focus["id"] == IDC_TXTACTUALIZA and focus["root"] == window["hwnd"]
    poll("the focus on TxtActualiza", text_box_focused, 2)


def assert_main_window_placed(bed, app, main):
    screen = bed.probe.screen()
    assert not main["style"] & WS_MAXIMIZE
    assert size(main["client"]) == (489, 269)
    w, h = size(main["rect"])
    assert abs(main["rect"][0] - centred_px(screen["width"], w)) <= 1, main["rect"]
    assert abs(main["rect"][1] - centred_px(screen["height"], h)) <= 1, main["rect"]


def assert_cannot_close(app, window):
    for how in ("altf4", "close", "sysclose"):
        app.close_window(window, how)
    time.sleep(0.5)
    still = [w for w in app.windows("Espera") if w["visible"]]
    assert [w["hwnd"] for w in still] == [window["hwnd"]]
    assert size(still[0]["rect"]) == (124, 110)


@pytest.mark.parametrize("show", ["normal", "max"])
def test_wait_window_while_connecting(bed, runs, show):
    app = runs.renovo("v2", {"v2.Connect.delay_ms": 6000}, show=show)
    window = app.wait_window("Espera")
    assert_wait_window_look(bed, app, window)
    # The long Connect runs on the component's thread: the cover stays alive
    # and still refuses to close.
    pictures = ring_pictures(bed.probe, window, 3)
    assert len(set(pictures)) >= 3, f"the cover hardly changed during Connect: {pictures}"
    assert_cannot_close(app, window)
    assert app.ops() == ["v2 Create"], "Connect must still be running"
    main = app.wait_window("Inicial", timeout=15)
    assert not any(w["visible"] for w in app.windows("Espera"))
    assert_main_window_placed(bed, app, main)
    app.close_window(main)
    app.wait_exit()


def test_spinner_turns_under_a_box_and_the_window_cannot_be_closed(bed, runs):
    app = runs.renovo("both", {"v2.Connect.result": "i2:0"})
    box = app.wait_box()
    window = app.wait_window("Espera")
    # Both are centred on the screen; move the box off the ring.
    bed.probe.call("move", box["hwnd"], 0, 0)
    assert_turns_clockwise(watch_spinner(bed.probe, window))
    # The status line in the labels' font ("MS Sans Serif" 9.75 pt), black
    # on the window's white.
    drawn = bed.probe.call("drawn", window["hwnd"], IDC_LBLINFO, "MS Sans Serif", -13, "000000")
    assert drawn["background"] == [255, 255, 255] and drawn["ink"] > 0, drawn
    assert drawn["diff"] == 0 and drawn["fits"], drawn

    assert_cannot_close(app, window)
    assert_turns_clockwise(watch_spinner(bed.probe, window, seconds=1.0))

    app.answer(box, IDOK)
    main = app.wait_window("Inicial")
    assert not any(w["visible"] for w in app.windows("Espera"))
    app.close_window(main)
    app.wait_exit()


def test_start_up_at_144_dpi_keeps_windows_centred_on_screen(bed, runs):
    bed.set_dpi(144)
    try:
        assert bed.probe.screen()["dpi"] == 144
        app = runs.renovo("v2", {"v2.Connect.delay_ms": 1500})
        window = app.wait_window("Espera")
        screen = bed.probe.screen()
        for rect in (window["rect"],):
            w, h = size(rect)
            assert 0 <= rect[0] and rect[2] <= screen["width"] and 0 <= rect[1] and rect[3] <= screen["height"]
            assert abs(rect[0] - (screen["width"] - w) / 2) <= 1
            assert abs(rect[1] - (screen["height"] - h) / 2) <= 1
        assert window["region"] and not window["region"]["corner_in"]
        assert bed.probe.control(window["hwnd"], IDC_LBLINFO)["text"] == "Connecting ....."

        main = app.wait_window("Inicial", timeout=15)
        w, h = size(main["rect"])
        assert abs(main["rect"][0] - (screen["width"] - w) / 2) <= 1
        assert abs(main["rect"][1] - (screen["height"] - h) / 2) <= 1
        app.close_window(main)
        app.wait_exit()
    finally:
        runs.end_all()
        bed.set_dpi(96)
    assert bed.probe.screen()["dpi"] == 96
