"""The launcher under Wine: staging, the run of the updater it carries, the
clean-up, refusals, and one whole update through the simulator.

Each test copies a launcher build into a fresh folder and starts it through
winprobe with a temporary folder of its own ("temp"). The updater that the
launcher starts is found by its main window (class Inicial) and ended by
closing that window, as a user would.
"""

import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from wine import App, E2EError, poll, read_calls, win_path, write_scenario

CAPTION = "Launcher"
MSG_APP = "Error al cargar recursos de aplicaci\u00f3n"
MSG_SH = "Error al cargar recursos SH"
MSG_SP = "Error al cargar recursos SP"
STAGED = ("Renvx.exe", "SMARTHOPPER", "SMARTPAYOUT")
PAYLOAD_FILES = {"Renvx.exe": "updater.bin", "SMARTHOPPER": "hopper.bin", "SMARTPAYOUT": "payout.bin"}
INICIAL = "Inicial"
FORM = "LanzoFrmTonto"  # the launcher's hidden window, made just before the updater starts
IDC_LIST2, IDC_COMMAND1 = 102, 201
IDOK, IDYES = 1, 6
ANOTHER_UPDATE = "Another firmware update is running on this computer."
FILE_ATTRIBUTE_HIDDEN = 0x2
ERROR_SHARING_VIOLATION = 32


def dos_attributes(path):
    """The DOS attributes that Wine keeps in an extended attribute."""
    try:
        return int(os.getxattr(path, "user.DOSATTRIB").split(b"\0")[0], 16)
    except OSError:
        return 0


def hidden(path):
    return bool(dos_attributes(path) & FILE_ATTRIBUTE_HIDDEN)


def names(folder):
    return {p.name for p in Path(folder).iterdir()}


def snapshot(folder):
    """What another run must not change: content, identity and attributes."""
    out = {}
    for name in STAGED:
        p = Path(folder) / name
        st = p.stat()
        out[name] = (p.read_bytes(), st.st_ino, st.st_mtime_ns, dos_attributes(p))
    return out


class Launch:
    """One launcher run from its own folder."""

    def __init__(self, bed, folder, variant="Lanzo.exe", cwd=None, temp=None, scenario=None, spelling=None):
        self.bed = bed
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        exe = self.folder / "Lanzo.exe"
        if not exe.exists():  # never overwrite a launcher that may be running
            shutil.copy(bed.exe(variant), exe)
        side = self.folder.parent / (self.folder.name + "-side")
        side.mkdir(exist_ok=True)
        if temp is None:
            self.temp = side / "temp"
            self.temp.mkdir(exist_ok=True)
            temp = win_path(self.temp)
        scen = write_scenario(side / "scenario.txt", scenario or {})
        self.log = side / "calls.log"
        self.env = {"TEMP": temp, "TMP": temp, "ARCONSIM_SCENARIO": win_path(scen),
                    "ARCONSIM_LOG": win_path(self.log)}
        # `spelling`: the Windows name the launcher is started by, when it
        # is not the plain one.
        self.app = App(bed.probe, spelling or exe, cwd or self.folder, "normal", env=self.env, caption=CAPTION)

    def refusal_box(self, text):
        box = self.app.wait_box(timeout=30)
        assert box["text"] == text
        assert [b["id"] for b in box["buttons"]] == [IDOK]
        assert box["icon"] == "none"
        return box

    def expect_refusal(self, text):
        self.app.answer(self.refusal_box(text), IDOK)
        assert self.app.wait_exit() == 0, "the launcher did not end normally"

    def temp_files(self):
        return sorted(self.temp.iterdir())


def updater_window(bed, timeout=40):
    """The updater's main window, up with no box in front of it."""
    def found():
        ws = [w for w in bed.probe.windows(0, INICIAL) if w["visible"]]
        return ws[0] if len(ws) == 1 else None
    main = poll("the updater's main window", found, timeout)
    assert bed.probe.boxes("Renovo") == []
    return main


def end_updater(bed, main):
    """Closes the updater's main window; returns when that window is gone."""
    bed.probe.call("close", main["hwnd"])
    poll("the main window to close", lambda: all(w["hwnd"] != main["hwnd"] for w in bed.probe.windows(0, INICIAL)),
         20)
    return time.monotonic()


def payload(bed, name):
    return (bed.build.root / "launcher" / "payload" / PAYLOAD_FILES[name]).read_bytes()


def assert_staged(bed, folder):
    for name in STAGED:
        p = Path(folder) / name
        assert p.read_bytes() == payload(bed, name), f"{name} differs from what the launcher carries"
        assert hidden(p) == (name == "Renvx.exe"), name


def images_found(bed, main):
    """The updater read both images: no error mark in its image list."""
    lines = bed.probe.listbox(main["hwnd"], IDC_LIST2)
    return lines and not any("\u00a1ERROR!" in line for line in lines)


def full_run(bed, launch):
    """Staged while the updater runs, all gone about half a second after it
    ends, then the launcher ends without a box of its own."""
    main = updater_window(bed)
    assert_staged(bed, launch.folder)
    assert images_found(bed, main)
    ended = end_updater(bed, main)
    poll("the staged files to go", lambda: not (names(launch.folder) & set(STAGED)), 10)
    gone_after = time.monotonic() - ended
    assert 0.3 <= gone_after <= 4, f"files went {gone_after:.2f} s after the updater"
    launch.app.wait_exit()
    assert launch.app.boxes() == []
    assert names(launch.folder) == {"Lanzo.exe"}


@pytest.fixture
def launches(bed, tmp_path):
    started = []

    def start(name="run", **kw):
        bed.sim.register("both")
        launch = Launch(bed, tmp_path / name, **kw)
        started.append(launch)
        return launch

    yield start
    # An updater left by a failed test would sit in front of the next one.
    for w in bed.probe.windows(0, INICIAL):
        bed.probe.call("close", w["hwnd"])
    for box in bed.probe.boxes("Renovo") + bed.probe.boxes(CAPTION):
        bed.probe.call("press", box["hwnd"], IDOK)
    for launch in started:
        launch.app.kill()


# ---------------------------------------------------------------------------
# Good runs


def test_good_run_replaces_leftovers_and_leaves_nothing(bed, launches, tmp_path):
    folder = tmp_path / "run"
    folder.mkdir()
    # What an earlier run that ended early left: a hidden, read-only updater
    # copy and two plain images.
    for name in STAGED:
        (folder / name).write_bytes(b"old " + name.encode())
    os.setxattr(folder / "Renvx.exe", "user.DOSATTRIB", b"0x3")
    launch = launches()
    full_run(bed, launch)
    assert list(launch.temp.iterdir()) == []


@pytest.fixture
def drives(bed):
    """Maps drive letters of the prefix to host folders for one test."""
    links = []

    def map_drive(letter, target):
        link = bed.wine.prefix / "dosdevices" / f"{letter.lower()}:"
        if link.is_symlink():
            link.unlink()
        link.symlink_to(target)
        links.append(link)
        return f"{letter.upper()}:\\"

    yield map_drive
    for link in links:
        link.unlink()


@pytest.fixture
def other_drive(drives):
    """Drive T: of the prefix on another file system than the test folders,
    so that a move between the two is a copy."""
    base = Path("/dev/shm") if Path("/dev/shm").is_dir() else Path("/tmp")
    target = Path(tempfile.mkdtemp(prefix="lanzo-drive-", dir=str(base)))
    drives("t", target)
    yield target
    shutil.rmtree(target, ignore_errors=True)


@pytest.mark.parametrize("where", ["names outside the ANSI code page", "temp on another drive",
                                   "another working folder"])
def test_good_run_from_unusual_places(bed, launches, tmp_path, other_drive, where):
    kw, temp = {}, None
    if where == "names outside the ANSI code page":
        temp = tmp_path / "\u0412\u0440\u0435\u043c\u0435\u043d\u043d\u0430\u044f"
        kw = {"name": "\u0417\u0430\u043f\u0443\u0441\u043a \u0444\u0438\u0440\u043c\u044b",
              "temp": win_path(temp)}
    elif where == "temp on another drive":
        temp = other_drive / "tmp"
        kw = {"temp": "T:\\tmp"}
    else:
        kw = {"cwd": tmp_path / "elsewhere"}
        temp = kw["cwd"]
    temp.mkdir()
    full_run(bed, launches(**kw))  # includes: the updater found both images
    assert list(temp.iterdir()) == []


def test_whole_update_through_the_launcher(bed, launches):
    """Also: from its check until the start the staged updater cannot be
    opened for writing or deleting by another program, and a quit posted to
    the launcher while its updater runs changes nothing."""
    launch = launches(scenario={"update.ms": 8000})
    # The banknote image is staged after the updater copy was checked and
    # about half a second before the updater starts.
    tried = bed.probe.call("tryopen", win_path(launch.folder / "Renvx.exe"),
                           win_path(launch.folder / "SMARTPAYOUT"), timeout=30)
    assert not tried["running"], "the updater had started before the attempt: nothing was checked"
    assert (tried["write"], tried["delete"]) == (ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION)
    main = updater_window(bed)
    form = launch.app.wait_window(FORM, visible=False)
    bed.probe.call("postquit", form["hwnd"])
    quit_at = time.monotonic()
    bed.probe.call("click", main["hwnd"], IDC_COMMAND1)
    for answer in (IDOK, IDYES):  # the two questions
        bed.probe.answer(bed.probe.wait_box("Renovo"), answer)

    # A second launcher from another folder during the write: its updater
    # says why it stops, touches no component, and its launcher cleans up.
    other = launches(name="other")
    box = bed.probe.wait_box("Renovo", timeout=30)
    assert (box["text"], box["icon"], [b["id"] for b in box["buttons"]]) == (ANOTHER_UPDATE, "exclamation", [IDOK])
    bed.probe.answer(box, IDOK)
    other.app.wait_exit(timeout=30)
    assert other.app.boxes() == []
    assert names(other.folder) == {"Lanzo.exe"}
    assert read_calls(other.log) == []
    assert [c.op for c in read_calls(launch.log)][-1] != "UpdateSmartFirmware", "the write ended too early"

    done = bed.probe.wait_box("Renovo", timeout=60)
    assert (done["text"], done["icon"]) == ("Device updated correctly.", "asterisk")
    bed.probe.call("press", done["hwnd"], IDOK)
    poll("the main window to come back", lambda: [w for w in bed.probe.windows(0, INICIAL)
                                                  if w["hwnd"] == main["hwnd"] and w["enabled"]], 20)
    updates = [c.values for c in read_calls(launch.log) if c.op == "UpdateSmartFirmware"]
    assert updates == [["BSTR=" + win_path(launch.folder / "SMARTHOPPER"), "I2=1"]]
    # Long enough for a clean-up after the quit (a pause, two seconds of
    # retries on the running updater copy) to have taken the images.
    time.sleep(max(0.0, quit_at + 4 - time.monotonic()))
    assert launch.app.running(), "the launcher ended while its updater ran"
    assert_staged(bed, launch.folder)
    end_updater(bed, main)
    launch.app.wait_exit(timeout=30)
    assert launch.app.boxes() == []
    assert names(launch.folder) == {"Lanzo.exe"}


def test_hasher_gives_the_published_digests(bed):
    """The provider the launcher hashes with, through the launcher's own
    hasher code: the published vectors whole and in pieces around the
    block size (sha_vectors.exe prints one line per case)."""
    done = bed.wine.run([*bed.wine.cmd, str(bed.exe("sha_vectors.exe"))], timeout=120, check=False)
    assert done.returncode == 0, done.stdout
    assert len([line for line in done.stdout.splitlines() if line.startswith("ok ")]) == 5 * 9 + 1, done.stdout


@pytest.fixture
def no_hash_provider(bed):
    """Every Lanzo.exe started during the test finds the provider's DLL
    switched off. (WINEDLLOVERRIDES would not do: Wine reads it from the
    environment the probe was started with, not the one it hands on.)"""
    key = r"HKCU\Software\Wine\AppDefaults\Lanzo.exe\DllOverrides"
    bed.wine.reg_add(key, "rsaenh", "REG_SZ", "")
    yield
    bed.wine.run([*bed.wine.reg, "delete", key.rsplit("\\", 1)[0], "/f"])


def test_launcher_without_a_hash_provider_refuses_the_run(bed, launches, no_hash_provider):
    """No digest for the folder lock's name: no lock, so no run. A run
    that went on without the lock would leave the updater's temporary file
    when its resource cannot be hashed either."""
    launch = launches()
    launch.expect_refusal(MSG_APP)
    assert names(launch.folder) == {"Lanzo.exe"}
    assert launch.temp_files() == []
    assert not bed.probe.windows(0, INICIAL)


# ---------------------------------------------------------------------------
# Payloads that cannot be staged


@pytest.fixture
def read_only_folder(tmp_path):
    """A folder in which nothing can be created, renamed or deleted. Plain
    permissions would not do: the wineserver, which performs renames, runs
    as root."""
    folder = tmp_path / "ro"
    folder.mkdir()
    yield folder
    subprocess.run(["chattr", "-i", str(folder)], check=False)


def test_read_only_folder_fails_the_first_payload(bed, launches, read_only_folder):
    shutil.copy(bed.exe("Lanzo.exe"), read_only_folder / "Lanzo.exe")
    if subprocess.run(["chattr", "+i", str(read_only_folder)], capture_output=True).returncode != 0:
        pytest.skip("cannot make a folder immutable here")
    launch = launches(name="ro")
    launch.expect_refusal(MSG_APP)
    assert names(read_only_folder) == {"Lanzo.exe"}
    assert not bed.probe.windows(0, INICIAL)
    # The updater was written to its temporary file before the move failed;
    # that file stays in "temp", which the launcher never clears.
    left = launch.temp_files()
    assert [re.fullmatch(r"TTT[0-9A-F]{1,4}\.TMP", p.name, re.I) is not None for p in left] == [True], left
    assert left[0].read_bytes() == payload(bed, "Renvx.exe")


def test_unusable_temp_fails_the_first_payload(bed, launches, tmp_path):
    launch = launches(temp=win_path(tmp_path / "no" / "such" / "folder"))
    launch.expect_refusal(MSG_APP)
    assert names(launch.folder) == {"Lanzo.exe"}


@pytest.fixture
def small_fs(tmp_path):
    """Mounts a small file system (tmpfs) on a new folder; skips the test
    where this process may not mount."""
    mounts = []

    def mount(name, size):
        folder = tmp_path / name
        folder.mkdir()
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755", "tmpfs", str(folder)],
                              capture_output=True, text=True)
        if done.returncode != 0:
            pytest.skip(f"cannot mount a small file system here: {(done.stderr or done.stdout).strip()}")
        mounts.append(folder)
        return folder

    yield mount
    for folder in reversed(mounts):
        subprocess.run(["umount", "-l", str(folder)], check=False)


PAGE = 4096


def pages(size):
    return -(-size // PAGE) * PAGE


@pytest.mark.parametrize("full, text, left", [
    ("launcher folder, no room for the updater", MSG_APP, set()),
    ("launcher folder, room for all but half the banknote image", MSG_SP, {"Renvx.exe", "SMARTHOPPER"}),
    ("temp, no room for the updater", MSG_APP, set()),
])
def test_full_disk_fails_the_payload_that_does_not_fit(bed, small_fs, launches, full, text, left):
    """Whatever stands at a final name is complete; the payload that did
    not fit gives its own message, and the launcher ends normally."""
    updater = len(payload(bed, "Renvx.exe"))
    kw = {}
    if full.startswith("temp"):
        kw["temp"] = win_path(small_fs("small-temp", pages(updater // 2)))
    else:
        room = {MSG_APP: updater // 2,
                MSG_SP: pages(updater) + pages(len(payload(bed, "SMARTHOPPER")))
                + len(payload(bed, "SMARTPAYOUT")) // 2}[text]
        folder = small_fs("run", pages(bed.exe("Lanzo.exe").stat().st_size) + pages(room))
        shutil.copy(bed.exe("Lanzo.exe"), folder / "Lanzo.exe")
    launch = launches(**kw)
    launch.expect_refusal(text)
    assert names(launch.folder) == {"Lanzo.exe"} | left
    for name in left:
        assert (launch.folder / name).read_bytes() == payload(bed, name), f"{name} is incomplete"
    assert not bed.probe.windows(0, INICIAL)


@pytest.mark.parametrize("variant, text, left, temps", [
    # The temporary file comes before the missing resource, and stays.
    ("Lanzo_nosp.exe", MSG_SP, {"Renvx.exe", "SMARTHOPPER"}, 1),
    # Found before the start, when everything is staged: all of it goes.
    ("Lanzo_badsh.exe", MSG_SH, set(), 0),
])
def test_bad_payload_fails_with_its_own_message(bed, launches, variant, text, left, temps):
    launch = launches(variant=variant)
    launch.expect_refusal(text)
    assert names(launch.folder) == {"Lanzo.exe"} | left
    assert len(launch.temp_files()) == temps
    assert "Renvx.exe" not in left or hidden(launch.folder / "Renvx.exe")
    assert not bed.probe.windows(0, INICIAL)

    # A sound launcher in the same folder removes what was left.
    (launch.folder / "Lanzo.exe").unlink()
    full_run(bed, launches(name=launch.folder.name))


@pytest.mark.parametrize("change", ["a byte", "a byte more", "a byte less"])
def test_image_changed_before_the_start_is_never_handed_on(bed, launches, change):
    """Another program changes a staged image in the pause before the start
    (the images are not held then): read back, it is refused with its own
    message, and nothing is left."""
    launch = launches()
    size = {name: len(payload(bed, name)) for name in STAGED}
    poll("all three staged", lambda: all((launch.folder / n).exists() and (launch.folder / n).stat().st_size == size[n]
                                         for n in STAGED), 20)
    image = launch.folder / "SMARTHOPPER"
    data = bytearray(image.read_bytes())
    if change == "a byte":
        data[len(data) // 2] ^= 0xFF
    image.write_bytes(data + b"\0" if change == "a byte more" else data[:-1] if change == "a byte less" else data)
    launch.expect_refusal(MSG_SH)
    assert names(launch.folder) == {"Lanzo.exe"}
    assert not bed.probe.windows(0, INICIAL)


def test_updater_that_cannot_start_still_gets_cleaned_up(bed, launches):
    launch = launches(variant="Lanzo_noexe.exe")

    def ended():
        # The shell may say why it could not start the file; the launcher
        # itself says nothing.
        for w in bed.probe.windows(0, "#32770"):
            assert w["title"] != CAPTION
            bed.probe.call("press", w["hwnd"], IDOK)
        return not launch.app.running()
    poll("the launcher to end", ended, 30)
    assert names(launch.folder) == {"Lanzo.exe"}
    assert not bed.probe.windows(0, INICIAL)


# ---------------------------------------------------------------------------
# Another run in the same folder


def folder_lock(folder):
    """The name of the lock a launcher takes for its folder: the digest of
    the folder's full name in capitals, as the system resolves it. A name
    that misses fails the probe's "mutex" at once rather than testing
    nothing."""
    canonical = "\\\\?\\" + win_path(folder)
    return "Global\\Lanzo.Folder." + hashlib.sha256(canonical.upper().encode("utf-16-le")).hexdigest()[:40]


def test_second_launcher_leaves_a_running_update_alone(bed, launches):
    first = launches()
    main = updater_window(bed)
    before = snapshot(first.folder)
    # Kept open here, as by a launcher starting at that moment, the lock of
    # a killed launcher stays behind abandoned rather than vanishing; the
    # next launcher takes it and judges the folder by what it finds there.
    lock = folder_lock(first.folder)
    bed.probe.call("mutex", lock)

    second = launches(name=first.folder.name)
    second.expect_refusal(MSG_APP)
    assert snapshot(first.folder) == before

    # A launcher killed while its updater runs: the orphaned updater's files
    # are still not pulled from under it.
    first.app.kill()
    third = launches(name=first.folder.name)
    third.expect_refusal(MSG_APP)
    assert snapshot(first.folder) == before
    assert images_found(bed, main)

    # The updater ends with nobody left to clean up; the next run does.
    end_updater(bed, main)
    time.sleep(1)
    assert set(STAGED) <= names(first.folder)
    try:
        full_run(bed, launches(name=first.folder.name))
    finally:
        bed.probe.call("unmutex", lock)


def short_name(bed, folder):
    """Wine's 8.3 name of a folder, or None when it gives none."""
    listing = bed.wine.run([*bed.wine.cmd, "cmd", "/c", "dir", "/x", win_path(folder.parent)], check=False).stdout
    for line in listing.splitlines():
        fields = line.split()
        if len(fields) >= 2 and fields[-1] == folder.name and "~" in fields[-2]:
            return fields[-2]
    return None


def test_other_spellings_of_the_folder_take_the_same_lock(bed, launches, drives, tmp_path):
    """A launcher that holds its folder at its own refusal box, with nothing
    staged, keeps out a launcher started there by another spelling of the
    folder, which would otherwise stage its files and start an updater.
    (Wine's loader already writes the short name and the doubled separator
    out in full; letter case and the drive reach the launcher as spelt.
    Wine names a folder by the drive that reaches it most directly, so the
    drive is mapped before the first launcher starts.)"""
    other_drive = drives("u", tmp_path)
    first = launches(name="LongLauncherFolder", temp=win_path(tmp_path / "no" / "such" / "folder"))
    box = first.refusal_box(MSG_APP)
    plain = win_path(first.folder)
    spellings = {"letter case": plain.upper(), "trailing separator": plain + "\\",
                 "another drive": other_drive + first.folder.name}
    short = short_name(bed, first.folder)
    if short:
        spellings["short name"] = win_path(first.folder.parent) + "\\" + short
    for what, folder in spellings.items():
        launches(name=first.folder.name, spelling=folder + "\\Lanzo.exe").expect_refusal(MSG_APP)
        assert names(first.folder) == {"Lanzo.exe"}, what
        assert not bed.probe.windows(0, INICIAL), what
    first.app.answer(box, IDOK)
    first.app.wait_exit()


def test_launcher_at_a_drive_root_takes_one_lock_from_any_working_folder(bed, launches, drives, tmp_path):
    """At the root of a drive (a USB stick) the launcher folder is spelt
    "V:", which Windows reads as the drive's current folder: a launcher
    started from a subfolder must still find the root taken."""
    root = drives("v", tmp_path / "stick")
    first = launches(name="stick", temp=win_path(tmp_path / "no" / "such" / "folder"),
                     spelling=root + "Lanzo.exe", cwd=root)
    box = first.refusal_box(MSG_APP)
    (first.folder / "sub").mkdir()
    second = launches(name="stick", spelling=root + "Lanzo.exe", cwd=root + "sub")
    second.expect_refusal(MSG_APP)
    assert names(first.folder) == {"Lanzo.exe", "sub"}
    assert not bed.probe.windows(0, INICIAL)
    first.app.answer(box, IDOK)
    first.app.wait_exit()
