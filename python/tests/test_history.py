"""corvo.history against a real archiver: the simulated camera's values and
log records, recorded by corvo-archiver into SQLite, read back from Python."""

import datetime
import os

import pytest

from conftest import net_options, program, wait_until

import corvo
import corvo.history


def _recorded(db, peer, prop):
    try:
        with corvo.history.open(db) as h:
            return h.samples(peer, prop, since="1h")
    except (corvo.NotFoundError, corvo.history.DatabaseError):
        return []


def _archiver():
    """corvo-archiver of this build: named by CORVO_ARCHIVER, else found
    beside the tool (build/tools/corvo/corvo -> build/apps/archiver)."""
    if os.environ.get("CORVO_ARCHIVER"):
        return program("CORVO_ARCHIVER")
    build = os.path.dirname(os.path.dirname(os.path.dirname(program("CORVO_TOOL"))))
    path = os.path.join(build, "apps", "archiver", "corvo-archiver")
    if not os.path.exists(path):
        pytest.skip("corvo-archiver not built")
    return path


@pytest.fixture
def archive(children, site_args, work_dir):
    """A camera and an archiver on a site of this test; the database path."""
    db = os.path.join(work_dir, "history.db")
    children.start([program("CORVO_SIMCAM")] + net_options(site_args), "simcam")
    children.start([_archiver()] + net_options(site_args) + ["--db", db], "archiver")
    wait_until(lambda: _recorded(db, "camera", "expotime"), 60, "the camera's Info in the history")
    return db


def test_values_logs_and_status_read_back_with_their_types(children, site_args, archive):
    tool = program("CORVO_TOOL")
    for value in ("2.5", "3.25"):
        done = children.run([tool] + net_options(site_args) + ["set", "camera", "expotime", value])
        assert done.returncode == 0, done.stderr
    wait_until(lambda: [v for _, v in _recorded(archive, "camera", "expotime")][-2:] == [2.5, 3.25], 60,
               "the new values, in order")
    rows = _recorded(archive, "camera", "expotime")
    times = [t for t, _ in rows]
    assert times == sorted(times) and all(isinstance(t, float) for t in times)
    assert abs(times[-1] - datetime.datetime.now().timestamp()) < 600

    with corvo.history.open(archive) as h:
        assert h.backend == "sqlite:" + archive
        # Integers stay integers, text stays text.
        width = h.samples("camera", "imgw", since=datetime.datetime.now() - datetime.timedelta(hours=1))
        assert width and isinstance(width[-1][1], int)
        model = h.samples("camera", "model", since="1h", until="now")
        assert model and isinstance(model[-1][1], str)
        # One bucket holds both values (and the Info's), whatever the span.
        [(start, low, mean, high, count)] = h.aggregate("camera", "expotime", since="1h", every="2h")[-1:]
        assert low <= 2.5 and high >= 3.25 and count >= 2 and low <= mean <= high
        assert any(status[2] == "IDLE" for status in h.status("camera", since="1h"))
        assert any("archiver" in record[4] for record in h.logs("camera", since="1h"))
        assert h.gaps(since="1h") == []


def test_errors(tmp_path, archive):
    with corvo.history.open(archive) as h:
        with pytest.raises(corvo.NotFoundError):
            h.samples("camera", "nothing")
        with pytest.raises(corvo.NotFoundError):
            h.status("nobody")
        with pytest.raises(ValueError):
            h.samples("camera", "expotime", since="someday")
        with pytest.raises(ValueError):
            h.aggregate("camera", "expotime", every=0)
        with pytest.raises(corvo.NotFoundError):
            h.aggregate("camera", "model", every=60)  # text has no mean
    with pytest.raises(corvo.history.DatabaseError):
        corvo.history.open(str(tmp_path / "absent.db"))
    assert issubclass(corvo.history.DatabaseError, corvo.CorvoError)
