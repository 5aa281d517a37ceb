"""The tray icon's menu and the options dialog."""

import subprocess

from kestrix_e2e import (IDC_AUTOKILL, IDC_AUTOKILLV, IDC_AUTOSTART, IDC_SKIPFLOOPY, IDM_SHOWMAIN, RUN_COMMAND,
                         RUN_KEY, SETTINGS_KEY)


def test_tray_icon_menu_and_double_click(desktop):
    """The tray icon's menu opens on a right click on the icon in Wine's tray
    and closes on Escape with nothing chosen; a double click shows the
    window, and closing it with an empty list hides it without a question."""
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    desktop.point_at_tray_icon()
    subprocess.run(["xdotool", "click", "3"], env=desktop.wine.env, check=True)
    desktop.drive("wait-menu", "open", why="a right click on the icon opened no menu")
    desktop.shot("tray-menu")
    desktop.drive("dismiss-menu")
    desktop.drive("wait-menu", "closed", why="Escape left the menu open")
    desktop.drive("wait-main", "hidden", 0, why="closing the menu showed the window")
    desktop.drive("tray", "right-down")
    desktop.drive("wait-menu", "open", why="the icon's right button opened no menu")
    desktop.drive("dismiss-menu")
    desktop.drive("wait-menu", "closed", why="the menu stays open")
    desktop.drive("tray", "double-click")
    desktop.expect_main("visible", "the double click showed no window")
    desktop.drive("close-main")
    desktop.expect_main("hidden", "closing the empty window left it shown")
    assert not desktop.try_drive("wait-box", "是否略過", 0)[0], "closing the empty window asked"


def test_option_boxes_write_the_registry(desktop, options):
    """Each box of the options dialog writes its setting the moment it is
    ticked and deletes it the moment it is cleared; floppies are skipped
    until the user says otherwise."""
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    desktop.open_options()
    desktop.expect_dialog_check(IDC_AUTOKILL, False)
    desktop.expect_dialog_check(IDC_AUTOSTART, False)
    desktop.expect_dialog_check(IDC_SKIPFLOOPY, True)
    desktop.expect_dialog_status("準備就緒。")
    desktop.shot("options-dialog")

    desktop.drive("click-dialog", IDC_AUTOKILL)
    desktop.expect_reg_value(SETTINGS_KEY, "AutoKill", "TRUE")
    desktop.expect_dialog_check(IDC_AUTOKILL, True)
    desktop.expect_dialog_status("手動執行,自動掃毒。")
    desktop.drive("click-dialog", IDC_AUTOKILL)
    desktop.expect_reg_value_gone(SETTINGS_KEY, "AutoKill")
    desktop.expect_dialog_check(IDC_AUTOKILL, False)

    desktop.drive("click-dialog", IDC_AUTOSTART)
    desktop.expect_reg_value(RUN_KEY, "Kestrix", RUN_COMMAND)
    desktop.expect_dialog_check(IDC_AUTOSTART, True)
    desktop.expect_dialog_status("自動執行,手动杀毒。")
    desktop.drive("click-dialog", IDC_AUTOSTART)
    desktop.expect_reg_value_gone(RUN_KEY, "Kestrix")

    desktop.drive("click-dialog", IDC_SKIPFLOOPY)
    # The value is missing already: the box tells when the click has counted.
    desktop.expect_dialog_check(IDC_SKIPFLOOPY, False)
    desktop.expect_reg_value_gone(SETTINGS_KEY, "SkipFloopy")
    desktop.drive("click-dialog", IDC_SKIPFLOOPY)
    desktop.expect_reg_value(SETTINGS_KEY, "SkipFloopy", "TRUE")
    desktop.drive("click-dialog", IDC_SKIPFLOOPY)
    desktop.expect_reg_value_gone(SETTINGS_KEY, "SkipFloopy")
    desktop.close_options()


def test_main_auto_clean_box_ticks_the_dialog(desktop, options):
    """The main window's auto-clean box and the dialog's are one setting."""
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    desktop.drive("command", IDM_SHOWMAIN)
    desktop.expect_main("visible", "the main window did not come up")
    desktop.drive("click", IDC_AUTOKILLV)
    desktop.expect_reg_value(SETTINGS_KEY, "AutoKill", "TRUE")
    desktop.open_options()
    desktop.expect_dialog_check(IDC_AUTOKILL, True)
    desktop.expect_dialog_status("手動執行,自動掃毒。")
    desktop.close_options()
