"""Why each entry is listed, as the tip of its row: under the pointer, and
below the row the keyboard moves to."""

from kestrix_e2e import IDC_VIRUSLIST


def test_a_rows_tip_tells_why_it_is_listed(desktop, stick):
    stick.lay_infected()
    desktop.start_kestrix()
    desktop.drive("wait-rows", 3)
    desktop.wait_first_sweep()
    desktop.drive("activate")
    desktop.drive("point-row", 2)
    desktop.drive("wait-tip", "open=RavMonE.exe", why="no tip on the row of E:\\RavMonE.exe")
    desktop.shot("row-tip-pointer")

    desktop.point_away()
    desktop.expect_focus(IDC_VIRUSLIST, "the window opens with the focus on the list")
    for _ in range(3):
        desktop.keys("main", "down")
    desktop.drive("wait-tip", "sxs.exe", why="no tip below the focused row of E:\\sxs.exe")
    desktop.shot("row-tip-keyboard")
