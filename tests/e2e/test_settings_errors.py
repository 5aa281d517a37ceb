"""A setting of the wrong type: the error box, and what start-up then
leaves undone."""

import pytest

from kestrix_e2e import DISK_CLASS_KEY, IDC_AUTOKILL, IDC_AUTOKILLV, SETTINGS_KEY, wait_until


@pytest.mark.parametrize("values, error, cleans", [
    # The error ends the settings step before AutoKill counts.
    ({"AutoKill": ("REG_DWORD", "1")}, "Invalid data type for 'AutoKill'", False),
    # AutoKill was read before the error: cleaning is on in both boxes.
    ({"AutoKill": ("REG_SZ", "TRUE"), "SkipFloopy": ("REG_DWORD", "1")}, "Invalid data type for 'SkipFloopy'",
     True),
], ids=["AutoKill", "SkipFloopy"])
def test_wrong_typed_setting(desktop, stick, options, values, error, cleans):
    desktop.reg_delete(DISK_CLASS_KEY)
    for name, (kind, data) in values.items():
        desktop.reg_add(SETTINGS_KEY, name, data, kind)
    stick.lay_infected()
    desktop.start_kestrix()
    assert desktop.drive("wait-box", "Kestrix", why="no error box") == error
    # The first sweep runs while the box waits for its answer.
    desktop.wait_first_sweep()
    if cleans:
        assert wait_until(lambda: not stick.worms_left()), f"automatic cleaning left {stick.worms_left()}"
    else:
        desktop.drive("wait-rows", 3)
        assert len(stick.worms_left()) == 3, "the worms were deleted"
    desktop.drive("answer-box", "Kestrix", "ok")
    assert desktop.drive("check", IDC_AUTOKILLV) == ("1" if cleans else "0")
    desktop.open_options()
    desktop.expect_dialog_check(IDC_AUTOKILL, cleans)
    desktop.close_options()
    assert desktop.wine.run("reg", "query", DISK_CLASS_KEY).returncode != 0, "the disk class key was written"
