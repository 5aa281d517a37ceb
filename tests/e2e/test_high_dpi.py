"""The windows at 100%, 150% and 200% scale: sized by their client area,
every control inside it, none over another that it should not cover."""

import pytest

from kestrix_e2e import IDC_SKIPVIRUS, IDM_CONFIGAPP, IDM_KESTRIXABOUT, wait_until

DESKTOP_KEY = r"HKCU\Control Panel\Desktop"
ABOUT_CAPTION = "Kestrix 隨身碟掃毒工"

# Controls that lie over others by design: the labels reach a pixel into
# what they name, the count lies over its caption, and the options dialog's
# two group boxes share seven pixels. A group box may hold whatever lies
# wholly inside it.
MAY_OVERLAP = {frozenset(pair) for pair in ((1003, 1004), (1005, 1006), (1007, 1008), (3002, 3004))}


@pytest.fixture
def scale(request, desktop):
    """The screen's pixels per inch for the programs started from now on."""
    dpi = request.param
    # reg.exe once failed here right after the prefix's processes had been
    # ended; a second try takes.
    assert wait_until(lambda: desktop.wine.run("reg", "add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD",
                                               "/d", str(dpi), "/f").returncode == 0, 20), \
        f"cannot set {DESKTOP_KEY}\\LogPixels"
    yield dpi
    desktop.reg_delete(DESKTOP_KEY, "LogPixels")


def shot_when_shown(desktop, caption, name):
    """A screenshot once the X side shows the window: Windows counts it
    shown a little before the X server draws it. (Under Wine the X side may
    still stack it beneath the main window; the places above are what the
    case checks, the picture is for the eye.)"""
    def shown():
        return any(desktop.x_viewable(window) for window in desktop.x_windows(caption))
    assert wait_until(shown), f'"{caption}" is not on the screen'
    desktop.shot(name)


def scaled(design, dpi):
    return (design * dpi + 48) // 96


def layout(desktop, window):
    """The window's client size and shown children."""
    lines = desktop.drive("layout", window).splitlines()
    width, height = map(int, lines[0].split())
    children = []
    for line in lines[1:]:
        control, kind, *numbers = line.split()
        left, top, w, h, shown = map(int, numbers)
        if shown:
            children.append((int(control), kind, left, top, left + w, top + h))
    return width, height, children


def assert_whole(desktop, window, client=None):
    """Nothing cut off: each control within the client area, and no two
    overlapping unless one frames the other or they are drawn that way. A
    client area of the design's size at the scale shows the window scaled."""
    width, height, children = layout(desktop, window)
    if client:
        assert (width, height) == client, f"{window}'s client area is {width}x{height}, not {client}"
    for control, kind, left, top, right, bottom in children:
        assert 0 <= left and 0 <= top and right <= width and bottom <= height, \
            f"{window}: {kind} {control} at {left},{top}-{right},{bottom} is cut off by {width}x{height}"
    for i, a in enumerate(children):
        for b in children[i + 1:]:
            overlap = a[2] < b[4] and b[2] < a[4] and a[3] < b[5] and b[3] < a[5]
            inside = (a[2] <= b[2] and a[3] <= b[3] and b[4] <= a[4] and b[5] <= a[5]) or \
                     (b[2] <= a[2] and b[3] <= a[3] and a[4] <= b[4] and a[5] <= b[5])
            assert not overlap or inside or frozenset((a[0], b[0])) in MAY_OVERLAP, \
                f"{window}: {a[1]} {a[0]} {a[2:]} and {b[1]} {b[0]} {b[2:]} overlap"


@pytest.mark.parametrize("scale", [96, 144, 192], indirect=True)
def test_windows_are_whole_at_every_scale(desktop, stick, scale):
    stick.lay_infected()
    desktop.start_kestrix()
    desktop.drive("wait-rows", 3)
    desktop.wait_first_sweep()
    desktop.expect_main("visible")
    assert_whole(desktop, "main", (scaled(422, scale), scaled(335, scale)))

    # From the tray, as a user opens it: the main window comes up first.
    desktop.drive("click", IDC_SKIPVIRUS)
    desktop.expect_main("hidden")
    desktop.drive("command", IDM_CONFIGAPP)
    desktop.drive("wait-dialog", "visible")
    assert_whole(desktop, "dialog", (scaled(274, scale), scaled(230, scale)))
    shot_when_shown(desktop, "Kestrix選項", f"scale-{scale}-options")
    desktop.keys("dialog", "escape")
    desktop.drive("wait-dialog", "hidden")

    desktop.drive("command", IDM_KESTRIXABOUT)
    about = desktop.drive("wait-window", ABOUT_CAPTION, why="no About box").splitlines()[0]
    assert_whole(desktop, f"window:{ABOUT_CAPTION}")
    shot_when_shown(desktop, about, f"scale-{scale}-about")
    desktop.keys(f"window:{ABOUT_CAPTION}", "enter")
    assert wait_until(lambda: not desktop.try_drive("wait-window", ABOUT_CAPTION, 0)[0]), "Enter left the box open"

    desktop.drive("close-main")
    desktop.drive("wait-box", "是否略過")
    assert_whole(desktop, "window:是否略過")
    shot_when_shown(desktop, "是否略過", f"scale-{scale}-question")
    desktop.drive("answer-box", "是否略過", "no")
    shot_when_shown(desktop, "Kestrix", f"scale-{scale}-main")
