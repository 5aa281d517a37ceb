"""An administrator's policy over the user's options."""

import subprocess

import pytest

from kestrix_e2e import (IDC_AUTOKILL, IDC_AUTOKILLV, IDC_AUTOSTART, IDM_SHOWMAIN, SETTINGS_KEY,
                         wait_until)
from test_high_dpi import scale  # noqa: F401  (the screen's scale, a fixture)

POLICY_KEY = r"HKLM\Software\Policies\Halvorn\Kestrix"
IDC_MANAGEDNOTICE = 3010
MANAGED_NOTICE = "灰色的選項由系統管理員管理。"


@pytest.fixture
def policy(desktop, options):
    """The administrator turns automatic cleaning on; the user's own option is off."""
    desktop.reg_add(POLICY_KEY, "AutoKill", "1", "REG_DWORD")
    yield
    desktop.reg_delete(POLICY_KEY)


@pytest.mark.parametrize("scale", [96, 144], indirect=True)
def test_policy_cleans_a_stick_and_greys_the_option(desktop, stick, policy, scale):
    """With AutoKill=1 in the policy and the user's option off, kestrix.exe
    cleans an infected stick by itself; the option is greyed in the dialog,
    which says the administrator manages it, and on the main window, and
    a click on it neither changes nor stores anything."""
    stick.lay_infected()
    desktop.start_kestrix()
    desktop.drive("wait-balloon", "成功清除 3 個病毒.\n已將 3 個檔案保存在隔離區，可以從「隔離區」還原。",
                  why="the stick was not cleaned automatically")
    assert stick.worms_left() == [], "worms are still on the stick"
    stick.assert_owner_files_kept()

    desktop.drive("command", IDM_SHOWMAIN)
    desktop.expect_main("visible", "the main window did not come up")
    assert desktop.drive("control-state", "main", IDC_AUTOKILLV) == "0 自動清除病毒(&A)"
    assert desktop.drive("check", IDC_AUTOKILLV) == "1"
    desktop.shot(f"policy-main-window-{scale}")

    desktop.open_options()
    assert desktop.drive("control-state", "dialog", IDC_AUTOKILL) == "0 自動清除病毒(&A)"
    assert desktop.drive("control-state", "dialog", IDC_AUTOSTART) == "1 自動啟動(&S)"
    assert desktop.drive("control-state", "dialog", IDC_MANAGEDNOTICE) == "1 " + MANAGED_NOTICE
    desktop.expect_dialog_check(IDC_AUTOKILL, True)
    # Windows counts the dialog shown a little before the X server draws it,
    # and Wine's X side may stack it beneath the main window: raised for the eye.
    assert wait_until(lambda: desktop.x_shown("Kestrix選項")), "the dialog is not on the screen"
    for window in desktop.x_windows("Kestrix選項"):
        subprocess.run(["xdotool", "windowraise", window], env=desktop.wine.env, check=True)
    desktop.shot(f"policy-options-dialog-{scale}")
    assert not desktop.try_drive("click-dialog", IDC_AUTOKILL, 1000)[0], "the greyed box can be pressed"
    # Alt+A passes the greyed box by; Alt+S, pressed after it, shows both
    # keys have arrived.
    desktop.keys("dialog", "alt+a", "alt+s")
    desktop.expect_dialog_check(IDC_AUTOSTART, True)
    desktop.expect_dialog_check(IDC_AUTOKILL, True)
    assert desktop.reg_value(SETTINGS_KEY, "AutoKill") is None, "the managed option was stored"
    desktop.close_options()
