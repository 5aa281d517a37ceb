"""The main window maximized, restored, minimized to the tray and back."""

from kestrix_e2e import IDM_SHOWMAIN, KESTRIX_EXE, wait_until


def test_window_maximizes_restores_and_minimizes_to_the_tray(desktop):
    desktop.start_kestrix()
    desktop.wait_first_sweep()
    desktop.drive("command", IDM_SHOWMAIN)
    desktop.expect_main("visible")
    normal = desktop.placement()
    assert normal.startswith("normal "), normal

    def placement_is(expected):
        assert wait_until(lambda: desktop.placement() == expected), f"expected {expected}, got {desktop.placement()}"

    # The title bar's maximize button, then its restore button.
    desktop.drive("syscommand", "maximize")
    assert wait_until(lambda: desktop.placement().startswith("maximized ")), desktop.placement()
    desktop.drive("syscommand", "restore")
    placement_is(normal)
    desktop.drive("wait-main", "visible", 0)
    desktop.shot("restored-window")

    # Made as small as it goes, nothing overlaps; it then grows back.
    desktop.drive("resize", 200, 150)
    assert wait_until(lambda: desktop.placement() != normal), "the window kept its size"
    smallest = desktop.placement()
    width, height = map(int, smallest.split()[1].split("x"))
    assert 200 < width < 430 and 150 < height < 362, smallest
    desktop.shot("smallest-window")
    desktop.drive("resize", *normal.split()[1].split("x"))
    placement_is(normal)

    # Minimizing sends the window to the tray; a double click on the icon brings it back.
    desktop.drive("syscommand", "minimize")
    desktop.expect_main("hidden", "the minimized window stays shown")
    desktop.expect_tray_icons(1)
    desktop.drive("tray", "double-click")
    desktop.expect_main("visible", "the double click showed no window")
    placement_is(normal)

    # A second start brings a minimized window back too.
    desktop.drive("syscommand", "minimize")
    desktop.expect_main("hidden")
    assert desktop.wine.run(KESTRIX_EXE).returncode == 0, "the second start failed"
    desktop.expect_main("visible", "the second start left the window in the tray")
    placement_is(normal)
