"""A shortcut worm's stick: its shortcuts bear the names of the user's
folders, which it hid, and start a script host on its payload."""

from pathlib import Path

from kestrix_e2e import IDC_KILLVIRUS

DECOYS = ("Photos", "Work", "Music", "Games", "Papers", "Tools")
PAYLOADS = (r"_\run.bat", r"_\w.vbs", r"_\c.js", r"_\m.hta", r"_\p.ps1", "~$WQWDW.FAT32")


def lay_out(desktop, pytestconfig, layout):
    """Lays a layout of the shortcut gallery out on E:."""
    maker = str(Path(pytestconfig.getoption("make_stick")).resolve())
    gallery = "Z:" + str(Path(__file__).resolve().parents[1] / "support" / "shortcut_gallery.txt").replace("/", "\\")
    code, out = desktop.wine.output(maker, gallery, layout, "E:\\")
    assert code == 0, out


def test_shortcut_worm_is_listed_cleaned_and_the_folders_come_back(desktop, stick, pytestconfig):
    """The decoys are listed as 危险 and what they start as 病毒, the
    harmless shortcuts never; cleaning deletes them and shows the user's
    folders again."""
    lay_out(desktop, pytestconfig, "interpreters")
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    rows = {tuple(row.split("\t")[1:]) for row in desktop.rows().splitlines()}
    for name in DECOYS:
        assert (f"E:\\{name}.lnk", "危险") in rows, rows
    for name in PAYLOADS:
        assert (f"E:\\{name}", "病毒") in rows, rows
    assert not any(path.lower().endswith(("notepad.lnk", "settings.lnk", "todo.txt")) for path, _ in rows), rows
    desktop.shot("shortcut-worm")

    desktop.drive("click", IDC_KILLVIRUS)
    desktop.drive("wait-balloon", f"成功清除 {len(rows)} 個病毒.\n已將 {len(rows)} 個檔案保存在隔離區，可以從「隔離區」還原。",
                  why="no success balloon")
    for name in DECOYS:
        assert not (stick.path / f"{name}.lnk").exists(), f"{name}.lnk is still there"
        assert (stick.path / name / "notes.txt").is_file(), f"the user's {name} was touched"
    assert (stick.path / "Notepad.lnk").is_file() and (stick.path / "todo.txt").is_file()
    attributes = desktop.wine.attrib(r"attrib E:\*")
    hidden = [line for line in attributes.splitlines() if any(f"E:\\{name}" == line.split()[-1] for name in DECOYS)
              and "H" in line.split("E:\\")[0]]
    assert hidden == [], f"folders still hidden:\n{attributes}"


def test_a_file_a_decoy_starts_shows_as_a_virus_though_autorun_listed_it_first(desktop, stick, pytestconfig):
    """The Autorun.inf analysis lists the worm's copy as 危险; the decoy that
    starts it turns its row into 病毒, image and all."""
    lay_out(desktop, pytestconfig, "autorun_and_decoys")
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    rows = [tuple(row.split("\t")[1:]) for row in desktop.rows().splitlines()]
    assert rows == [("E:\\Autorun.inf", "危险"), ("E:\\RECYCLER\\svchost.exe", "病毒"),
                    ("E:\\Pictures.lnk", "危险")], rows
    desktop.shot("autorun-and-decoy")
