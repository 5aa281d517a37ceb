"""The end-to-end suite's fixtures: a Wine prefix with kestrix installed, an
Xvfb display of its own, a stick at E:, and per case a fresh kestrix.exe that
ends with all of the prefix's processes. A failing case names its screenshot
and its Wine log.

    pytest tests/e2e --kestrix KESTRIX_EXE --driver DRIVER_EXE --idle IDLE_EXE --work WORK_DIR
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from kestrix_e2e import RUN_KEY, SETTINGS_KEY, TIMEOUT, Desktop, Stick, Wine, wait_until

SOURCE = Path(__file__).resolve().parents[2]


def pytest_addoption(parser):
    for name, what in (("kestrix", "the built kestrix.exe, with Kestrix.dat and kestrix-scan.exe beside it"),
                       ("driver", "kestrix_driver.exe"), ("idle", "kestrix_idle.exe"),
                       ("make-stick", "make_gallery_stick.exe, which lays a stick of the shortcut gallery out"),
                       ("work", "a directory for the prefix, the screenshots and the logs")):
        parser.addoption(f"--{name}", required=True, help=what)


@pytest.fixture(scope="session")
def work(pytestconfig):
    path = Path(pytestconfig.getoption("work")).resolve()
    for folder in ("screenshots", "logs"):
        shutil.rmtree(path / folder, ignore_errors=True)
        (path / folder).mkdir(parents=True)
    return path


@pytest.fixture(scope="session")
def display(work):
    """An Xvfb display nobody holds. Two runs may pick the same free number
    at once; the loser's Xvfb ends at once, and it moves on to the next."""
    for number in range(90, 121):
        if Path(f"/tmp/.X{number}-lock").exists():
            continue
        server = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def answers():
            return subprocess.run(["xdpyinfo", "-display", f":{number}"], capture_output=True).returncode == 0

        if wait_until(lambda: answers() or server.poll() is not None) and server.poll() is None:
            yield f":{number}"
            server.terminate()
            server.wait()
            return
        server.kill()
        server.wait()
    pytest.fail("no free X display in :90 to :120")


@pytest.fixture(scope="session")
def prefix(pytestconfig, work, display):
    """A fresh prefix with drive letters; Kestrix is installed the way a user
    unpacks it: the program with its rule database beside it."""
    built = Path(pytestconfig.getoption("kestrix")).resolve()
    for name in ("Kestrix.dat", "kestrix-scan.exe"):
        assert (built.parent / name).is_file(), f"no {name} beside {built}"
    env = dict(os.environ, WINEPREFIX=str(work / "prefix"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
               LC_ALL="C.UTF-8", DISPLAY=display)
    subprocess.run([str(SOURCE / "tests/wine/wine-prefix"), "setup", str(work / "prefix"), str(work / "drives")],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    install = work / "prefix/drive_c/Program Files/Kestrix"
    install.mkdir(parents=True, exist_ok=True)
    for file in (built, built.parent / "Kestrix.dat", built.parent / "kestrix-scan.exe"):
        shutil.copy(file, install)
    yield env
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, timeout=TIMEOUT)


@pytest.fixture
def wine(request, prefix, work):
    """Wine for one case, its output in logs/CASE.log."""
    log = work / "logs" / f"{request.node.name}.log"
    request.node.wine_log = log
    return Wine(prefix, log)


@pytest.fixture
def stick(wine, work):
    """An empty stick, and an empty quarantine."""
    path = work / "drives/e"
    for entry in path.iterdir():
        shutil.rmtree(entry) if entry.is_dir() and not entry.is_symlink() else entry.unlink()
    shutil.rmtree(work / "prefix/drive_c/ProgramData/Kestrix/Quarantine", ignore_errors=True)
    return Stick(path, wine)


@pytest.fixture
def desktop(request, pytestconfig, wine, stick, work):
    """The case's desktop; afterwards every process of the prefix ends."""
    desktop = Desktop(wine, str(Path(pytestconfig.getoption("driver")).resolve()), work, work / "screenshots")
    desktop.idle = str(Path(pytestconfig.getoption("idle")).resolve())
    request.node.desktop = desktop
    desktop.point_away()
    yield desktop
    subprocess.run(["wineserver", "-k"], env=wine.env, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=wine.env, timeout=TIMEOUT)


@pytest.fixture
def options(desktop):
    """A machine without Kestrix's settings, before and after the case."""
    def clear():
        desktop.reg_delete(SETTINGS_KEY)
        desktop.reg_delete(RUN_KEY, "Kestrix")

    clear()
    yield
    clear()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failing case's screen is kept, and the report names it and the log."""
    outcome = yield
    report = outcome.get_result()
    if report.when != "call" or not report.failed:
        return
    desktop = getattr(item, "desktop", None)
    lines = [f"case: {item.nodeid}"]
    if desktop is not None:
        picture = desktop.shots / f"FAIL-{item.name}.png"
        subprocess.run(["import", "-window", "root", str(picture)], env=desktop.wine.env)
        lines.append(f"screenshot: {picture}")
    if getattr(item, "wine_log", None) is not None:
        lines.append(f"Wine's log: {item.wine_log}")
    report.longrepr = f"{report.longrepr}\n" + "\n".join(lines)

