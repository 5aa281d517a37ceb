"""A stick with worms: found, shown, cleaned or kept."""

import json

from kestrix_e2e import (DBT_DEVICEARRIVAL, IDC_KILLVIRUS, IDC_TOTALNUMBER, INFECTED_ROWS, SCAN_EXE, SETTINGS_KEY,
                         TIMEOUT, wait_until)


def test_first_sweep_finds_an_infected_stick(desktop, stick):
    """The first sweep finds the stick's autorun.inf, what it launches and
    the worms the rules name, and brings the window up with them."""
    stick.lay_infected()
    desktop.start_kestrix()
    assert desktop.drive("wait-main", "visible", why="the main window did not come up") == "Kestrix"
    desktop.wait_first_sweep()
    assert desktop.rows() == INFECTED_ROWS
    assert desktop.label(IDC_TOTALNUMBER) == "3"
    assert desktop.x_shown("Kestrix"), 'no X window "Kestrix" is shown'
    desktop.shot("main-window")


def test_clean_button_deletes_and_hides(desktop, stick):
    """The clean button deletes every listed file, whatever its attributes,
    reports it and hides the emptied window; kestrix-scan.exe gives the files
    back from the quarantine kestrix.exe kept them in."""
    stick.lay_infected()
    before = stick.worm_fingerprints()
    desktop.start_kestrix()
    desktop.drive("wait-rows", 3)
    desktop.wait_first_sweep()
    desktop.drive("click", IDC_KILLVIRUS)
    desktop.expect_main("hidden", "the window stays shown")
    desktop.drive("wait-balloon", "成功清除 3 個病毒.\n已將 3 個檔案保存在隔離區，可以從「隔離區」還原。",
                  why="no success balloon")
    assert desktop.rows() == ""
    assert desktop.label(IDC_TOTALNUMBER) == "0"
    assert stick.worms_left() == [], "worms are still on the stick"
    stick.assert_owner_files_kept()
    quarantine = desktop.work / "prefix/drive_c/ProgramData/Kestrix/Quarantine"
    assert quarantine.is_dir() and any(quarantine.iterdir()), f"nothing is kept in {quarantine}"
    _, out = desktop.wine.output(SCAN_EXE, "--restore", "all")
    assert not stick.find("autorun.inf"), "restoring everything put the drive's Autorun.inf back"
    _, listing = desktop.wine.output(SCAN_EXE, "--quarantine-list", "--json")
    autorun = next(record["id"] for record in json.loads(listing)["records"]
                   if record["path"].lower() == "e:\\autorun.inf")
    _, out = desktop.wine.output(SCAN_EXE, "--restore", autorun)
    assert stick.worm_fingerprints() == before, f"the files are not given back as they were: {out}"
    stick.assert_worms_marked()


def test_running_worm_is_ended_on_yes(desktop, stick):
    """A worm that runs cannot be deleted: it stays listed, and the question
    about it ends the worm and deletes it."""
    (stick.path / "RavMonE.exe").write_bytes(open(desktop.idle, "rb").read())
    (stick.path / "autorun.inf").write_bytes(b"[AutoRun]\r\nopen=RavMonE.exe\r\n")
    worm = desktop.wine.start(r"E:\RavMonE.exe")
    desktop.drive("wait-process", "RavMonE.exe", "running", why="the worm did not start")
    desktop.start_kestrix()
    desktop.drive("wait-rows", 2)
    desktop.wait_first_sweep()
    desktop.drive("click", IDC_KILLVIRUS)
    assert desktop.drive("wait-box", "Kestrix", why="no question about the running worm") == \
        "還有 1 個未清除的病毒,可能已經執行.\\r是否終止並清除它們?"
    assert desktop.rows() == "2\tE:\\RavMonE.exe\t危险"
    assert stick.find("RavMonE.exe") and not stick.find("autorun.inf"), "the wrong file was deleted"
    desktop.drive("wait-balloon", "還有 1 個病毒未清除,請重試.\n已將 1 個檔案保存在隔離區，可以從「隔離區」還原。",
                  why="no balloon about the leftover")
    desktop.shot("leftover-question")
    desktop.drive("answer-box", "Kestrix", "yes")
    desktop.drive("wait-process", "RavMonE.exe", "gone", why="the worm still runs")
    assert wait_until(lambda: worm.poll() is not None), "the worm's Wine process still runs"
    desktop.drive("wait-rows", 0)
    desktop.expect_main("hidden", "the window stays shown")
    assert not stick.find("RavMonE.exe"), "RavMonE.exe is still on the stick"


def test_device_arrival_sweeps_again(desktop, stick):
    """A volume's arrival sweeps again and shows what the new stick carries."""
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    desktop.drive("wait-main", "hidden", 0, why="the main window is shown")
    stick.lay_infected()
    desktop.drive("device-event", DBT_DEVICEARRIVAL)
    desktop.expect_main("visible", "the arrival brought no window")
    desktop.drive("wait-rows", 3)
    assert desktop.rows() == INFECTED_ROWS


def test_closing_with_entries_asks(desktop, stick):
    """Closing a window with entries asks first: No keeps it, Yes hides it."""
    stick.lay_infected()
    desktop.start_kestrix()
    desktop.drive("wait-rows", 3)
    desktop.wait_first_sweep()
    desktop.drive("close-main")
    assert desktop.drive("answer-box", "是否略過", "no") == "還有 3 個可疑檔案,要略過嗎？"
    desktop.drive("wait-main", "visible", 0, why="No hid the window")
    assert desktop.rows() == INFECTED_ROWS
    desktop.drive("close-main")
    desktop.drive("answer-box", "是否略過", "yes")
    desktop.expect_main("hidden", "Yes left the window shown")
    assert stick.find("sxs.exe"), "closing deleted a file"


def test_automatic_cleaning_cleans_after_the_sweep(desktop, stick, options):
    """With automatic cleaning set, a sweep deletes what it found by itself."""
    desktop.reg_add(SETTINGS_KEY, "AutoKill", "TRUE")
    stick.lay_infected()
    desktop.start_kestrix()
    assert wait_until(lambda: not stick.worms_left()), f"worms are still on the stick: {stick.worms_left()}"
    stick.assert_owner_files_kept()


def test_both_programs_cleaning_at_once_lose_nothing(desktop, stick, options):
    """kestrix.exe cleaning by itself and kestrix-scan.exe cleaning at the
    same moment, both on drives E: and F:, keep in one quarantine: every file
    either deletes comes back whole."""
    desktop.reg_add(SETTINGS_KEY, "AutoKill", "TRUE")
    other = stick.path.parent / "f"
    for entry in other.iterdir():
        entry.unlink()
    worms = {}
    for drive in (stick.path, other):
        count = 30
        verbs = "".join(f"shell\\v{i}\\command=w{i}.exe\r\n" for i in range(count))
        (drive / "autorun.inf").write_bytes(f"[AutoRun]\r\n{verbs}".encode())
        for i in range(count):
            worms[drive / f"w{i}.exe"] = f"MZ {drive.name} {i}".encode() * (1 + i % 7)
    for path, content in worms.items():
        path.write_bytes(content)
    scan = desktop.wine.start(SCAN_EXE, "--clean", "--protected=keep")
    desktop.start_kestrix()
    assert scan.wait(timeout=TIMEOUT * 3) in (0, 1)
    assert wait_until(lambda: not any(path.exists() for path in worms)), "worms are still on the drives"
    # kestrix.exe has ended its pass when its list is empty, or when it asks
    # about the files it found gone (the other program deleted them). While it
    # is busy cleaning, its list may not answer in time: asked again.
    assert wait_until(lambda: desktop.try_drive("rows") == (True, "") or
                      desktop.try_drive("wait-box", "Kestrix", 0)[0]), \
        "kestrix.exe is still cleaning"
    desktop.wine.run(SCAN_EXE, "--restore", "all", timeout=TIMEOUT * 3)
    lost = [str(path) for path, content in worms.items() if not path.exists() or path.read_bytes() != content]
    assert not lost, f"not given back whole: {lost}"
