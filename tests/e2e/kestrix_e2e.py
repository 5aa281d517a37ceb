"""What the end-to-end cases do to the real kestrix.exe under Wine: start it,
drive it through kestrix_driver as a user and Windows would, and look at the
registry, the stick, the notification area and the screen."""

import hashlib
import re
import subprocess
import tempfile
import time
from pathlib import Path

TIMEOUT = 60

KESTRIX_EXE = r"C:\Program Files\Kestrix\kestrix.exe"
SCAN_EXE = r"C:\Program Files\Kestrix\kestrix-scan.exe"
RUN_COMMAND = f'"{KESTRIX_EXE}"'
SETTINGS_KEY = r"HKLM\Software\Halvorn"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
DISK_CLASS_KEY = r"HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E967-E325-11CE-BFC1-08002BE10318}"

STARTUP_BALLOON = "Kestrix成功執行，開始保護你的電腦。"
SWEEP_FINISHED = "尋找完畢."
INFECTED_ROWS = "1\tE:\\Autorun.inf\t危险\n2\tE:\\RavMonE.exe\t危险\n3\tE:\\sxs.exe\t病毒"
WORMS = ("autorun.inf", "RavMonE.exe", "sxs.exe")

# Controls and commands, as in src/app/win32/control_ids.h.
IDC_CURRENTVIRUS = 1004
IDC_TOTALNUMBER = 1008
IDC_VIRUSLIST = 1009
IDC_AUTOKILLV = 1011
IDC_KILLVIRUS = 1012
IDC_SKIPVIRUS = 1013
IDM_SHOWMAIN = 2001
IDM_CONFIGAPP = 2002
IDM_UPDATEAPP = 2003
IDM_KESTRIXABOUT = 2004
IDM_EXITAPP = 2005
IDC_AUTOKILL = 3005
IDC_AUTOSTART = 3006
IDC_SKIPFLOOPY = 3007
IDC_FLATBUTTON1 = 3008
DBT_DEVICEARRIVAL = 0x8000


def wait_until(condition, seconds=TIMEOUT):
    """Polls until the condition holds; checks once more at the end."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.2)
    return bool(condition())


def holds(condition, seconds):
    """Whether the condition stays true for the whole time: for what must
    not happen, such as a sweep that nothing asked for."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if not condition():
            return False
        time.sleep(0.1)
    return bool(condition())


class Wine:
    """Runs Windows programs in the suite's prefix; their output goes to the
    running case's log."""

    def __init__(self, env, log_path):
        self.env = env
        self.log_path = log_path

    def run(self, *args, timeout=TIMEOUT, capture=False):
        """Now and then Wine fails to start a program: it ends non-zero
        without a word, where every program the suite runs says why it
        failed. Such a run happens once more, noted in the log."""
        for _ in range(2):
            # Files, not pipes: a wineserver the program starts keeps them
            # open after it ends.
            with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
                result = subprocess.run(["wine", *args], env=self.env, stdout=out, stderr=err, timeout=timeout)
                out.seek(0)
                err.seek(0)
                result.stdout, result.stderr = out.read(), err.read()
            with open(self.log_path, "ab") as log:
                log.write(result.stderr if capture else result.stdout + result.stderr)
            if result.returncode == 0 or result.stdout or result.stderr:
                break
            self.note(f"{' '.join(map(str, args))}: exit code {result.returncode:#x} without a word; again")
        return result

    def start(self, *args):
        with open(self.log_path, "ab") as log:
            return subprocess.Popen(["wine", *args], env=self.env, stdout=log, stderr=log)

    def output(self, *args, timeout=TIMEOUT):
        """A program's output as text, without carriage returns or the last newline."""
        result = self.run(*args, timeout=timeout, capture=True)
        return result.returncode, result.stdout.decode("utf-8", "replace").replace("\r", "").rstrip("\n")

    def attrib(self, *commands):
        """Runs attrib commands in one cmd; their output. Now and then Wine
        fails to start a process ("ShellExecuteEx failed: Internal error"),
        and cmd says so: attrib changes nothing twice, so they run again."""
        for _ in range(2):
            _, out = self.output("cmd", "/c", " & ".join(commands))
            if "could not be started" not in out:
                break
            self.note(f"cmd could not start attrib: {out}")
        return out

    def note(self, text):
        """A line of the suite's own in the case's log."""
        with open(self.log_path, "a") as log:
            log.write(f"e2e: {text}\n")


class Stick:
    """The USB stick, drive E:, as a directory of the host."""

    def __init__(self, path, wine):
        self.path = Path(path)
        self.wine = wine

    def lay_infected(self):
        """A worm's autorun.inf, hidden read-only worms and the owner's
        files. Worms write the file name in any case; Windows ignores it."""
        (self.path / "autorun.inf").write_bytes(
            b"[AutoRun]\r\nopen=RavMonE.exe\r\nshellexecute=RavMonE.exe e\r\nshell\\Auto\\command=RavMonE.exe e\r\n")
        (self.path / "RavMonE.exe").write_bytes(b"MZ worm")
        (self.path / "sxs.exe").write_bytes(b"MZ worm")
        (self.path / "Photos").mkdir(exist_ok=True)
        (self.path / "Photos" / "beach.jpg").write_bytes(b"holiday")
        (self.path / "notes.txt").write_bytes(b"notes")
        # Wine's attrib takes one attribute a call.
        self.wine.attrib(r"attrib +h E:\autorun.inf", r"attrib +r E:\autorun.inf", r"attrib +h E:\RavMonE.exe",
                         r"attrib +s E:\RavMonE.exe", r"attrib +r E:\RavMonE.exe", r"attrib +h E:\sxs.exe",
                         r"attrib +r E:\sxs.exe")
        self.assert_worms_marked()

    def assert_worms_marked(self):
        attributes = self.wine.attrib(r"attrib E:\*")
        for name in WORMS:
            assert re.search(r"HR +E:\\" + re.escape(name) + "$", attributes, re.IGNORECASE | re.MULTILINE), \
                f"{name} is not hidden and read-only:\n{attributes}"

    def find(self, name):
        """A file of the root as Windows finds it, in any letter case."""
        return next((entry for entry in self.path.iterdir() if entry.name.lower() == name.lower()), None)

    def worm_fingerprints(self):
        return [hashlib.sha256(self.find(name).read_bytes()).hexdigest() for name in WORMS]

    def worms_left(self):
        return [name for name in WORMS if self.find(name) is not None]

    def assert_owner_files_kept(self):
        assert (self.path / "Photos" / "beach.jpg").is_file() and (self.path / "notes.txt").is_file(), \
            "the owner's files were touched"


class Desktop:
    """The Wine desktop of one case: kestrix.exe, the driver, the
    notification area and the screen."""

    def __init__(self, wine, driver, work, shots):
        self.wine = wine
        self.driver = driver
        self.work = Path(work)
        self.shots = Path(shots)
        self.kestrix = None

    # The driver

    def try_drive(self, *args):
        """Runs a driver action; whether it succeeded and its output."""
        code, out = self.wine.output(self.driver, *map(str, args), timeout=TIMEOUT + 30)
        self.last_exit_code = code
        return code == 0, out

    def drive(self, *args, why=None):
        """Runs a driver action that must succeed; its output."""
        ok, out = self.try_drive(*args)
        # A refusal says why; with no reason, the exit code tells a driver
        # that crashed from one that Wine could not start (1).
        assert ok, f"{why or ' '.join(map(str, args))}: {out} (exit code {self.last_exit_code:#x})"
        return out

    # kestrix.exe

    def start_kestrix(self):
        # A kestrix.exe that Wine failed to start ends at once with code 1
        # (see Wine.run): it is started once more.
        for _ in range(2):
            self.kestrix = self.wine.start(KESTRIX_EXE)
            if self.try_drive("wait-main", "exists")[0] or self.kestrix.poll() != 1:
                break
            self.wine.note("kestrix.exe ended with code 1 before its window was there; again")
        self.drive("wait-main", "exists", why="kestrix.exe did not start")

    def wait_first_sweep(self):
        self.drive("wait-label", IDC_CURRENTVIRUS, SWEEP_FINISHED, why="the first sweep did not finish")

    def main_state(self):
        """visible or hidden."""
        return "visible" if self.try_drive("wait-main", "visible", 0)[0] else "hidden"

    def expect_main(self, state, why=None):
        self.drive("wait-main", state, why=why or f"the main window is not {state}")

    def keys(self, target, *keys):
        """Presses keys once the target (main, dialog, menu, window:CAPTION)
        is in front with the keyboard focus: before that they would reach
        another window, or none."""
        return self.drive("keys", target, *keys, why=f"keys {' '.join(keys)} to {target}")

    def rows(self):
        return self.drive("rows")

    def label(self, control):
        return self.drive("label", control)

    def focus(self):
        return int(self.drive("focus"))

    def expect_focus(self, control, why):
        assert wait_until(lambda: self.try_drive("focus") == (True, str(control)), 10), \
            f"{why}: the focus is on {self.try_drive('focus')[1]}, not {control}"

    def placement(self):
        return self.drive("placement")

    def open_options(self):
        self.drive("command", IDM_CONFIGAPP)
        self.drive("wait-dialog", "visible")

    def close_options(self):
        self.drive("click-dialog", IDC_FLATBUTTON1)
        self.drive("wait-dialog", "hidden")

    def expect_dialog_check(self, control, ticked):
        expected = "1" if ticked else "0"
        assert wait_until(lambda: self.try_drive("dialog-check", control) == (True, expected)), \
            f"box {control}: expected {expected}, got {self.try_drive('dialog-check', control)[1]}"

    def expect_dialog_status(self, text):
        assert wait_until(lambda: self.try_drive("dialog-status") == (True, text)), \
            f"expected the status \"{text}\", got: {self.try_drive('dialog-status')[1]}"

    # The registry

    def reg_value(self, key, name):
        """A REG_SZ value's text; None when it is missing."""
        code, out = self.wine.output("reg", "query", key, "/v", name)
        if code != 0:
            return None
        prefix = f"    {name}    REG_SZ    "
        return next((line[len(prefix):] for line in out.splitlines() if line.startswith(prefix)), "")

    def reg_add(self, key, name, data, kind="REG_SZ"):
        assert self.wine.run("reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f").returncode == 0, \
            f"cannot set {key}\\{name}"

    def reg_delete(self, key, name=None):
        self.wine.run("reg", "delete", key, *(["/v", name] if name else []), "/f")

    def expect_reg_value(self, key, name, data):
        """Kestrix writes once the click reaches it, after the driver has ended."""
        assert wait_until(lambda: self.reg_value(key, name) == data), \
            f"{key}\\{name} is not \"{data}\": {self.reg_value(key, name)!r}"

    def expect_reg_value_gone(self, key, name):
        assert wait_until(lambda: self.reg_value(key, name) is None), f"{key}\\{name} is still there"

    def reg_export(self, key):
        """A key as reg export writes it: reg query shows Chinese as question marks."""
        exported = self.work / "export.reg"
        exported.unlink(missing_ok=True)
        self.wine.run("reg", "export", key, "Z:" + str(exported).replace("/", "\\"), "/y")
        return exported.read_bytes().decode("utf-16").replace("\r", "") if exported.exists() else ""

    # The X side: windows, the notification area, screenshots

    def x_windows(self, name):
        out = subprocess.run(["xwininfo", "-root", "-tree"], env=self.wine.env, capture_output=True,
                             text=True).stdout
        return [line.split()[0] for line in out.splitlines() if f' "{name}": ' in line]

    def x_viewable(self, window):
        out = subprocess.run(["xwininfo", "-id", window], env=self.wine.env, capture_output=True, text=True).stdout
        return "Map State: IsViewable" in out

    def x_shown(self, name):
        return any(self.x_viewable(window) for window in self.x_windows(name))

    def tray_icons(self):
        """The icons in Wine's tray: it holds them in square slots side by
        side, and an empty slot is a plain colour. Only the slots' upper half
        counts, where no balloon's pointer reaches."""
        trays = self.x_windows("Wine System Tray")
        if not trays or not self.x_viewable(trays[0]):
            return 0
        picture = self.work / "tray.png"
        subprocess.run(["import", "-window", trays[0], str(picture)], env=self.wine.env, check=True)
        width, height = map(int, subprocess.run(["identify", "-format", "%w %h", str(picture)],
                                                capture_output=True, text=True, check=True).stdout.split())
        count = 0
        for left in range(0, width - height + 1, height):
            deviation = subprocess.run(
                ["convert", str(picture), "-crop", f"{height}x{height // 2}+{left}+0", "+repage", "-format",
                 "%[fx:standard_deviation]", "info:"], capture_output=True, text=True, check=True).stdout
            count += deviation.strip() != "0"
        return count

    def expect_tray_icons(self, count, why=None):
        assert wait_until(lambda: self.tray_icons() == count), \
            why or f"expected {count} tray icon(s), saw {self.tray_icons()}"

    def point_at_tray_icon(self):
        """The pointer over the first icon of Wine's tray, as a user's would be."""
        trays = self.x_windows("Wine System Tray")
        assert trays, 'no "Wine System Tray" window'
        info = subprocess.run(["xwininfo", "-id", trays[0]], env=self.wine.env, capture_output=True,
                              text=True).stdout
        field = {line.split(":")[0].strip(): line.split(":")[1].split()[0]
                 for line in info.splitlines() if ":" in line and line.split(":")[1].strip()}
        left, top = int(field["Absolute upper-left X"]), int(field["Absolute upper-left Y"])
        height = int(field["Height"])
        subprocess.run(["xdotool", "mousemove", str(left + height // 2), str(top + height // 2)],
                       env=self.wine.env, check=True)

    def point_away(self):
        """The pointer in a corner, where no window will bring up a hint."""
        self.drive("point", 1023, 767, why="the pointer did not move")

    def shot(self, name):
        """A screenshot once the screen has settled: two grabs in a row with
        the same pixels, so that no window is caught half painted."""
        picture = self.shots / f"{name}.png"
        previous = None

        def settled():
            nonlocal previous
            subprocess.run(["import", "-window", "root", str(picture)], env=self.wine.env, check=True)
            signature = subprocess.run(["identify", "-format", "%#", str(picture)], capture_output=True,
                                       text=True, check=True).stdout
            same, previous = signature == previous, signature
            return same

        assert wait_until(settled), f"the screen did not settle for {name}"
        return picture
