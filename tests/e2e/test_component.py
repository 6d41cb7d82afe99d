"""The updater's COM client layer against the registered simulator.

The checks themselves live in the cross-built test_component.exe (it needs
the COM types); here it is run under Wine with the simulator registered in
each of the four ways the updater meets the component.
"""

import pytest

from wine import win_path


def run_probe(bed, *args, timeout=120):
    exe = bed.exe("test_component.exe")
    return bed.wine.run(["wine", str(exe), *args], timeout=timeout, check=False)


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
