"""Starting kestrix.exe, starting it again, and leaving it."""

from kestrix_e2e import (DISK_CLASS_KEY, IDM_EXITAPP, KESTRIX_EXE, RUN_COMMAND, RUN_KEY, STARTUP_BALLOON, TIMEOUT,
                         wait_until)


def test_startup_on_a_clean_machine_leaves_only_the_tray_icon(desktop):
    """Only the tray icon and its balloon, no window; the disk class key is repaired."""
    desktop.reg_delete(DISK_CLASS_KEY)
    desktop.start_kestrix()
    desktop.drive("wait-balloon", STARTUP_BALLOON, why="no start-up balloon")
    desktop.shot("startup-balloon")
    desktop.wait_first_sweep()
    desktop.drive("wait-main", "hidden", 0, why="the main window is shown")
    assert not desktop.x_shown("Kestrix"), 'an X window "Kestrix" is shown'
    assert desktop.x_shown("Wine System Tray"), 'no "Wine System Tray" window'
    desktop.expect_tray_icons(1)
    assert desktop.rows() == ""
    _, query = desktop.wine.output("reg", "query", DISK_CLASS_KEY)
    for value in ("Icon    REG_SZ    -53", "UpperFilters    REG_MULTI_SZ    PartMgr", "Class    REG_SZ    DiskDrive",
                  "SilentInstall    REG_SZ    1"):
        assert f"    {value}" in query, f'the disk class key lacks "{value}"\n{query}'
    assert '"@"="磁碟磁碟機"' in desktop.reg_export(DISK_CLASS_KEY).splitlines(), "the disk class key lacks its name"


def test_stale_run_entry_names_this_copy(desktop, options):
    """A start-up entry for a copy of Kestrix that is gone now names this one."""
    desktop.reg_add(RUN_KEY, "Kestrix", r'"C:\gone\kestrix.exe"')
    assert desktop.reg_value(RUN_KEY, "Kestrix") == r'"C:\gone\kestrix.exe"', "reg add wrote another value"
    desktop.start_kestrix()
    desktop.expect_reg_value(RUN_KEY, "Kestrix", RUN_COMMAND)


def test_second_start_shows_the_window(desktop):
    """A second start wakes the running one, which shows its window, and
    ends without an icon of its own."""
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    desktop.drive("wait-main", "hidden", 0, why="the main window is shown")
    desktop.expect_tray_icons(1)
    assert desktop.wine.run(KESTRIX_EXE).returncode == 0, "the second start failed"
    desktop.expect_main("visible", "the window stays hidden")
    desktop.expect_tray_icons(1)
    assert desktop.kestrix.poll() is None, "the first kestrix.exe ended"


def test_exit_with_an_empty_list_ends(desktop):
    """Exit with an empty list ends the program and takes its icon away;
    Windows may log off at any time."""
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    assert desktop.drive("query-end-session") != "0", "kestrix holds up the log-off"
    desktop.drive("command", IDM_EXITAPP)
    desktop.drive("wait-exit")
    assert desktop.kestrix.wait(TIMEOUT) == 0, "kestrix.exe did not end well"
    assert wait_until(lambda: desktop.tray_icons() == 0), "the tray icon stays"


def test_exit_with_entries_asks(desktop, stick):
    """Exit with entries asks whether to delete them first; No ends the
    program and leaves the files."""
    stick.lay_infected()
    desktop.start_kestrix()
    desktop.drive("wait-rows", 3)
    desktop.wait_first_sweep()
    desktop.drive("command", IDM_EXITAPP)
    assert desktop.drive("answer-box", "Kestrix", "no") == "還有 3 個可疑檔案,是否在離開前刪除？"
    desktop.drive("wait-exit")
    assert stick.find("sxs.exe") and stick.find("autorun.inf"), "a file was deleted"
