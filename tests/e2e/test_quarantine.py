"""The quarantine window: what a cleaning kept, put back or forgotten from
kestrix.exe itself."""

import json
import re

import pytest

from kestrix_e2e import IDC_KILLVIRUS, SCAN_EXE, wait_until
from test_high_dpi import assert_whole, scale, scaled, shot_when_shown  # noqa: F401 (scale is a fixture)

IDM_LISTQUARANTINE = 2107
IDC_QUARANTINELIST = 4001
IDC_RESTORE = 4002
IDC_RESTORE_TO = 4003
IDC_DELETE = 4004
IDC_CLOSE = 4005
TITLE = "隔離區"
INSTALLER = b"MZ the stick's real installer \x00\x01\x02"


def clean_installer_stick(desktop, stick):
    """A stick whose Autorun.inf names its real installer, hidden and
    read-only, cleaned with the main window's button: both files kept."""
    (stick.path / "Autorun.inf").write_bytes(b"[AutoRun]\r\nopen=setup.exe\r\n")
    (stick.path / "setup.exe").write_bytes(INSTALLER)
    stick.wine.attrib(r"attrib +h E:\setup.exe", r"attrib +r E:\setup.exe")
    desktop.start_kestrix()
    desktop.drive("wait-rows", 2)
    desktop.wait_first_sweep()
    desktop.drive("click", IDC_KILLVIRUS)
    desktop.expect_main("hidden", "the cleaning left the window shown")
    assert not stick.find("setup.exe"), "the cleaning left setup.exe"


def open_from_tray(desktop):
    desktop.drive("tray", "right-down")
    desktop.drive("wait-menu", "open", why="no tray menu")
    desktop.keys("menu", "q")
    desktop.drive("quarantine-wait", "visible", why="隔離區(&Q)... showed no window")


def rows(desktop):
    return [row.split("\t") for row in desktop.drive("quarantine-rows").splitlines()]


def installer_row(desktop):
    """The installer's row number (1 is the first) and its columns."""
    found = [(number, row) for number, row in enumerate(rows(desktop), 1) if row[1] == "E:\\setup.exe"]
    assert len(found) == 1, f"setup.exe is listed {len(found)} times: {rows(desktop)}"
    return found[0]


def attributes(stick, name):
    return stick.wine.attrib(rf"attrib E:\{name}")


def test_restore_puts_the_installer_back(desktop, stick):
    """The cleaned installer is listed with its reason, and 還原 puts it back
    with its bytes and attributes; its record stays, as kestrix-scan keeps it."""
    clean_installer_stick(desktop, stick)
    open_from_tray(desktop)
    desktop.drive("quarantine-wait-rows", 2)
    number, row = installer_row(desktop)
    time, path, size, category, why = row
    # The system's short date and long time (Wine's English: 12/9/2026 1:37:40 PM), not the record's UTC.
    assert re.fullmatch(r"\d+/\d+/\d{4} \d+:\d\d:\d\d( [AP]M)?", time), f"not a local date and time: {time}"
    # The rule database names setup.exe at a stick's root.
    assert size == str(len(INSTALLER)) and category == "可疑" and why.startswith("Kestrix.dat line "), row
    desktop.shot("quarantine-window")
    desktop.drive("quarantine-select", number)
    desktop.drive("quarantine-click", IDC_RESTORE)
    assert wait_until(lambda: stick.find("setup.exe") is not None), "setup.exe did not come back"
    assert stick.find("setup.exe").read_bytes() == INSTALLER
    assert re.search(r"HR +E:\\setup\.exe", attributes(stick, "setup.exe"), re.IGNORECASE), \
        attributes(stick, "setup.exe")
    assert not desktop.try_drive("wait-box", TITLE, 1000)[0], "a box came up although everything went back"
    assert len(rows(desktop)) == 2


def test_restore_asks_before_replacing(desktop, stick):
    """A file of that name is back: No keeps it, Yes replaces it."""
    clean_installer_stick(desktop, stick)
    (stick.path / "setup.exe").write_bytes(b"a newer installer")
    desktop.drive("command", IDM_LISTQUARANTINE)
    desktop.drive("quarantine-wait", "visible", why="the list menu's entry showed no window")
    desktop.drive("quarantine-wait-rows", 2)
    number, _ = installer_row(desktop)
    for answer, content in (("no", b"a newer installer"), ("yes", INSTALLER)):
        desktop.drive("quarantine-select", number)
        desktop.drive("quarantine-click", IDC_RESTORE)
        question = desktop.drive("answer-box", TITLE, answer, why="no question before replacing")
        assert question == "「E:\\setup.exe」已經存在。\\r要以隔離區中的檔案取代它嗎？"
        assert wait_until(lambda: stick.find("setup.exe").read_bytes() == content), f"after {answer}"
        assert not desktop.try_drive("wait-box", TITLE, 1000)[0], f"a box came up after {answer}"


def test_delete_forgets_and_the_window_follows_kestrix_scan(desktop, stick):
    """刪除 asks, then the kept file goes; what kestrix-scan purges leaves the
    shown window as well."""
    clean_installer_stick(desktop, stick)
    open_from_tray(desktop)
    desktop.drive("quarantine-wait-rows", 2)
    number, _ = installer_row(desktop)
    desktop.drive("quarantine-select", number)
    desktop.drive("quarantine-click", IDC_DELETE)
    assert desktop.drive("answer-box", TITLE, "yes") == "要從隔離區永久刪除選取的 1 個檔案嗎？"
    desktop.drive("quarantine-wait-rows", 1)
    _, listing = desktop.wine.output(SCAN_EXE, "--quarantine-list", "--json")
    assert [record["path"] for record in json.loads(listing)["records"]] == ["E:\\Autorun.inf"]
    desktop.wine.run(SCAN_EXE, "--purge", "all")
    desktop.drive("quarantine-wait-rows", 0, why="the window did not follow kestrix-scan's purge")


def test_quarantine_window_from_the_keyboard(desktop, stick):
    """Tab goes list, then the buttons; Ctrl+A selects all; Delete asks;
    Enter restores; Escape hides."""
    clean_installer_stick(desktop, stick)
    open_from_tray(desktop)
    desktop.drive("quarantine-wait-rows", 2)
    target = f"window:{TITLE}"
    desktop.expect_focus(IDC_QUARANTINELIST, "the list has not the focus")
    for control in (IDC_RESTORE, IDC_RESTORE_TO, IDC_DELETE, IDC_CLOSE, IDC_QUARANTINELIST):
        desktop.keys(target, "tab")
        desktop.expect_focus(control, "Tab")
    desktop.keys(target, "ctrl+a")
    assert wait_until(lambda: desktop.drive("quarantine-selected") == "1 2"), "Ctrl+A did not select all"
    desktop.keys(target, "delete")
    assert desktop.drive("answer-box", TITLE, "no") == "要從隔離區永久刪除選取的 2 個檔案嗎？"
    number, _ = installer_row(desktop)
    desktop.drive("quarantine-select", number)
    desktop.keys(target, "enter")
    assert wait_until(lambda: stick.find("setup.exe") is not None), "Enter did not restore"
    desktop.keys(target, "alt+d")
    desktop.drive("answer-box", TITLE, "no", why="Alt+D did not ask")
    # Alt+T opens the shell's folder picker ("Select Folder" under Wine); Escape cancels it.
    (stick.path / "setup.exe").unlink()
    desktop.keys(target, "alt+t")
    desktop.keys("window:Select Folder", "escape")
    desktop.drive("quarantine-wait", "visible")
    assert wait_until(lambda: not desktop.try_drive("wait-window", "Select Folder", 0)[0]), "the picker stays open"
    assert not desktop.try_drive("wait-box", TITLE, 1000)[0] and not stick.find("setup.exe"), "a cancel restored"
    desktop.keys(target, "escape")
    desktop.drive("quarantine-wait", "hidden", why="Escape left the window shown")


@pytest.mark.parametrize("scale", [96, 144], indirect=True)
def test_quarantine_window_at_each_scale(desktop, stick, scale):
    """Sized by its client area, every control inside it and none over
    another, at 100% and 150%."""
    clean_installer_stick(desktop, stick)
    open_from_tray(desktop)
    desktop.drive("quarantine-wait-rows", 2)
    assert_whole(desktop, f"window:{TITLE}", (scaled(640, scale), scaled(320, scale)))
    shot_when_shown(desktop, TITLE, f"quarantine-{scale}dpi")
