"""What kestrix.exe writes to the Application log, as Wine traces it."""

from kestrix_e2e import IDC_KILLVIRUS, KESTRIX_EXE, WORMS, Wine, wait_until

SWEEP_FOUND = 0x800003E8
FILE_REMOVED = 0x400003E9


def reported_events(log):
    """Each event ReportEventW took, as (id, [strings]): Wine prints the id on
    advapi's line and each string on an eventlog line of its own."""
    events = []
    for line in log.read_text("utf-8", "replace").splitlines():
        if ":advapi:ReportEventW (" in line:
            events.append((int(line.split(",")[3], 16), []))
        elif ':eventlog:ReportEventW L"' in line and events:
            events[-1][1].append(line.split('ReportEventW L"', 1)[1].rstrip('"\r').replace("\\\\", "\\"))
    return events


def test_sweep_and_removal_reach_the_event_log(desktop, stick):
    """The sweep that found the stick's worms and the clean button's removal
    of each reach ReportEventW, with the count and each file's path."""
    stick.lay_infected()
    traced = Wine(dict(desktop.wine.env, WINEDEBUG="+eventlog"), desktop.wine.log_path)
    desktop.kestrix = traced.start(KESTRIX_EXE)
    desktop.drive("wait-main", "exists", why="kestrix.exe did not start")
    desktop.drive("wait-rows", 3)
    desktop.wait_first_sweep()
    desktop.drive("click", IDC_KILLVIRUS)
    desktop.drive("wait-balloon", "成功清除 3 個病毒.\n已將 3 個檔案保存在隔離區，可以從「隔離區」還原。",
                  why="no success balloon")

    worms = sorted("e:\\" + name.lower() for name in WORMS)

    def removed():
        return sorted(strings[0].lower() for id, strings in reported_events(traced.log_path) if id == FILE_REMOVED)

    assert wait_until(lambda: removed() == worms), f"removals written: {removed()}"
    found = [strings for id, strings in reported_events(traced.log_path) if id == SWEEP_FOUND]
    assert found and found[0][0] == "3", f"the sweep's find is not written with its count: {found}"
