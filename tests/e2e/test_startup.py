"""Start-up and shut-down of the updater against the simulated component.

Each test starts Renovo.exe under Wine with the simulator registered for a
set of generations and a scenario, watches its windows and boxes through
winprobe and reads the simulator's call log.
"""

import time

import pytest

from wine import E2EError

INICIAL = "Inicial"
ESPERA = "Espera"
IDOK = 1
IDC_COMMAND2 = 202

CONNECT_ARGS = ["BSTR|BYREF=127.0.0.1", "I2=8001", "I2=8002", "I2=0", "I4=100001"]
STARTUP_V2_ARGS = ["I2=0"]
STARTUP_V1_ARGS = ["BOOL=-1", "I2=0", "I2=0", "I2=0", "I2=0", "I2=254", "I2=255", "I2=8"]

INIT_FAILED = "Could not initialize the device. Check connections."
V2_NOT_FOUND = "System not found. Trying in V2..."
V1_NOT_FOUND = "System not found in LOCALHOST. Cannot start the process."


def visible_main(app):
    return [w for w in app.windows(INICIAL) if w["visible"]]


def assert_error_box(box, text):
    assert box["text"] == text
    assert box["icon"] == "hand"
    assert [b["id"] for b in box["buttons"]] == [IDOK]
    assert box["default"] == IDOK


def expect_box_then_end(app, text):
    """A start-up failure: the box, no main window behind it, and after OK
    the process ends."""
    box = app.wait_box()
    assert_error_box(box, text)
    assert not visible_main(app)
    app.answer(box, IDOK)
    app.wait_exit()


def come_up(app):
    """The main window appears with no message box on the way."""
    main = app.wait_window(INICIAL)
    assert app.boxes() == []
    return main


def close_and_end(app, main, how="close"):
    app.close_window(main, how)
    app.wait_exit()


def gens_of(app, op):
    return [c.gen for c in app.calls() if c.op == op]


@pytest.mark.parametrize("register", ["v2", "both"])
def test_second_generation_is_used_when_it_comes_up(runs, register):
    app = runs.renovo(register)
    main = come_up(app)
    calls = app.calls()
    assert {c.gen for c in calls} == {"v2"}, "the first generation must not even be created"
    connect = [c for c in calls if c.op == "Connect"]
    assert [c.args for c in connect] == [CONNECT_ARGS]
    assert [c.args for c in calls if c.op == "StartUp"] == [STARTUP_V2_ARGS]
    assert gens_of(app, "GetFirmWareVersion") == ["v2"] * 3

    close_and_end(app, main, "sysclose")
    assert gens_of(app, "Terminate") == ["v2"]
    assert gens_of(app, "Disconnect") == []
    assert app.ops()[-1] == "v2 Terminate"


def test_first_generation_alone_comes_up_silently_and_gets_every_call(runs):
    app = runs.renovo("v1")
    main = come_up(app)
    calls = app.calls()
    assert {c.gen for c in calls} == {"v1"}
    assert [c.args for c in calls if c.op == "Connect"] == [CONNECT_ARGS]
    assert [c.args for c in calls if c.op == "StartUp"] == [STARTUP_V1_ARGS]
    assert gens_of(app, "GetFirmWareVersion") == ["v1"] * 3

    close_and_end(app, main)
    assert gens_of(app, "Terminate") == ["v1"]
    assert app.ops()[-1] == "v1 Terminate"


def test_neither_generation_registered(runs):
    app = runs.renovo("none")
    expect_box_then_end(app, INIT_FAILED)
    assert app.calls() == []


@pytest.mark.parametrize("failure", ["i2:0", "raise:Service unreachable"])
def test_second_generation_connect_failure_falls_back_after_its_box(runs, failure):
    app = runs.renovo("both", {"v2.Connect.result": failure})
    box = app.wait_box()
    assert_error_box(box, V2_NOT_FOUND)
    # The fallback waits for the user.
    assert "v1 Create" not in app.ops()
    app.answer(box, IDOK)

    main = come_up(app)
    assert app.ops()[:5] == ["v2 Create", "v2 Connect", "v1 Create", "v1 Connect", "v1 StartUp"]
    assert gens_of(app, "Disconnect") == []
    assert gens_of(app, "GetFirmWareVersion") == ["v1"] * 3
    close_and_end(app, main)
    assert gens_of(app, "Terminate") == ["v1"]


@pytest.mark.parametrize("failure", ["i2:0", "raise:Devices do not answer"])
def test_second_generation_startup_failure_disconnects_it_once_and_falls_back(runs, failure):
    app = runs.renovo("both", {"v2.StartUp.result": failure})
    main = come_up(app)
    assert app.ops()[:7] == ["v2 Create", "v2 Connect", "v2 StartUp", "v2 Disconnect",
                             "v1 Create", "v1 Connect", "v1 StartUp"]
    assert gens_of(app, "Disconnect") == ["v2"]
    assert gens_of(app, "GetFirmWareVersion") == ["v1"] * 3
    close_and_end(app, main)
    assert gens_of(app, "Terminate") == ["v1"]


def test_first_generation_connect_failure_ends_the_program(runs):
    app = runs.renovo("v1", {"v1.Connect.result": "i2:0"})
    expect_box_then_end(app, V1_NOT_FOUND)
    assert app.ops() == ["v1 Create", "v1 Connect"], "no Disconnect after a failed Connect, no Terminate"


def test_first_generation_startup_failure_disconnects_before_its_box(runs):
    app = runs.renovo("v1", {"v1.StartUp.result": "i2:0"})
    box = app.wait_box()
    # The box blocks the program, so Disconnect is in the log before it.
    assert app.ops() == ["v1 Create", "v1 Connect", "v1 StartUp", "v1 Disconnect"]
    assert_error_box(box, INIT_FAILED)
    assert not visible_main(app)
    app.answer(box, IDOK)
    app.wait_exit()
    assert gens_of(app, "Terminate") == []


@pytest.mark.parametrize("op", ["Connect", "StartUp"])
def test_first_generation_raising_ends_with_the_init_failure_box(runs, op):
    app = runs.renovo("both", {"v2.Connect.result": "i2:0", f"v1.{op}.result": "raise:Port busy"})
    v2_box = app.wait_box()
    assert_error_box(v2_box, V2_NOT_FOUND)
    app.answer(v2_box, IDOK)
    expect_box_then_end(app, INIT_FAILED)
    assert gens_of(app, "Terminate") == []


# What counts as a started device. Anything that is not a whole number from
# 1 to 255 after the byte conversion (halves round to even) is a failure and
# must not bring the program down.
@pytest.mark.parametrize("result,success", [
    ("i2:1", True),
    ("i2:255", True),
    ("ui1:255", True),
    ("i4:7", True),
    ("bool:true", True),
    ("r8:1.5", True),
    ("str:7", True),
    ("i2:-1", False),
    ("i4:256", False),
    ("r8:0.5", False),
    ("str:abc", False),
    ("empty", False),
    ("null", False),
    ("bool:false", False),
    ("hresult:0x80004005", False),
])
def test_startup_results(runs, result, success):
    app = runs.renovo("both", {"v2.StartUp.result": result})
    main = come_up(app)
    if success:
        assert gens_of(app, "Create") == ["v2"]
        assert gens_of(app, "Disconnect") == []
    else:
        assert gens_of(app, "Create") == ["v2", "v1"]
        assert gens_of(app, "Disconnect") == ["v2"]
    close_and_end(app, main)
    assert gens_of(app, "Terminate") == (["v2"] if success else ["v1"])


def test_the_main_window_closes_only_when_the_user_closes_it(runs):
    # Close requests to the main window, still hidden, between its load's
    # calls and over its failure box change nothing: no Terminate, and the
    # load goes on to its end.
    app = runs.renovo("v2", {"v2.Terminate.delay_ms": 3000, "v2.GetFirmWareVersion.delay_ms": 500,
                             "v2.GetFirmWareVersion.results": "i2:1, i2:1, raise:Device not responding"})
    loading = app.wait_window(INICIAL, visible=False)
    app.close_window(loading)
    box = app.wait_box()
    assert "Device not responding" in box["text"]
    app.close_window(loading)
    app.close_window(loading, "sysclose")
    time.sleep(0.3)
    app.answer(box, IDOK)
    main = come_up(app)
    assert main["hwnd"] == loading["hwnd"]
    assert [c.op for c in app.calls()][-3:] == ["GetFirmWareVersion"] * 3
    assert main["title"] == "Cofrex Tools - Firmware update v1.1"
    with pytest.raises(E2EError):
        app.wait_exit(timeout=1)
    assert gens_of(app, "Terminate") == []
    assert not app.windows(ESPERA) or not any(w["visible"] for w in app.windows(ESPERA))
    # While a slow Terminate runs, another close and the other command
    # change nothing: one Terminate, no question, then the end.
    app.close_window(main)
    time.sleep(1)
    assert app.running()
    app.close_window(main, "sysclose")
    app.probe.call("press", main["hwnd"], IDC_COMMAND2)
    app.no_box_for(0.5)
    app.wait_exit()
    assert gens_of(app, "Terminate") == ["v2"]


def test_the_end_of_the_session_while_idle_tells_the_component_first(bed, runs):
    app = runs.renovo("v2")
    come_up(app)
    assert bed.wine.end_session(), "nothing runs that the end of the session would cut short"
    app.wait_exit()
    assert gens_of(app, "Terminate") == ["v2"]
    bed.probe.call("ping")  # the bed itself lives on for the next test
