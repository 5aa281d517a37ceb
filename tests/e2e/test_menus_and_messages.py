"""The tray menu's About and update commands, and what Windows sends a
running kestrix: taskbar restarts, device events, wake-ups, log-off."""

from kestrix_e2e import (DBT_DEVICEARRIVAL, IDC_SKIPVIRUS, IDM_KESTRIXABOUT, IDM_UPDATEAPP, holds, wait_until)

# Wine words the caption in its own language, around the title.
ABOUT_CAPTION = "Kestrix 隨身碟掃毒工"


def test_about_box_and_update_command(desktop):
    # The shell's web browser is the driver, which writes down how it was called;
    # a default verb of its own tells a missing verb from "open".
    browser = desktop.work / "browser.txt"
    browser.unlink(missing_ok=True)
    record = f'"{desktop.driver}" record "Z:{str(browser)}"'.replace("/", "\\")
    desktop.reg_add(r"HKCR\https\shell", "", "decoy")
    desktop.reg_add(r"HKCR\https\shell\decoy\command", "", f'{record} decoy "%1"')
    desktop.reg_add(r"HKCR\https\shell\open\command", "", f'{record} open "%1"')
    desktop.start_kestrix()
    desktop.wait_first_sweep()

    desktop.drive("command", IDM_UPDATEAPP)
    assert wait_until(lambda: browser.exists() and browser.read_text()), "the update command opened nothing"
    assert browser.read_text() == "open https://kestrix.example.org/download\n"

    desktop.drive("command", IDM_KESTRIXABOUT)
    texts = desktop.drive("wait-window", ABOUT_CAPTION, why="no About box").splitlines()
    assert ABOUT_CAPTION in texts[1:] and "Kestrix © 2026 the Kestrix developers. Free software." in texts, texts
    desktop.shot("about-box")
    # Enter presses the box's default button.
    desktop.keys(f"window:{ABOUT_CAPTION}", "enter")
    assert wait_until(lambda: not desktop.try_drive("wait-window", ABOUT_CAPTION, 0)[0]), "Enter left the box open"


def test_what_windows_sends_a_running_kestrix(desktop, stick):
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    desktop.drive("wait-main", "hidden", 0)

    # A restarted taskbar has lost the icon; its broadcast brings it back.
    desktop.expect_tray_icons(1)
    desktop.drive("remove-icon")
    desktop.expect_tray_icons(0, "the icon stays after its removal")
    desktop.drive("taskbar-created")
    desktop.expect_tray_icons(1, "TaskbarCreated did not bring the icon back")

    # Only an arrival sweeps: a removal and a change of devices do not.
    stick.lay_infected()
    for event in (0x8004, 0x0007):
        desktop.drive("device-event", event)
    assert holds(lambda: desktop.main_state() == "hidden", 3), "a device event other than arrival swept"

    # Three arrivals at once sweep once: after the sweep shows the stick and
    # the user skips it, nothing comes back.
    assert int(desktop.drive("device-event", DBT_DEVICEARRIVAL, 3)) < 100, "the arrivals took 100 ms or more"
    desktop.expect_main("visible", "the arrivals brought no window")
    desktop.drive("wait-rows", 3)
    desktop.wait_first_sweep()
    desktop.drive("click", IDC_SKIPVIRUS)
    desktop.expect_main("hidden", "略過 left the window shown")
    assert holds(lambda: desktop.main_state() == "hidden", 3), "the arrivals swept more than once"

    # A wake-up shows the window whatever it carries.
    for payload in ("Hello", "none"):
        desktop.drive("copy-data", payload)
        desktop.expect_main("visible", f"a wake-up carrying {payload} showed no window")
        desktop.drive("click", IDC_SKIPVIRUS)
        desktop.expect_main("hidden")

    # Windows may log off while entries are listed, and nobody is asked.
    assert desktop.drive("query-end-session") != "0", "kestrix holds up the log-off"
    assert not desktop.try_drive("wait-box", "是否略過", 0)[0], "the log-off asked"
    assert desktop.rows().count("\n") == 2
