"""The vaccine from the tray: the 保護隨身碟 submenu, the option that
immunizes a stick a sweep found clean, and the clean's balloon about the
files it kept in the quarantine."""

import pytest

from kestrix_e2e import (DBT_DEVICEARRIVAL, IDC_KILLVIRUS, SETTINGS_KEY, wait_until)

IDC_AUTOIMMUNIZE = 3011
DESKTOP_KEY = r"HKCU\Control Panel\Desktop"

MADE = "已保護 E:，建立了 E:\\Autorun.inf 資料夾，病毒無法再寫入 Autorun.inf。"
REMOVED = "已取消 E: 的保護：移除了 Kestrix 建立的 E:\\Autorun.inf 資料夾。"
REFUSED = "無法保護 E:，E:\\Autorun.inf 是檔案，可能是病毒寫入的，請先掃毒並清除。"
AUTO = "掃描後已自動保護乾淨的隨身碟 E:。"
CLEANED = "成功清除 3 個病毒.\n已將 3 個檔案保存在隔離區，可以從「隔離區」還原。"


def choose_first_drive(desktop, shot=None):
    """Opens the tray menu, its 保護隨身碟 submenu with V, and chooses the
    first drive with Enter, as a keyboard user does."""
    desktop.drive("tray", "right-down")
    desktop.drive("wait-menu", "open", why="the icon's right button opened no menu")
    desktop.keys("menu", "v")
    desktop.drive("vaccine-submenu", "open", why="V opened no submenu")
    if shot:
        desktop.shot(shot)
    desktop.keys("menu", "enter")
    desktop.drive("wait-menu", "closed", why="Enter left the menu open")


def balloon_shown(desktop, text):
    shown = desktop.try_drive("vaccine-balloon", 0)[1].splitlines()
    return text.replace("\n", "\\n") in shown


def expect_balloon(desktop, text):
    assert wait_until(lambda: balloon_shown(desktop, text)), \
        f"no balloon \"{text}\"; shown: {desktop.try_drive('vaccine-balloon', 0)[1]}"


def test_tray_submenu_immunizes_and_unimmunizes_a_stick(desktop, stick):
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    folder = stick.path / "Autorun.inf"

    choose_first_drive(desktop, "vaccine-submenu")
    expect_balloon(desktop, MADE)
    assert (folder / "Kestrix" / "Vaccine.txt").is_file(), "no Autorun.inf folder on the stick"

    choose_first_drive(desktop, "vaccine-submenu-checked")
    expect_balloon(desktop, REMOVED)
    assert wait_until(lambda: not folder.exists()), "the Autorun.inf folder stays"

    # A worm's Autorun.inf is no place for the vaccine: it stays, and the balloon says why.
    (stick.path / "autorun.inf").write_bytes(b"[AutoRun]\r\nopen=worm.exe\r\n")
    choose_first_drive(desktop)
    expect_balloon(desktop, REFUSED)
    assert (stick.path / "autorun.inf").read_bytes() == b"[AutoRun]\r\nopen=worm.exe\r\n"


def test_the_option_immunizes_a_stick_a_sweep_found_clean(desktop, stick, options):
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    desktop.open_options()
    desktop.expect_dialog_check(IDC_AUTOIMMUNIZE, False)
    # From the keyboard: its access key turns it on and off.
    desktop.keys("dialog", "alt+v")
    desktop.expect_dialog_check(IDC_AUTOIMMUNIZE, True)
    desktop.expect_reg_value(SETTINGS_KEY, "AutoImmunize", "TRUE")
    assert desktop.reg_value(SETTINGS_KEY, "SkipFloopy") == "TRUE", "the new key keeps skipping A and B"
    desktop.keys("dialog", "alt+v")
    desktop.expect_reg_value_gone(SETTINGS_KEY, "AutoImmunize")
    desktop.keys("dialog", "alt+v")
    desktop.expect_reg_value(SETTINGS_KEY, "AutoImmunize", "TRUE")
    desktop.keys("dialog", "escape")
    desktop.drive("wait-dialog", "hidden", why="Escape left the options dialog open")

    assert not (stick.path / "Autorun.inf").exists()
    desktop.drive("device-event", DBT_DEVICEARRIVAL)
    assert wait_until(lambda: (stick.path / "Autorun.inf" / "Kestrix" / "Vaccine.txt").is_file()), \
        "the sweep did not immunize the clean stick"
    expect_balloon(desktop, AUTO)


def test_the_clean_balloon_counts_the_files_kept_in_the_quarantine(desktop, stick):
    stick.lay_infected()
    desktop.start_kestrix()
    desktop.drive("wait-rows", 3)
    desktop.wait_first_sweep()
    desktop.drive("click", IDC_KILLVIRUS)
    desktop.drive("wait-rows", 0)
    expect_balloon(desktop, CLEANED)
    desktop.shot("vaccine-clean-balloon")


@pytest.fixture
def scale(request, desktop):
    """The screen's pixels per inch for the programs started from now on."""
    dpi = request.param
    assert wait_until(lambda: desktop.wine.run("reg", "add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD",
                                               "/d", str(dpi), "/f").returncode == 0, 20)
    yield dpi
    desktop.reg_delete(DESKTOP_KEY, "LogPixels")


@pytest.mark.parametrize("scale", [96, 144], indirect=True)
def test_vaccine_screens_at_every_scale(desktop, stick, scale, options):
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    desktop.open_options()
    desktop.keys("dialog", "alt+v")
    desktop.expect_dialog_check(IDC_AUTOIMMUNIZE, True)
    desktop.shot(f"vaccine-options-{scale}")
    desktop.keys("dialog", "escape")
    desktop.drive("wait-dialog", "hidden")
    choose_first_drive(desktop, f"vaccine-submenu-{scale}")
    expect_balloon(desktop, MADE)
