"""Session set-up for the end-to-end tests under Wine.

Environment:
  E2E_BUILD    the MinGW cross build folder whose programs run (default
               /work/main/build/win32; build/win64 is the 64-bit twin, which
               runs in a 64-bit prefix)
  E2E_SHIPPED_BUILD
               the shipped 32-bit build whose files test_imports.py checks
               (default E2E_BUILD)
  E2E_DISPLAY  an X display to use (started when nothing runs there);
               default: the first free display from :97 on
  E2E_TAG      name stem of the temporary Wine prefix (default "e2e")
  E2E_RENOVO   use this updater executable instead of the built one
  E2E_WINEARCH win32 (default for the 32-bit build) or win64: a 64-bit
               prefix, where the 32-bit programs and the simulator run under
               WoW64 (`-m win64` selects the short subset that CI runs there)
  E2E_RELEASE_DIST, E2E_RELEASE_CA
               a signed release and its throwaway certificate to check
               (scripts/test.sh makes them; see test_imports.py)
"""

import os
import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from wine import App, Build, Probe, Simulator, Wine, Xvfb, win_path, write_scenario  # noqa: E402


# The short subset that CI runs once more in a 64-bit prefix, the field
# machines' case: start-up with either generation, the component found in
# the 32-bit registry view and its DLL search, the import tables, and one
# whole update through the launcher. "FILE::NAME" prefixes of test ids.
WIN64_SUBSET = (
    "test_startup.py::test_second_generation_is_used_when_it_comes_up[both]",
    "test_startup.py::test_first_generation_alone_comes_up_silently_and_gets_every_call",
    "test_component.py::test_registration_decides_what_can_be_created",
    "test_component.py::test_component_loading_a_dll_of_its_own_folder_works",
    "test_imports.py::test_only_system_folder_dlls_are_imported",
    "test_imports.py::test_a_delay_loaded_dll_is_seen",
    "test_launcher.py::test_whole_update_through_the_launcher",
)


def pytest_configure(config):
    config.addinivalue_line("markers", "win64: in the subset that also runs in a 64-bit prefix")


@pytest.hookimpl(tryfirst=True)  # before -m and -k deselect anything
def pytest_collection_modifyitems(config, items):
    ids = {item: f"{Path(str(item.path)).name}::{item.name}" for item in items}
    modules = {Path(str(item.path)).name: item.module for item in items}
    for entry in WIN64_SUBSET:
        hits = [item for item, i in ids.items() if i.startswith(entry)]
        # A renamed test must not drop out of the subset unnoticed; asked of
        # the module, since a test picked by its id collects no other.
        file, name = entry.split("::")
        if file in modules and not hasattr(modules[file], name.split("[")[0]):
            raise pytest.UsageError(f"the 64-bit subset names {entry!r}, which is no test")
        for item in hits:
            item.add_marker(pytest.mark.win64)


class Bed:
    """What the whole session shares: X server, prefix, wineserver, probe."""

    def __init__(self):
        self.build = Build(os.environ.get("E2E_BUILD", "/work/main/build/win32"))
        self.xvfb = Xvfb(os.environ.get("E2E_DISPLAY"))
        self.wine = None
        self.probe = None
        try:
            self.wine = Wine(self.xvfb.display, os.environ.get("E2E_TAG", "e2e"),
                             os.environ.get("E2E_WINEARCH") or None, x64=self.build.x64)
            self.probe_exe = self.build.need("winprobe.exe")
            self.trace = self.wine.prefix / "probe-stderr.log"
            self.probe = Probe(self.wine, self.probe_exe, self.trace)
            self._sim = None
            self.dpi = 96
        except BaseException:
            self.close()
            raise

    def exe(self, name):
        return self.build.need(name)

    @property
    def renovo_exe(self):
        return Path(os.environ["E2E_RENOVO"]) if os.environ.get("E2E_RENOVO") else self.exe("Renovo.exe")

    @property
    def sim(self):
        if self._sim is None:
            self._sim = Simulator(self.wine, self.exe("ArconSim.dll"))
        return self._sim

    def set_dpi(self, dpi):
        """Switches the system DPI. Wine reads it when its server starts, so
        this lets the server end (which also saves the registry) and starts
        a new one. Programs still running are ended first."""
        if dpi == self.dpi:
            return
        self.wine.set_dpi(dpi)
        self.probe.close()
        self.wine.wait_server_gone()
        self.probe = Probe(self.wine, self.probe_exe, self.trace)
        self.dpi = dpi

    def close(self):
        if self.probe:
            self.probe.close()
        if self.wine:
            self.wine.kill_server()
            self.wine.remove()
        self.xvfb.stop()


@pytest.fixture(scope="session")
def bed():
    b = Bed()
    yield b
    b.close()


class Runs:
    """Starts programs for one test and always ends them afterwards."""

    def __init__(self, bed, tmp_path):
        self.bed = bed
        self.tmp = tmp_path
        self.apps = []

    def renovo(self, register="both", scenario=None, show="normal", cwd=None, name="run", images=None, env=None,
               threading="Apartment"):
        """Starts the updater with the simulator registered as `register`
        ("both", "v1", "v2", "none") and `scenario` (dict of scenario keys),
        from the folder tmp/`name`, which also holds the scenario and the
        call log. With `images` (names of the built firmware images) the
        folder is staged as the launcher does it: a copy of Renovo.exe beside
        those images, and that copy runs. `env`: more environment variables;
        `threading`: the simulator's ThreadingModel ("none": registered
        without one, as an old single-threaded server)."""
        self.bed.sim.register(register, threading)
        folder = self.tmp / name
        folder.mkdir(parents=True, exist_ok=True)
        exe = self.bed.renovo_exe
        if images is not None:
            exe = Path(shutil.copy(exe, folder / "Renovo.exe"))
            for image in images:
                shutil.copy(self.bed.build.root / "firmware" / image, folder / image)
        scen = write_scenario(folder / "scenario.txt", scenario or {})
        log = folder / "calls.log"
        app = App(self.bed.probe, exe, cwd or folder, show,
                  env={"ARCONSIM_SCENARIO": win_path(scen), "ARCONSIM_LOG": win_path(log), **(env or {})},
                  log_path=log)
        self.apps.append(app)
        return app

    def notepad(self):
        """Wine's notepad, as another program the user has open; its window
        is up and in front when this returns."""
        app = App(self.bed.probe, self.bed.wine.prefix / "drive_c" / "windows" / "notepad.exe", self.tmp,
                  caption="Notepad")
        self.apps.append(app)
        app.wait_window("Notepad")
        return app

    def end_all(self):
        for app in self.apps:
            app.kill()


@pytest.fixture
def runs(bed, tmp_path):
    r = Runs(bed, tmp_path)
    yield r
    r.end_all()
