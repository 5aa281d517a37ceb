"""A user without a mouse: the main window's tab order, its Alt keys, and
Enter and Escape wherever a window has a default."""

from kestrix_e2e import (IDC_AUTOKILLV, IDC_KILLVIRUS, IDC_SKIPVIRUS, IDC_VIRUSLIST, IDM_CONFIGAPP, IDM_SHOWMAIN,
                         SETTINGS_KEY, wait_until)


def test_keyboard_user_cleans_a_stick(desktop, stick, options):
    stick.lay_infected()
    desktop.start_kestrix()
    desktop.drive("wait-rows", 3)
    desktop.wait_first_sweep()
    desktop.drive("activate")
    desktop.expect_focus(IDC_VIRUSLIST, "the window opens with the focus on a control")

    # Tab goes round the controls in order, Shift+Tab back.
    for control in (IDC_AUTOKILLV, IDC_KILLVIRUS, IDC_SKIPVIRUS, IDC_VIRUSLIST):
        desktop.keys("main", "tab")
        desktop.expect_focus(control, "Tab")
    for control in (IDC_SKIPVIRUS, IDC_KILLVIRUS):
        desktop.keys("main", "shift+tab")
        desktop.expect_focus(control, "Shift+Tab")
    desktop.shot("keyboard-focus")

    # Escape is the close box: it asks, and Enter takes the question's default, No.
    desktop.keys("main", "escape")
    assert desktop.drive("wait-box", "是否略過", why="Escape did not close") == "還有 3 個可疑檔案,要略過嗎？"
    desktop.keys("window:是否略過", "enter")
    assert wait_until(lambda: not desktop.try_drive("wait-box", "是否略過", 0)[0]), "Enter left the question open"
    desktop.drive("wait-main", "visible", 0, why="Enter answered Yes")

    # Alt+A ticks automatic cleaning and clears it again.
    desktop.keys("main", "alt+a")
    desktop.expect_reg_value(SETTINGS_KEY, "AutoKill", "TRUE")
    assert desktop.drive("check", IDC_AUTOKILLV) == "1"
    desktop.keys("main", "alt+a")
    desktop.expect_reg_value_gone(SETTINGS_KEY, "AutoKill")

    # Alt+S skips: the window goes to the tray, and comes back with the
    # focus on the button pressed last.
    desktop.keys("main", "alt+s")
    desktop.expect_main("hidden", "Alt+S left the window shown")
    desktop.drive("command", IDM_SHOWMAIN)
    desktop.expect_main("visible")
    desktop.drive("activate")
    desktop.expect_focus(IDC_SKIPVIRUS, "the window came back without its focus")

    # Enter presses the button that has the focus.
    desktop.keys("main", "enter")
    desktop.expect_main("hidden", "Enter on 略過 left the window shown")
    desktop.drive("command", IDM_SHOWMAIN)
    desktop.expect_main("visible")
    desktop.drive("activate")
    desktop.expect_focus(IDC_SKIPVIRUS, "the window came back without its focus")

    # Alt+K cleans.
    desktop.keys("main", "alt+k")
    desktop.drive("wait-balloon", "成功清除 3 個病毒.\n已將 3 個檔案保存在隔離區，可以從「隔離區」還原。",
                  why="Alt+K did not clean")
    desktop.expect_main("hidden", "the cleaned window stays shown")
    assert stick.worms_left() == []

    # Escape closes the options dialog, as its close box does.
    desktop.drive("command", IDM_CONFIGAPP)
    desktop.drive("wait-dialog", "visible")
    desktop.keys("dialog", "escape")
    desktop.drive("wait-dialog", "hidden", why="Escape left the options dialog open")
