"""The alarm episodes of a short, made-up shift, and its alarm report.

Writes a one-day archive into a temporary folder: a tank's high level alarm
(AlFloat, id 21) raised twice and acknowledged once, a pump trip (AlBool,
id 22) that goes high, is acknowledged and drops back, and an operator note
(AlString, id 23); a catalog names them and says which signal each alarm
watches (its alarm_of column). Then prints the episodes and a few figures.
"""

import sys
import tempfile
from datetime import date
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))

from archive_format import END, alarm, date_mark, string_alarm, write_archive  # noqa: E402

import zentrail  # noqa: E402

with tempfile.TemporaryDirectory() as root:
    write_archive(Path(root) / "2024-03-01_plant.vlx", [
        date_mark(date(2024, 3, 1)),
        alarm("AlFloat", "08:00:00", 21, value=912, subtype="Hi"),
        alarm("AlBool", "08:01:00", 22, subtype="L->H"),
        alarm("AlAckn", "08:03:30", 21, value=1, subtype="Hi/H"),  # acknowledges the Hi of 08:00
        alarm("AlAckn", "08:04:00", 22, value=1, subtype="Hi/H"),  # acknowledges the L->H of 08:01
        alarm("AlBool", "08:20:00", 22, subtype="H->L"),  # the pump's return to normal
        string_alarm("09:00:00", 23, "filter changed", subtype="User"),
        alarm("AlFloat", "09:30:00", 21, value=915, subtype="Hi"),  # never acknowledged
        END,
    ])
    (Path(root) / "zentrail-catalog.csv").write_text(
        "signal_id,element,name,unit,alarm_of\n"
        "21,,Tank1.LevelHigh,cm,Tank1.Level\n"
        "22,,Pump1.Trip,,Pump1.Running\n"
        "23,,Shift.Note,,\n")
    episodes = zentrail.alarms(root, "2024-03-01", "2024-03-01")
    columns = episodes.to_numpy()
    for k in range(len(episodes)):
        print(str(columns["raised"][k])[11:19], columns["name"][k], columns["level"][k],
              "watches", columns["watches"][k],
              "acknowledged after", columns["to_acknowledge"][k].astype("timedelta64[s]"),
              "active", columns["active"][k].astype("timedelta64[s]"))
    report = episodes.report().to_dict()
    print("alarms:", report["count"], "per hour at most:", report["rate"]["hour"]["peak"])
    print("not acknowledged:", report["not_acknowledged"], "acknowledging nothing:", report["unmatched_acks"])
    print("most frequent:", [(a["name"], a["level"], a["count"]) for a in report["top"]["alarms"]])
