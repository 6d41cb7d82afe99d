"""The updater's COM client layer against the registered simulator.

The checks themselves live in the cross-built test_component.exe (it needs
the COM types); here it is run under Wine with the simulator registered in
each of the four ways the updater meets the component.
"""

import shutil

import pytest

from wine import poll, read_calls, win_path, write_scenario

CLSID_V2 = "{6F1C2A31-8E4B-4C7D-9A52-3B0E7D41C902}"


def run_probe(bed, *args, timeout=120):
    exe = bed.exe("test_component.exe")
    return bed.wine.run([*bed.wine.cmd, str(exe), *args], timeout=timeout, check=False)


def test_client_layer_against_simulator(bed, tmp_path):
    bed.sim.register("both")
    done = run_probe(bed, "suite", win_path(tmp_path / "work"))
    assert done.returncode == 0, done.stdout
    assert "0 failure(s)" in done.stdout


@pytest.mark.parametrize("which, v2, v1", [
    ("both", "yes", "yes"),
    ("v2", "yes", "no"),
    ("v1", "no", "yes"),
    ("none", "no", "no"),
])
def test_registration_decides_what_can_be_created(bed, which, v2, v1):
    bed.sim.register(which)
    done = run_probe(bed, "probe")
    assert done.returncode == 0, done.stdout
    assert f"ArconlibV2.Arcon={v2}" in done.stdout
    assert f"ArconLib.Arcon={v1}" in done.stdout


def test_sample_images_pass_the_component_check(bed):
    bed.sim.register("both")
    images = bed.build.root / "firmware"
    hopper, payout = images / "SMARTHOPPER", images / "SMARTPAYOUT"
    assert hopper.stat().st_size == 202_768
    assert payout.stat().st_size == 947_952

    def check(path, device):
        done = run_probe(bed, "check", win_path(path), str(device))
        assert done.returncode == 0, done.stdout
        return done.stdout.strip().splitlines()[-1].split("\t")

    # Each image is newer than what the simulated devices report at first.
    assert check(hopper, 0) == ["1", "SH0300.20", "SHDS0101"]
    assert check(payout, 1) == ["1", "NV0300.30", "NVDS0201"]
    # An image offered for the other device is refused.
    assert check(hopper, 1)[0] == "0"
    assert check(payout, 0)[0] == "0"


def test_chaos_is_replayed_by_its_seed(bed, tmp_path):
    """The same seed gives the same answers in another process; another
    seed gives others. Each injected fault is in the log, by kind."""
    bed.sim.register("both")
    image = tmp_path / "SMARTHOPPER"
    image.write_bytes(bed.build.need("SMARTHOPPER").read_bytes())

    def trace(seed, name):
        scen = write_scenario(tmp_path / f"{name}.txt", {
            "chaos": seed, "chaos.rate": 60, "chaos.delay_ms": 2, "update.ms": 0})
        log = tmp_path / f"{name}.log"
        done = bed.wine.run([*bed.wine.cmd, str(bed.exe("test_component.exe")), "chaos", win_path(image)],
                            timeout=120, check=False,
                            extra_env={"ARCONSIM_SCENARIO": win_path(scen), "ARCONSIM_LOG": win_path(log)})
        assert done.returncode == 0, done.stdout
        return done.stdout, [c for c in read_calls(log) if c.op == "Chaos"]

    first, faults = trace(4242, "a")
    again, faults_again = trace(4242, "b")
    other, _ = trace(4243, "c")
    assert first == again
    assert [c.line for c in faults] == [c.line for c in faults_again]
    assert first != other
    assert not [c for c in read_calls(tmp_path / "a.log") if c.op == "ScenarioError"]

    kinds = {c.args[1] for c in faults}
    assert kinds == {"result", "raise", "hresult", "version", "delay"}
    results = {c.args[2].split("=")[0] + ("=" + c.args[2].split("=")[1] if c.args[2].startswith("I2") else "")
               for c in faults if c.args[1] == "result"}
    assert {"I2=0", "I2=1", "I2=255", "I2=256", "I2=-1", "BOOL", "BSTR", "EMPTY", "NULL"} <= results
    versions = {c.args[2].split(":")[1] for c in faults if c.args[1] == "version"}
    assert versions == {"empty", "long", "nonascii", "nul", "old"}
    # Version faults only where versions are written back.
    assert {c.args[0] for c in faults if c.args[1] == "version"} <= {"GetFirmWareVersion", "CheckSmartFirmwareFile"}
    # The log line of the call itself shows the drawn answer; a call that
    # failed wrote no versions back, so none are counted for it.
    pending, failed_with_versions = [], []
    for c in read_calls(tmp_path / "a.log"):
        if c.op == "Chaos":
            pending.append(c)
        elif c.op not in ("Create", "Release"):
            if c.result.startswith(("raise:", "hresult:")) and any(p.args[1] == "version" for p in pending):
                failed_with_versions.append(c.line)
            pending = []
    assert failed_with_versions == []
    lines = [c for c in read_calls(tmp_path / "a.log") if c.op not in ("Chaos", "Create", "Release")]
    assert any(c.result == "I2=256" for c in lines)


@pytest.mark.parametrize("stored_as", ["REG_SZ", "REG_EXPAND_SZ"])
def test_component_loading_a_dll_of_its_own_folder_works(bed, runs, tmp_path, stored_as):
    """The updater narrows the DLL search to the system folder at start-up
    and adds the registered component's folder back, whichever way its path
    is stored. This component loads a DLL of its folder by bare name in
    every call, and its calls raise when that fails."""
    vendor = tmp_path / "vendor"
    vendor.mkdir()
    for name in ("ArconSimDep.dll", "ArconDep.dll"):
        shutil.copy(bed.exe(name), vendor / name)
    bed.wine.run([*bed.wine.regsvr32, "/s", win_path(vendor / "ArconSimDep.dll")],
                 extra_env={"ARCONSIM_REGISTER": "v2"})
    bed.sim.current = ("v2", "Apartment")  # registered above, from the vendor folder
    if stored_as == "REG_EXPAND_SZ":
        bed.wine.run([*bed.wine.reg, "add", rf"HKLM\Software\Classes\CLSID\{CLSID_V2}\InprocServer32", "/ve",
                      "/t", "REG_EXPAND_SZ", "/d", r"%ARCONSIM_VENDOR%\ArconSimDep.dll", "/f"])
    try:
        app = runs.renovo(register="v2", env={"ARCONSIM_VENDOR": win_path(vendor)})
        poll("the main window or a box",
             lambda: app.boxes() or [w for w in app.windows("Inicial") if w["visible"]], 30)
        loads = {c.args[-1] for c in app.calls() if c.op == "Dependency"}
        assert loads == {"loaded"}, app.calls()
        assert app.boxes() == []
        assert [op for op in app.ops() if op != "v2 Dependency"][:3] == ["v2 Create", "v2 Connect", "v2 StartUp"]
        app.close_window(app.wait_window("Inicial"))
        app.wait_exit()
    finally:
        bed.sim.current = None  # the next test registers the plain simulator again
