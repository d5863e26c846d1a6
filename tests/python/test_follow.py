"""zentrail.follow against a writer that appends to today's file in pieces
that cut records anywhere, starts the next day's file, and a follower that
is stopped and resumed from its cursor: the rows collected are the final
scan's, in order, none twice."""

import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import zentrail
from archive_format import END
from conftest import default_sigint

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
import simulate_plant  # noqa: E402

SIMULATOR = EXAMPLES / "simulate_plant.py"
START = "2024-03-01T23:59:40"
COLUMNS = [name for name, _ in zentrail._core.COLUMNS]


def plant_bytes(seconds=40, signals=24, seed=3):
    """The day files a plant writes over midnight, as (day, bytes) in order:
    groups, alarms with texts (tight limits make many), date marks, and the
    end byte that closes the first day."""
    plant = simulate_plant.Plant(signals, 1.0, seed, limits=0.01)
    days = {}
    start = simulate_plant.dt.datetime.fromisoformat(START)
    for _, day, records in plant.run(start, seconds / 86400):
        days.setdefault(day, bytearray()).extend(b"".join(records))
    ordered = sorted(days.items())
    return [(day, bytes(data) + (END if n < len(ordered) - 1 else b"")) for n, (day, data) in enumerate(ordered)]


def child_env():
    env = dict(os.environ)
    src = str(Path(zentrail.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join([src] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def final_scan(root):
    return zentrail.scan(root, "2024-03-01", "2099-12-31").to_numpy()


def joined(batches):
    if not batches:
        return {name: np.array([]) for name in COLUMNS}
    return {name: np.concatenate([b[name] for b in batches]) for name in COLUMNS}


def assert_same_rows(got, expected):
    assert len(expected["time"]) > 0
    for name in COLUMNS:
        np.testing.assert_array_equal(got[name], expected[name], err_msg=name)


def drain(follower):
    return list(follower)


def test_every_cut_resumed_from_the_cursor_gives_the_scan_once(tmp_path):
    """Pieces of 1 to 13 bytes (every record, date mark and text cut at every
    position over the run), a new follower from the stored cursor after each."""
    rng = random.Random(7)
    files = plant_bytes(seconds=8, signals=20)
    batches, cursor = [], None
    for day, data in files:
        path = simulate_plant.day_path(tmp_path, day)
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "ab") as out:
            pos = 0
            while pos < len(data):
                step = rng.randint(1, 13)
                out.write(data[pos:pos + step])
                out.flush()
                pos += step
                options = {"cursor": cursor} if cursor else {"start": "2024-03-01"}
                with zentrail.follow(tmp_path, poll=0.001, idle_timeout=0.01, **options) as follower:
                    batches += drain(follower)
                    cursor = follower.cursor or cursor
    with zentrail.follow(tmp_path, cursor=cursor, poll=0.001, idle_timeout=0.05) as follower:
        batches += drain(follower)
    assert all(len(b["time"]) > 0 for b in batches)
    assert_same_rows(joined(batches), final_scan(tmp_path))


def writer_process(root, seed, speed=40.0, seconds=40):
    return subprocess.Popen([sys.executable, str(SIMULATOR), str(root), "--live", "--start", START, "--days",
                             str(seconds / 86400), "--period", "1", "--speed", str(speed), "--signals", "24",
                             "--limits", "0.01", "--chunk-bytes", "200", "--seed", str(seed)])


def test_a_follower_beside_a_live_writer_collects_the_scan(tmp_path):
    writer = writer_process(tmp_path, seed=5)
    batches, cursor = [], None
    try:
        while True:
            finished = writer.poll() is not None
            options = {"cursor": cursor} if cursor else {"start": "2024-03-01"}
            with zentrail.follow(tmp_path, poll=0.01, idle_timeout=0.3, **options) as follower:
                batches += drain(follower)
                cursor = follower.cursor or cursor
            if finished:
                break
        assert writer.returncode == 0
    finally:
        writer.kill()
        writer.wait()
    days = {str(t)[:10] for t in joined(batches)["time"]}
    assert days == {"2024-03-01", "2024-03-02"}
    assert_same_rows(joined(batches), final_scan(tmp_path))


# A follower process that commits each batch with its cursor (the batch file
# written beside, then renamed) and goes on from the last committed cursor.
FOLLOWER = r"""
import os, sys, numpy as np, zentrail
root, out, idle = sys.argv[1], sys.argv[2], float(sys.argv[3])
done = sorted(f for f in os.listdir(out) if f.endswith(".npz") and not f.startswith("."))
options = {"start": "2024-03-01"}
if done:
    options = {"cursor": str(np.load(os.path.join(out, done[-1]))["cursor"])}
follower = zentrail.follow(root, poll=0.005, idle_timeout=idle, **options)
for n, batch in enumerate(follower, start=int(done[-1][:8]) + 1 if done else 0):
    with open(os.path.join(out, ".partial"), "wb") as f:
        np.savez(f, cursor=np.array(follower.cursor), **batch)
    os.replace(os.path.join(out, ".partial"), os.path.join(out, f"{n:08d}.npz"))
"""


def name_of_last(out):
    return sorted(name for name in os.listdir(out) if name.endswith(".npz"))[-1]


def test_a_follower_killed_at_random_and_resumed_loses_and_repeats_nothing(tmp_path):
    root, out = tmp_path / "archive", tmp_path / "batches"
    root.mkdir()
    out.mkdir()
    rng = random.Random(11)
    writer = writer_process(root, seed=9, speed=20.0)
    kills = 0
    try:
        while writer.poll() is None:
            follower = subprocess.Popen([sys.executable, "-c", FOLLOWER, str(root), str(out), "30"])
            time.sleep(rng.uniform(0.2, 0.6))
            follower.send_signal(signal.SIGKILL)
            follower.wait()
            kills += 1
        assert writer.returncode == 0
        last = subprocess.run([sys.executable, "-c", FOLLOWER, str(root), str(out), "1"], timeout=120)
        assert last.returncode == 0
    finally:
        writer.kill()
        writer.wait()
    assert kills >= 2
    batches = [dict(np.load(out / name)) for name in sorted(os.listdir(out)) if name.endswith(".npz")]
    assert len(batches) == int(name_of_last(out)[:8]) + 1, "a batch number skipped or written twice"
    assert_same_rows(joined(batches), final_scan(root))


@pytest.mark.parametrize("change", ["rewritten", "truncated"])
def test_a_file_changed_before_the_cursor_raises_or_is_read_again(tmp_path, change):
    (day, data), = plant_bytes(seconds=10)[:1]
    path = simulate_plant.day_path(tmp_path, day)
    path.parent.mkdir(parents=True)
    path.write_bytes(data)
    with zentrail.follow(tmp_path, start="2024-03-01", poll=0.001, idle_timeout=0.01) as follower:
        drain(follower)
        cursor = follower.cursor
    if change == "rewritten":
        path.write_bytes(dict(plant_bytes(seconds=14, seed=4))[day])
    else:
        path.write_bytes(data[: len(data) // 2])
    with pytest.raises(zentrail.ArchiveRewrittenError, match=str(path.name)):
        next(iter(zentrail.follow(tmp_path, cursor=cursor, idle_timeout=0.01)))
    with pytest.warns(RuntimeWarning, match="again from its start"):
        again = drain(zentrail.follow(tmp_path, cursor=cursor, poll=0.001, idle_timeout=0.05, on_rewrite="reread"))
    assert_same_rows(joined(again), final_scan(tmp_path))


def test_without_start_only_what_is_written_from_now_on(tmp_path):
    (day, data), = plant_bytes(seconds=10)[:1]
    path = simulate_plant.day_path(tmp_path, day)
    path.parent.mkdir(parents=True)
    cut = len(data) // 2
    path.write_bytes(data[:cut])
    follower = zentrail.follow(tmp_path, poll=0.001, idle_timeout=0.05)
    assert drain(follower) == []
    before = final_scan(tmp_path)
    path.write_bytes(data)
    follower = zentrail.follow(tmp_path, cursor=follower.cursor, poll=0.001, idle_timeout=0.05)
    got, whole = joined(drain(follower)), final_scan(tmp_path)
    tail = {name: whole[name][len(before["time"]):] for name in COLUMNS}
    assert_same_rows(got, tail)


@pytest.mark.parametrize("options, error", [
    ({"cursor": "zc1.bm90IGpzb24"}, ValueError),
    ({"cursor": "something else"}, ValueError),
    ({"poll": "soon"}, ValueError),
    ({"poll": 0}, ValueError),
    ({"on_rewrite": "ignore"}, ValueError),
    ({"signals": []}, ValueError),
    ({"start": "2024-03-01", "cursor": "zc1.x"}, ValueError),
])
def test_bad_arguments_raise_before_anything_is_read(tmp_path, options, error):
    with pytest.raises(error):
        zentrail.follow(tmp_path, **options)


def test_arrow_gives_the_batches_as_a_record_batch_reader(tmp_path):
    pyarrow = pytest.importorskip("pyarrow")
    for day, data in plant_bytes(seconds=5):
        path = simulate_plant.day_path(tmp_path, day)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    table = zentrail.follow(tmp_path, start="2024-03-01", poll=0.001, idle_timeout=0.05).arrow().read_all()
    scanned = pyarrow.table(zentrail.scan(tmp_path, "2024-03-01", "2099-12-31"))
    assert table.schema == scanned.schema
    assert_same_rows({n: table[n].to_numpy() for n in COLUMNS}, {n: scanned[n].to_numpy() for n in COLUMNS})


def test_ctrl_c_stops_a_waiting_follower_and_leaves_its_cursor(tmp_path):
    (day, data), = plant_bytes(seconds=5)[:1]
    path = simulate_plant.day_path(tmp_path, day)
    path.parent.mkdir(parents=True)
    path.write_bytes(data)
    script = ("import sys, zentrail\n"
              "f = zentrail.follow(sys.argv[1], start='2024-03-01', poll='10s')\n"
              "try:\n"
              "    for batch in f: print(len(batch['time']), flush=True)\n"
              "except KeyboardInterrupt:\n"
              "    print('stopped', f.cursor is not None, flush=True)\n")
    child = subprocess.Popen([sys.executable, "-c", script, str(tmp_path)], stdout=subprocess.PIPE, text=True,
                             preexec_fn=default_sigint, env=child_env())
    first = child.stdout.readline()
    assert int(first) > 0
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=30)
    assert out.strip() == "stopped True"


def test_poll_gives_what_is_there_without_waiting(tmp_path):
    (day, data), = plant_bytes(seconds=5)[:1]
    path = simulate_plant.day_path(tmp_path, day)
    path.parent.mkdir(parents=True)
    follower = zentrail.follow(tmp_path, start="2024-03-01", poll="1h")
    assert follower.poll() is None  # no file yet
    path.write_bytes(data[:-5])
    batches = []
    while (batch := follower.poll()) is not None:
        batches.append(batch)
    path.write_bytes(data)
    batches.append(follower.poll())
    assert follower.poll() is None
    assert_same_rows(joined(batches), final_scan(tmp_path))


def test_a_file_that_appears_before_the_one_followed_is_said(tmp_path):
    (day, data), = plant_bytes(seconds=3)[:1]
    path = simulate_plant.day_path(tmp_path, day)
    path.parent.mkdir(parents=True)
    path.write_bytes(data)
    follower = zentrail.follow(tmp_path, start="2024-03-01", poll="1h")
    while follower.poll() is not None:
        pass
    late = path.with_name("2024-03-01_copied.vlx")  # sorts before the plant's file
    late.write_bytes(data)
    with pytest.warns(RuntimeWarning, match="2024-03-01_copied.vlx appeared before"):
        assert follower.poll() is None


def test_without_start_on_an_empty_archive_every_file_that_appears_is_new(tmp_path):
    follower = zentrail.follow(tmp_path, poll="1h")
    assert follower.poll() is None and follower.cursor is None
    for day, data in plant_bytes(seconds=3):
        path = simulate_plant.day_path(tmp_path, day)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    batches = []
    while (batch := follower.poll()) is not None:  # the first day ends with its end byte: no wait
        batches.append(batch)
    assert_same_rows(joined(batches), final_scan(tmp_path))


def test_a_day_finished_while_the_follower_lists_the_files_is_read_to_its_end(tmp_path, monkeypatch):
    """The runtime ends a day and begins the next between the follower's look
    at the file's size and its listing of the files: the day's last records
    are read before the next day's."""
    (day1, data1), (day2, data2) = plant_bytes(seconds=30)
    first, second = simulate_plant.day_path(tmp_path, day1), simulate_plant.day_path(tmp_path, day2)
    first.parent.mkdir(parents=True)
    cut = len(data1) - 200
    first.write_bytes(data1[:cut])
    follower = zentrail.follow(tmp_path, start="2024-03-01", poll="1h")
    batches = []
    while (batch := follower.poll()) is not None:
        batches.append(batch)
    files = follower._files

    def listing_while_the_day_ends():
        if not second.exists():
            first.write_bytes(data1)
            second.write_bytes(data2)
        return files()

    monkeypatch.setattr(follower, "_files", listing_while_the_day_ends)
    for _ in range(3):  # a poll for the file's last size, and after
        while (batch := follower.poll()) is not None:
            batches.append(batch)
    assert_same_rows(joined(batches), final_scan(tmp_path))


def test_in_steps_of_the_least_size_a_follower_gives_the_scan_and_starts_at_the_end(tmp_path, monkeypatch):
    from zentrail._read import tail

    monkeypatch.setattr(tail, "STEP_BYTES", 1)  # the core's least step, some 70 KB: many steps a file
    subprocess.run([sys.executable, str(SIMULATOR), str(tmp_path), "--days", "1.3", "--signals", "16", "--start",
                    "2024-03-01T12:00:00", "--period", "5", "--limits", "0.3"], check=True, stdout=subprocess.DEVNULL)
    batches = drain(zentrail.follow(tmp_path, start="2024-03-01", poll=0.001, idle_timeout=0.01))
    assert len(batches) > 10
    assert_same_rows(joined(batches), final_scan(tmp_path))
    assert drain(zentrail.follow(tmp_path, poll=0.001, idle_timeout=0.01)) == []


def cursor_of(fields):
    import base64
    import json

    body = base64.urlsafe_b64encode(json.dumps(fields).encode()).decode().rstrip("=")
    return "zc1." + body


@pytest.fixture
def followed(tmp_path):
    """An archive followed to its end: the root and the cursor's fields."""
    import base64
    import json

    (day, data), = plant_bytes(seconds=10)[:1]
    path = simulate_plant.day_path(tmp_path, day)
    path.parent.mkdir(parents=True)
    path.write_bytes(data)
    follower = zentrail.follow(tmp_path, start="2024-03-01", poll=0.001, idle_timeout=0.01)
    drain(follower)
    body = follower.cursor[len("zc1."):]
    return tmp_path, json.loads(base64.urlsafe_b64decode(body + "=" * (-len(body) % 4)))


@pytest.mark.parametrize("place, value", [(4, False), (4, "not a hash"), (5, 12), (5, "ABCDEF0123456789"),
                                          (0, "2024/03/"), (0, "2024//03/x.vlx"), (0, "2024/./x.vlx"),
                                          (0, "2024/03/x\0.vlx")])
def test_a_cursor_with_a_field_follower_cursor_never_writes_is_damaged(followed, place, value):
    """A hash that is no hash, or a file named otherwise than a cursor names
    one, is a damaged cursor: not a file rewritten, nor an error of the
    file system."""
    root, fields = followed
    fields[place] = value
    with pytest.raises(ValueError, match="cursor .* is damaged"):
        zentrail.follow(root, cursor=cursor_of(fields))


@pytest.mark.parametrize("more", [["Europe/Berlin"], ["Europe/Berlin", None, None], [None, [49, True, True, 0, 0]],
                                  ["Europe/../Berlin", None], ["", None], ["Europe/Berlin", [49, 1, True, 0, 0]],
                                  ["Europe/Berlin", [49, True, True, 0]], ["Europe/Berlin", [49, True, True, 0, -1]],
                                  ["Europe/Berlin", [-2, True, True, 0, 0]], ["Europe/Berlin", {"change": 49}]])
def test_a_cursor_with_a_zone_or_fold_follower_cursor_never_writes_is_damaged(followed, more):
    """A follower in a zone adds its zone's name and where its file stands
    in a repeated hour (None, or five fields of their types); anything else
    there, or a fold without a zone, is a damaged cursor."""
    root, fields = followed
    with pytest.raises(ValueError, match="cursor .* is damaged"):
        zentrail.follow(root, cursor=cursor_of(fields + more), tz="Europe/Berlin")
    # Outside a repeated hour a zoned cursor holds no fold, as a naive one holds neither.
    drain(zentrail.follow(root, cursor=cursor_of(fields + ["Europe/Berlin", None]), tz="Europe/Berlin",
                          poll=0.001, idle_timeout=0.001))


def test_a_cursor_whose_folder_became_a_file_names_the_file_gone(followed):
    root, fields = followed
    year = root / fields[0].split("/")[0]
    subprocess.run(["rm", "-r", str(year)], check=True)
    year.write_bytes(b"")
    with pytest.raises(zentrail.ArchiveRewrittenError, match="no longer exists"):
        zentrail.follow(root, cursor=cursor_of(fields))


def test_a_cursor_naming_a_folder_is_a_file_no_longer_there(followed):
    # A cursor naming a folder of the archive (the fuzz target's finding):
    # what stands there is no file read before, not an IsADirectoryError.
    root, fields = followed
    fields[0] = fields[0].split("/")[0]
    with pytest.raises(zentrail.ArchiveRewrittenError, match="no longer a file"):
        zentrail.follow(root, cursor=cursor_of(fields))
