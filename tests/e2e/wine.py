"""Wine, Xvfb and winprobe plumbing for the end-to-end tests.

One Wine prefix, one X server, one wineserver and one winprobe serve a whole
test session; each test starts the updater through the probe, so the probe
knows the updater's Windows process id and can wait for it and end it.
"""

import json
import os
import select
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

POLL_S = 0.05


class E2EError(AssertionError):
    """A window, box or process did not turn up or end in time."""


def linux_pid_of(exe):
    """The Linux process that runs the Windows program `exe` (its Windows
    name), found by its command line; None when there is none."""
    needle = win_path(exe).lower().encode()
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and needle in (entry / "cmdline").read_bytes().lower():
                return int(entry.name)
        except OSError:
            pass
    return None


def cpu_seconds(pid):
    """Processor time a Linux process has used, from /proc: under Wine
    GetProcessTimes of another process reads 0."""
    # utime and stime, fields 14 and 15; the name before them may hold blanks.
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def win_path(path):
    """The Windows name of a host path (Wine maps / as drive Z:); a text
    that is a Windows name already is kept as it is spelt."""
    if isinstance(path, str) and path[1:3] == ":\\":
        return path
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def poll(what, fn, timeout):
    """Calls fn until it returns something true; raises after `timeout` s."""
    deadline = time.monotonic() + timeout
    while True:
        result = fn()
        if result:
            return result
        if time.monotonic() > deadline:
            raise E2EError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(POLL_S)


# ---------------------------------------------------------------------------
# Build outputs


PE_MACHINE_X64 = 0x8664


def pe_machine(path):
    """The machine field of a PE file's header (0x14C for 32-bit x86)."""
    with open(path, "rb") as f:
        head = f.read(4096)
    at = int.from_bytes(head[0x3C:0x40], "little")
    return int.from_bytes(head[at + 4:at + 6], "little")


class Build:
    """Finds the cross-built executables in the build folder: the shipped
    32-bit build, or the 64-bit twin of hosts that run no 32-bit code."""

    def __init__(self, root):
        self.root = Path(root)
        if not self.root.is_dir():
            raise FileNotFoundError(f"cross build folder {self.root} does not exist (set E2E_BUILD)")

    @property
    def x64(self):
        return pe_machine(self.need("winprobe.exe")) == PE_MACHINE_X64

    def find(self, name):
        hits = sorted(self.root.rglob(name))
        hits = [h for h in hits if "CMakeFiles" not in h.parts]
        return hits[0] if hits else None

    def need(self, name):
        path = self.find(name)
        if path is None:
            raise FileNotFoundError(f"{name} is not built in {self.root}")
        return path


# ---------------------------------------------------------------------------
# X server


def _display_free(num):
    return not Path(f"/tmp/.X{num}-lock").exists() and not Path(f"/tmp/.X11-unix/X{num}").exists()


class Xvfb:
    """Uses the display in E2E_DISPLAY when it runs, else starts one."""

    def __init__(self, wanted=None, first_free=97):
        self.proc = None
        if wanted:
            self.display = wanted if wanted.startswith(":") else ":" + wanted
            if _display_free(int(self.display[1:])):
                self._start()
        else:
            num = first_free
            while not _display_free(num):
                num += 1
            self.display = f":{num}"
            self._start()

    def _start(self):
        num = int(self.display[1:])
        self.proc = subprocess.Popen(
            ["Xvfb", self.display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        poll(f"Xvfb on {self.display}", lambda: Path(f"/tmp/.X11-unix/X{num}").exists() or self.proc.poll() is not None, 10)
        if self.proc.poll() is not None:
            raise E2EError(f"Xvfb could not start on {self.display}")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


# ---------------------------------------------------------------------------
# Wine prefix and wineserver


LOADER_64 = Path("/usr/lib/wine/wine64")
# Wine draws the title bars' buttons as glyphs of this font (Debian's
# fonts-wine); without it they come out as the letters "0 1 r".
MARLETT = Path("/usr/share/wine/fonts/marlett.ttf")


class Wine:
    """A fresh prefix of its own; everything runs under one wineserver.

    `arch` "win32" is a 32-bit Windows; "win64" is a 64-bit one, where the
    32-bit programs run under WoW64 and see the 32-bit registry view, as on
    the field machines. `x64`: the programs under test are the 64-bit twin
    (64-bit prefix, 64-bit registry view), for hosts that run no 32-bit code.

    `cmd` starts a Windows program: `[*wine.cmd, exe, args...]`.
    """

    ARCHS = ("win32", "win64")

    def __init__(self, display, tag="e2e", arch=None, x64=False):
        arch = arch or ("win64" if x64 else "win32")
        assert arch in self.ARCHS, arch
        assert not (x64 and arch == "win32"), "a 64-bit program needs a 64-bit prefix"
        self.prefix = Path(tempfile.mkdtemp(prefix=f"{tag}-pfx-", dir="/tmp"))
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=str(self.prefix), WINEARCH=arch, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=display)
        self.env.pop("ARCONSIM_SCENARIO", None)
        self.env.pop("ARCONSIM_LOG", None)
        # Debian's `wine` runs the 32-bit loader whenever it is installed,
        # whatever WINEARCH says, and that loader cannot start on a host that
        # runs no 32-bit code: the 64-bit programs get the 64-bit loader.
        self.cmd = [str(LOADER_64)] if x64 and LOADER_64.exists() else ["wine"]
        try:
            self._boot(arch, x64)
        except BaseException:
            # A prefix that never came up is nobody's to remove later.
            self.kill_server()
            self.remove()
            raise

    def _boot(self, arch, x64):
        self.run([*self.cmd, "wineboot", "-i"], timeout=180)
        # This Wine does not search its own font folder, only the prefix's;
        # the other fonts there stay out, so the programs' text looks as before.
        if MARLETT.exists():
            fonts = self.prefix / "drive_c" / "windows" / "Fonts"
            fonts.mkdir(parents=True, exist_ok=True)
            shutil.copy(MARLETT, fonts / MARLETT.name)
        if arch == "win64" and not (self.prefix / "drive_c" / "windows" / "syswow64").is_dir():
            raise E2EError("WINEARCH=win64 gave no 64-bit prefix (is the wine64 package installed?)")
        # A 32-bit in-process server is registered by the 32-bit regsvr32 in
        # the 32-bit view of the registry, where the maker's installer puts
        # it; reg.exe edits the view of the programs under test.
        wow64 = arch == "win64" and not x64
        tools = "C:\\windows\\syswow64\\" if wow64 else ""
        self.regsvr32 = [*self.cmd, tools + "regsvr32.exe"]
        self.reg = [*self.cmd, tools + "reg.exe"]
        # Without a window manager a managed window that hides costs a 1 s wait.
        self.reg_add(r"HKCU\Software\Wine\X11 Driver", "Managed", "REG_SZ", "N")

    def run(self, argv, timeout=60, extra_env=None, check=True):
        env = dict(self.env, **(extra_env or {}))
        done = subprocess.run(argv, env=env, timeout=timeout, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace")
        if check and done.returncode != 0:
            raise E2EError(f"{argv} failed ({done.returncode}): {done.stdout[-2000:]}")
        return done

    def reg_add(self, key, name, kind, data):
        self.run([*self.reg, "add", key, "/v", name, "/t", kind, "/d", str(data), "/f"])

    def wait_server_gone(self):
        self.run(["wineserver", "-w"], timeout=60, check=False)

    def kill_server(self):
        self.run(["wineserver", "-k"], timeout=60, check=False)
        self.wait_server_gone()

    def end_session(self):
        """Asks every program's windows whether the session may end, as a
        log-off or shutdown does, and ends those programs if all agree.
        False when one refused."""
        return self.run([*self.cmd, "wineboot", "--end-session"], check=False).returncode == 0

    def set_dpi(self, dpi):
        """Takes effect for wineserver sessions that start afterwards."""
        self.reg_add(r"HKCU\Control Panel\Desktop", "LogPixels", "REG_DWORD", int(dpi))

    def remove(self):
        shutil.rmtree(self.prefix, ignore_errors=True)


# ---------------------------------------------------------------------------
# winprobe


class Probe:
    """The JSON-lines conversation with winprobe.exe. Wine's debug output of
    the probe and of every program it starts goes to `trace` (see
    SystemCallTrace), or nowhere."""

    def __init__(self, wine, exe, trace=None):
        self._trace = open(trace, "ab") if trace else subprocess.DEVNULL
        self.proc = subprocess.Popen([*wine.cmd, str(exe)], env=wine.env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self._trace, bufsize=0)
        self._buf = b""
        self.call("ping", timeout=60)

    def call(self, *fields, timeout=20):
        line = "\t".join(str(f) for f in fields) + "\n"
        self.proc.stdin.write(line.encode("utf-8"))
        self.proc.stdin.flush()
        answer = json.loads(self._readline(timeout))
        if not answer.get("ok"):
            raise E2EError(f"winprobe {fields[0]}: {answer.get('error')}")
        return answer

    def _readline(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0 or self.proc.poll() is not None:
                raise E2EError("winprobe did not answer")
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    raise E2EError("winprobe ended")
                self._buf += chunk
        line, self._buf = self._buf.split(b"\n", 1)
        return line.decode("utf-8")

    def alive(self):
        return self.proc.poll() is None

    def close(self):
        if self.alive():
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
                self.proc.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        if self._trace is not subprocess.DEVNULL:
            self._trace.close()

    # Convenience wrappers -------------------------------------------------

    def screen(self):
        return self.call("screen")

    def windows(self, pid=0, cls="", title=""):
        return self.call("windows", pid, cls, title)["windows"]

    def boxes(self, caption, pid=0):
        return self.call("msgbox", caption, pid)["boxes"]

    def wait_box(self, caption, pid=0, timeout=20):
        """The one box with that caption (of process `pid`, 0 = any), once
        its text is set and its icon can be told from the screen."""
        def found():
            bs = self.boxes(caption, pid)
            return bs if bs and bs[0]["text"] else None
        bs = poll(f'a "{caption}" message box', found, timeout)
        assert len(bs) == 1, f"more than one box: {bs}"
        # The icon is read off the screen, so give the box time to paint.
        deadline = time.monotonic() + 3
        while bs[0]["icon"] == "other" and time.monotonic() < deadline:
            time.sleep(POLL_S)
            bs = self.boxes(caption, pid) or bs
        return bs[0]

    def answer(self, box, button_id, timeout=10):
        """Presses a button of a box and waits until that box has gone."""
        self.call("press", box["hwnd"], button_id)
        def gone():
            return all(w["hwnd"] != box["hwnd"] or not w["visible"] for w in self.windows(box["pid"], "#32770"))
        poll("the box to close", gone, timeout)

    def control(self, hwnd, cid):
        return self.call("control", hwnd, cid)

    def listbox(self, hwnd, cid):
        return self.call("listbox", hwnd, cid)["lines"]

    def pixels(self, points):
        return [tuple(c) if c else None
                for c in self.call("pixels", *(f"{x},{y}" for x, y in points))["colors"]]

    def focus(self, hwnd):
        return self.call("focus", hwnd)

    def foreground(self):
        """The window in front of every program, or None."""
        return self.call("foreground")["window"]

    def keys(self, *names):
        """Typed on the keyboard, into whatever window has the focus."""
        return self.call("keys", *names)


# ---------------------------------------------------------------------------
# The real system calls of a program, as Wine's relay trace records them


class SystemCallTrace:
    """The calls a program started through the probe makes to the Windows
    functions named in `functions`, with their arguments, in the order it
    made them; the simulator's calls show as "ArconSim GEN OPERATION begins"
    (it says so to the debugger as each call begins), so both can be ordered
    in one stream. Start the program with `env` and read `events()`.

    Wine's relay trace goes to the Unix stderr of the probe, which every
    program it starts inherits; only the traced program has it switched on.
    """

    def __init__(self, wine, path, functions):
        wine.reg_add(r"HKCU\Software\Wine\Debug", "RelayInclude", "REG_SZ",
                     ";".join([*functions, "OutputDebugStringW"]))
        self.path = Path(path)
        self.start = self.path.stat().st_size if self.path.exists() else 0
        self.env = {"WINEDEBUG": "+relay"}

    def events(self):
        """(function, arguments) pairs: numbers as ints, texts as str."""
        if not self.path.exists():
            return []
        with open(self.path, "rb") as f:
            f.seek(self.start)
            text = f.read().decode("utf-8", errors="replace")
        events = []
        for line in text.splitlines():
            head, _, rest = line.partition(":Call ")
            if not rest or "(" not in rest:
                continue
            name = rest.split("(", 1)[0].rsplit(".", 1)[-1]
            args = rest[len(rest.split("(", 1)[0]) + 1:].rsplit(") ret=", 1)[0]
            events.append((name, self._args(args)))
        return events

    @staticmethod
    def _args(text):
        out = []
        for part in text.split(","):
            part = part.strip()
            if " L\"" in part or part.startswith("L\""):
                out.append(part.split("L\"", 1)[1].rsplit("\"", 1)[0])
            elif part:
                try:
                    out.append(int(part, 16))
                except ValueError:
                    out.append(part)
        return out


# ---------------------------------------------------------------------------
# The wait window's spinner as the screen shows it

# Dot centres in pixels from the wait window's client origin at 96 dpi, dot 0
# at twelve o'clock, clockwise.
RING_DOTS = [(60, 13), (78, 17), (90, 31), (94, 46), (90, 61), (78, 75),
             (60, 79), (42, 75), (30, 61), (26, 46), (30, 31), (42, 17)]
DOT_DARK, DOT_TAIL1, DOT_TAIL2, DOT_BLANK = (128,) * 3, (192,) * 3, (224,) * 3, (255,) * 3
RING_COLOURS = {DOT_DARK, DOT_TAIL1, DOT_TAIL2, DOT_BLANK}


def read_ring(probe, window):
    x0, y0 = window["client_screen"][:2]
    return probe.pixels([(x0 + x, y0 + y) for x, y in RING_DOTS])


def ring_step(colours):
    """The dark dot's index when the ring shows a whole picture: the dark
    dot, its two lighter dots behind it (anticlockwise), every other dot
    blank. None for anything else, e.g. a read that overlapped a repaint
    (the probe reads the dots one after another)."""
    dark = [i for i, c in enumerate(colours) if c == DOT_DARK]
    if len(dark) != 1:
        return None
    d = dark[0]
    tail = {(d - 1) % 12: DOT_TAIL1, (d - 2) % 12: DOT_TAIL2}
    if any(c != tail.get(i, DOT_BLANK) for i, c in enumerate(colours) if i != d):
        return None
    return d


def ring_pictures(probe, window, seconds, pause=0.05):
    """The whole pictures the ring shows over `seconds`, in reading order."""
    steps = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        step = ring_step(read_ring(probe, window))
        if step is not None:
            steps.append(step)
        time.sleep(pause)
    return steps


# ---------------------------------------------------------------------------
# The device component simulator


class Simulator:
    """Registers ArconSim.dll for the generations a test wants.

    Registration changes only when the wanted set changes, since each change
    costs a Wine process start.
    """

    SETS = ("both", "v1", "v2", "none")

    def __init__(self, wine, dll):
        self.wine = wine
        self.dll = dll
        self.current = None

    def register(self, which, threading="Apartment"):
        """`threading`: the ThreadingModel value, or "none" for none."""
        assert which in self.SETS, which
        if (which, threading) == self.current:
            return
        # Registering removes the generations not asked for.
        self.wine.run([*self.wine.regsvr32, "/s", str(self.dll)],
                      extra_env={"ARCONSIM_REGISTER": which, "ARCONSIM_THREADING": threading})
        self.current = (which, threading)


def write_scenario(path, settings):
    """Writes `key = value` lines; `settings` is a dict or a list of pairs."""
    items = settings.items() if isinstance(settings, dict) else settings
    Path(path).write_text("".join(f"{k} = {v}\n" for k, v in items), encoding="utf-8")
    return path


_LOG_ESCAPES = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r", "0": "\0"}


def unescape(text):
    """Undoes the call log's escapes of backslash, tab, newline, CR and NUL."""
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text) and text[i + 1] in _LOG_ESCAPES:
            out.append(_LOG_ESCAPES[text[i + 1]])
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


class Call:
    """One line of the simulator's call log.

    `args` are the fields as logged (escaped); `values` are the same with
    the escapes undone, e.g. "BSTR=Z:\\dir\\file" for a path argument;
    `thread` the id of the calling thread (calls, Create, Release).
    """

    def __init__(self, line):
        fields = line.rstrip("\r\n").split("\t")
        self.gen = fields[0]
        self.op = fields[1] if len(fields) > 1 else ""
        self.result = None
        self.thread = None
        rest = fields[2:]
        if rest and rest[-1].startswith("thread="):
            self.thread = int(rest[-1][len("thread="):])
            rest = rest[:-1]
        if rest and rest[-1].startswith("=>"):
            self.result = rest[-1][2:].strip()
            rest = rest[:-1]
        self.args = rest
        self.values = [unescape(a) for a in rest]
        self.line = line.rstrip("\r\n")

    def __repr__(self):
        return f"Call({self.line!r})"


def read_calls(path):
    p = Path(path)
    if not p.exists():
        return []
    text = p.read_bytes().decode("utf-8", errors="replace")
    return [Call(line) for line in text.splitlines() if line.strip()]


# ---------------------------------------------------------------------------
# A running program under test


class App:
    """One run of a program, started through the probe."""

    def __init__(self, probe, exe, cwd, show="normal", env=None, caption="Renovo", log_path=None):
        self.probe = probe
        self.caption = caption
        self.log_path = log_path
        env = env or {}
        self.exe = win_path(exe)
        self.pid = probe.call("start", self.exe, win_path(cwd), show,
                              *(f"{k}={v}" for k, v in env.items()))["pid"]
        self.exit_code = None

    # Windows and boxes ----------------------------------------------------

    def windows(self, cls=""):
        return self.probe.windows(self.pid, cls)

    def wait_window(self, cls, timeout=20, visible=True):
        def found():
            ws = [w for w in self.windows(cls) if w["visible"] or not visible]
            return ws[0] if ws else None
        return poll(f"a window of class {cls}", found, timeout)

    def boxes(self):
        return self.probe.boxes(self.caption, self.pid)

    def wait_box(self, timeout=20):
        return self.probe.wait_box(self.caption, self.pid, timeout)

    def answer(self, box, button_id, timeout=10):
        """Presses a button and waits until that box has gone."""
        self.probe.answer(box, button_id, timeout)

    def expect_box(self, text, icon, buttons, timeout=20):
        """Waits for the box and checks its text, icon and button ids."""
        box = self.wait_box(timeout)
        assert box["text"] == text
        assert box["icon"] == icon, f"{text!r}: icon {box['icon']}"
        assert [b["id"] for b in box["buttons"]] == buttons, f"{text!r}: buttons {box['buttons']}"
        return box

    def no_box_for(self, seconds):
        """No box turns up for `seconds`."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            assert self.boxes() == [], f"unexpected box: {self.boxes()}"
            time.sleep(0.1)

    def close_window(self, window, how="close"):
        self.probe.call(how, window["hwnd"])

    # Process ----------------------------------------------------------------

    def wait_exit(self, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            r = self.probe.call("wait", self.pid, 200)
            if r["exited"]:
                self.exit_code = r["code"]
                return r["code"]
            if time.monotonic() > deadline:
                raise E2EError(f"process {self.pid} still runs after {timeout} s")

    def running(self):
        return not self.probe.call("wait", self.pid, 0)["exited"]

    def cpu_share(self, seconds):
        """The share of one core, in %, that the program uses over the next
        `seconds`. Its Linux process is the one whose command line names
        this run's executable, which lies in a folder of the test's own."""
        pid = poll(f"the Linux process of {self.exe}", lambda: linux_pid_of(self.exe), 10)
        wall0, cpu0 = time.monotonic(), cpu_seconds(pid)
        time.sleep(seconds)
        return 100 * (cpu_seconds(pid) - cpu0) / (time.monotonic() - wall0)

    def kill(self):
        if self.probe.alive():
            try:
                self.probe.call("kill", self.pid)
            except E2EError:
                pass

    def calls(self):
        """The component calls so far; a scenario line the simulator did not
        understand fails the test rather than letting it test the wrong thing."""
        calls = read_calls(self.log_path) if self.log_path else []
        errors = [c.line for c in calls if c.op == "ScenarioError"]
        assert not errors, f"scenario not understood: {errors}"
        return [c for c in calls if c.op != "Release"]

    def component_threads(self):
        """The ids of the threads that created, called and released the
        component objects."""
        return {c.thread for c in read_calls(self.log_path) if c.thread is not None}

    def ops(self):
        """The calls as "gen Operation" strings, for order checks."""
        return [f"{c.gen} {c.op}" for c in self.calls()]
