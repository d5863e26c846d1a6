"""Draws docs/time-series.png: one signal's rows, and the grid values that
Scan.align gives for them with steps, linear interpolation and max_gap,
including the value in force carried in from the day before.

    python docs/time_series_figure.py   # needs matplotlib (the view extra)
"""

import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import zentrail  # noqa: E402
from archive_format import archive, at, date_mark, group  # noqa: E402

DAY = 8826  # 2024-03-01
ROWS_BEFORE = [("21:30:00", 4.0)]
ROWS = [("01:10:00", 6.0), ("01:40:00", 5.0), ("02:00:00", 8.0), ("05:20:00", 3.0), ("05:50:00", 4.5)]


def main() -> None:
    with tempfile.TemporaryDirectory() as root:
        Path(root, "2024-02-29_a.vlx").write_bytes(archive(date_mark(DAY - 1),
                                                           *(group("GrDouble", at(t), 7, [v]) for t, v in ROWS_BEFORE)))
        Path(root, "2024-03-01_a.vlx").write_bytes(archive(date_mark(DAY),
                                                           *(group("GrDouble", at(t), 7, [v]) for t, v in ROWS)))
        scan = zentrail.scan(root, "2024-03-01 00:00", "2024-03-01 06:59:59", [7 * 1024])
        grids = {
            "step": scan.align("20min", how="step").to_numpy(),
            "linear": scan.align("20min", how="linear").to_numpy(),
            'step, max_gap="1h"': scan.align("20min", how="step", max_gap="1h").to_numpy(),
        }
        rows = zentrail.scan(root, "2024-02-29 20:00", "2024-03-01 06:59:59", [7 * 1024]).to_numpy()
    figure, axes = plt.subplots(3, 1, figsize=(8, 6.5), sharex=True, constrained_layout=True)
    start = np.datetime64("2024-03-01T00:00")
    for axis, (title, grid) in zip(axes, grids.items()):
        axis.axvspan(np.datetime64("2024-02-29T21:00"), start, color="0.93", lw=0)
        axis.plot(rows["time"], rows["value"], "o", color="black", ms=5, label="rows (scan)", zorder=3)
        axis.plot(grid["time"], grid["7:0"], "s", color="tab:orange", ms=4, label="grid (align)", zorder=4)
        if title.startswith("step"):
            axis.step(grid["time"], grid["7:0"], where="post", color="tab:orange", lw=1)
        else:
            axis.plot(grid["time"], grid["7:0"], color="tab:orange", lw=1)
        axis.set_title(title, loc="left", fontsize=10)
        axis.set_ylim(2, 9)
        axis.set_xlim(np.datetime64("2024-02-29T21:00"), np.datetime64("2024-03-01T07:00"))
    axes[0].text(np.datetime64("2024-02-29T21:10"), 8.0, "the day before:\nthe value in force at\nthe window's start",
                 fontsize=8, va="top")
    axes[0].legend(loc="upper right", fontsize=8)
    axes[-1].xaxis.set_major_formatter(matplotlib.dates.DateFormatter("%d %H:%M"))
    figure.savefig(HERE / "time-series.png", dpi=90)


if __name__ == "__main__":
    main()
