"""The list's menu on rows the user selected with the mouse."""

from kestrix_e2e import IDC_TOTALNUMBER, SWEEP_FINISHED, IDC_CURRENTVIRUS, INFECTED_ROWS


def test_list_menu_ignores_scans_and_cleans_the_selected_rows(desktop, stick):
    stick.lay_infected()
    desktop.start_kestrix()
    desktop.drive("wait-rows", 3)
    desktop.wait_first_sweep()
    desktop.drive("activate")

    def choose(rows, key):
        desktop.drive("click-rows", *rows)
        desktop.drive("right-click-row", rows[-1])
        desktop.drive("wait-menu", "open", why="a right click on a row opened no menu")
        assert desktop.drive("selected") == " ".join(map(str, rows)), "the right click changed the selection"
        desktop.keys("menu", key)
        desktop.drive("wait-menu", "closed")

    # 忽略(&P) drops the selected rows and says how many.
    choose([1, 3], "p")
    desktop.drive("wait-rows", 1)
    assert desktop.rows() == "2\tE:\\RavMonE.exe\t危险"
    desktop.drive("wait-balloon", "您忽略了 2 個病毒,要刪除,請重新掃毒.", why="no balloon about the ignored rows")
    assert desktop.label(IDC_TOTALNUMBER) == "3"
    assert len(stick.worms_left()) == 3, "ignoring deleted a file"

    # 掃毒(&F) sweeps again, and the ignored files are back.
    choose([1], "f")
    desktop.drive("wait-rows", 3)
    desktop.drive("wait-label", IDC_CURRENTVIRUS, SWEEP_FINISHED)
    assert desktop.rows() == INFECTED_ROWS

    # 清除病毒(&K) deletes only what is selected.
    choose([1, 3], "k")
    desktop.drive("wait-rows", 1)
    assert desktop.rows() == "2\tE:\\RavMonE.exe\t危险"
    assert stick.worms_left() == ["RavMonE.exe"]
    stick.assert_owner_files_kept()


def test_keyboard_opens_the_list_menu_below_the_focused_row(desktop, stick):
    stick.lay_infected()
    desktop.start_kestrix()
    desktop.drive("wait-rows", 3)
    desktop.wait_first_sweep()
    desktop.drive("activate")
    for key in ("shift+f10", "apps"):
        desktop.drive("click-rows", 2)
        desktop.drive("point", 0, 0)  # the pointer far from the row
        x, y = map(int, desktop.drive("row-point", 2).split(","))
        desktop.keys("main", key)
        opened = desktop.drive("wait-menu", "open", why=f"{key} opened no menu")
        left, top = map(int, opened.split()[0].split(","))
        assert left <= x and y <= top <= y + 20, f"{key}: the menu at {opened}, the row's middle at {x},{y}"
        desktop.keys("menu", "escape")
        desktop.drive("wait-menu", "closed")
