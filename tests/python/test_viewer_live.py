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
