"""zentrail view --live in a real browser: a value appended to today's file
appears in the page, looking at the past leaves live mode, and the Live
button brings it back (skipped where Chromium, its driver, Selenium or Bokeh
is missing, as the viewer's other tests are)."""

from __future__ import annotations

import datetime as dt

from archive_format import date_mark, group
from test_viewer import browser, line_of, model, running_viewer, wait_for  # noqa: F401  (browser: a fixture)

CODE_LABEL = "7:0"


def axis_ms(moment: dt.datetime) -> float:
    """The trend axis's value of a naive wall-clock time (ms, as if UTC)."""
    return (moment - dt.datetime(1970, 1, 1)) / dt.timedelta(milliseconds=1)


def ns_of_day(moment: dt.datetime) -> int:
    midnight = dt.datetime.combine(moment.date(), dt.time())
    return (moment - midnight) // dt.timedelta(microseconds=1) * 1000


def test_a_value_written_now_appears_and_the_past_leaves_live_mode(tmp_path, browser):  # noqa: F811
    now = dt.datetime.now()
    path = tmp_path / f"{now:%Y-%m-%d}_live.vlx"
    path.write_bytes(date_mark(now.date()) + group("GrFloat", ns_of_day(now - dt.timedelta(seconds=30)), id=7,
                                                     values=[1.5]))
    with running_viewer(tmp_path, "--live", "--poll", "0.5s") as address:
        browser.set_page_load_timeout(60)
        browser.get(address)
        ids = wait_for(lambda: model(browser, "signal-data", "Array.from(m.data.signal_id)"), "the signal list")
        model(browser, "signal-data", f"(m.selected.indices = [{ids.index(7)}], true)")
        wait_for(lambda: (line_of(browser, CODE_LABEL) or {}).get("value") == [1.5], "the first value")

        written = dt.datetime.now()
        with open(path, "ab") as out:
            out.write(group("GrFloat", ns_of_day(written), id=7, values=[4242.5]))
        wait_for(lambda: 4242.5 in (line_of(browser, CODE_LABEL) or {}).get("value", []), "the value just written")
        assert model(browser, "live", "m.active") is True

        # Looking at yesterday leaves live mode; the window stays where it was put.
        day_ago = axis_ms(written - dt.timedelta(days=1))
        model(browser, "window", f"(m.setv({{start: {day_ago - 3600e3}, end: {day_ago}}}), true)")
        wait_for(lambda: model(browser, "live", "m.active") is False, "live mode left")
        assert model(browser, "live", "m.label") == "Back to live"

        # The Live button: back at the present.
        model(browser, "live", "(m.active = true, true)")
        wait_for(lambda: model(browser, "window", "m.end") > axis_ms(written), "the window back at now")
        wait_for(lambda: 4242.5 in (line_of(browser, CODE_LABEL) or {}).get("value", []), "the value again")


def test_live_follows_the_newest_data_not_the_clock_and_says_what_lies_beyond(tmp_path, browser):  # noqa: F811
    # A plant whose clock runs five hours ahead of this machine's.
    ahead = dt.datetime.now().replace(microsecond=0) + dt.timedelta(hours=5)
    path = tmp_path / f"{ahead:%Y-%m-%d}_live.vlx"
    path.write_bytes(date_mark(ahead.date()) + group("GrFloat", ns_of_day(ahead - dt.timedelta(minutes=10)), id=7,
                                                       values=[1.5]) + group("GrFloat", ns_of_day(ahead), id=7,
                                                                             values=[2.5]))
    with running_viewer(tmp_path, "--live", "--poll", "0.5s") as address:
        browser.get(address)
        ids = wait_for(lambda: model(browser, "signal-data", "Array.from(m.data.signal_id)"), "the signal list")
        model(browser, "signal-data", f"(m.selected.indices = [{ids.index(7)}], true)")
        wait_for(lambda: (line_of(browser, CODE_LABEL) or {}).get("value") == [1.5, 2.5], "both values")
        assert axis_ms(ahead) <= model(browser, "window", "m.end") < axis_ms(ahead + dt.timedelta(minutes=5))
        assert model(browser, "beyond", "m.visible") is False
        # Looking back an hour: live mode left, the newer data said.
        hour_ago = axis_ms(ahead) - 3600e3
        model(browser, "window", f"(m.setv({{start: {hour_ago - 3600e3}, end: {hour_ago}}}), true)")
        wait_for(lambda: model(browser, "beyond", "m.visible"), "the newer data said")
        assert f"{ahead:%Y-%m-%d %H:%M:%S}" in model(browser, "beyond", "m.text")
        assert model(browser, "live", "m.label") == "Back to live"


def test_back_to_live_is_offered_only_to_a_live_page(tmp_path, browser):  # noqa: F811
    day = dt.datetime(2024, 3, 1, 12)
    (tmp_path / "2024-03-01_a.vlx").write_bytes(date_mark(day.date()) + group("GrFloat", ns_of_day(day), id=7,
                                                                                values=[1.5]))
    # A window that ends before the data: the data beyond it is said.
    with running_viewer(tmp_path, "--from", "2024-03-01", "--to", "2024-03-01 06:00") as address:
        browser.get(address)
        ids = wait_for(lambda: model(browser, "signal-data", "Array.from(m.data.signal_id)"), "the signal list")
        model(browser, "signal-data", f"(m.selected.indices = [{ids.index(7)}], true)")
        wait_for(lambda: model(browser, "beyond", "m.visible"), "the data beyond the view said")
        assert "2024-03-01 12:00:00" in model(browser, "beyond", "m.text")
        assert model(browser, "live", "m.visible") is False
