"""The blocking client against the C++ simulated camera: description, values,
set with confirmation and refusals, commands with a wait, watch and logs."""

import os
import signal

import pytest

import corvo
from conftest import net_options, program, read_log, wait_until

T = 30.0  # generous: the machine may be loaded


@pytest.fixture
def camera(children, site_args, work_dir):
    images = os.path.join(work_dir, "images")
    with open(os.path.join(children.conf, "camera.conf"), "w") as conf:
        conf.write("imgw = 64\nimgh = 48\ndatatype = 16\nexpotime = 0.05\n")
        conf.write("imageroot = %s\n" % images)
        conf.write("filepattern = %s/img_%%H%%M%%S_${camera:expotime}.fits\n" % images)
    proc = children.start([program("CORVO_SIMCAM")] + net_options(site_args), "simcam")
    return proc


def test_info_and_get(camera, site_args):
    with corvo.Site(**site_args) as s:
        info = s.info("camera", timeout=T)
        assert info.name == "camera"
        assert info.properties["imgw"].value == 64
        assert info.properties["imgw"].type == "int" and not info.properties["imgw"].writable
        assert info.properties["expotime"].unit == "s" and info.properties["expotime"].writable
        assert info.properties["datatype"].choices[16] == "INT16"
        assert info.statuses[1] == "EXPOSE" and info.statuses[0] == "IDLE"
        assert "expose" in info.commands
        assert s.get("camera", "expotime") == pytest.approx(0.05)
        assert isinstance(s.get("camera", "model"), str)
        peers = s.peers()
        assert [p.name for p in peers] == ["camera"]
        assert peers[0].status_name == "IDLE" and not peers[0].client


def test_set_confirms_and_refuses(camera, site_args):
    with corvo.Site(**site_args) as s:
        assert s.set("camera", "expotime", 0.25, timeout=T) == 0.25
        assert s.get("camera", "expotime") == 0.25
        assert s.set("camera", "expotime", 1) == 1.0  # an int for a float property
        with pytest.raises(corvo.RefusedError, match="read-only"):
            s.set("camera", "imgw", 10)
        with pytest.raises(TypeError):
            s.set("camera", "expotime", "fast")
        with pytest.raises(ValueError):
            s.set("camera", "expotime", float("nan"))
        with pytest.raises(corvo.NotFoundError):
            s.set("camera", "nosuch", 1)
        with pytest.raises(corvo.NotFoundError):
            s.get("nobody", "expotime", timeout=0.5)
        with pytest.raises(corvo.NotFoundError):
            s.command("camera", "nosuch")
        with pytest.raises(TypeError):
            s.command("camera", "expose", 3)  # takes no argument
        assert s.get("camera", "expotime") == 1.0


def test_refusal_by_the_daemon_is_raised_at_once(camera, site_args):
    # A file pattern leaving the image root: only the camera can tell, and
    # it answers with a refusal, which ends the wait (not a timeout).
    with corvo.Site(**site_args) as s:
        before = s.get("camera", "filepattern", timeout=T)
        with pytest.raises(corvo.RefusedError) as refused:
            s.set("camera", "filepattern", "/etc/escape_%H%M%S.fits", timeout=T)
        assert refused.value.reason and "camera" in str(refused.value)
        assert s._core.pending_requests() == 0
        assert s.get("camera", "filepattern") == before


def test_command_waits_for_the_file(camera, site_args):
    with corvo.Site(**site_args) as s:
        s.set("camera", "expotime", 0.01, timeout=T)
        with s.watch("camera") as events:
            name = s.command("camera", "expose", wait="filename", timeout=T)
            assert name.endswith(".fits")
            wait_until(lambda: os.path.exists(name), what="the image file")
            seen = set()
            while not {"filename", "EXPOSE"} <= seen:
                ev = events.get(T)
                if isinstance(ev, corvo.PropertyEvent):
                    seen.add(ev.name)
                elif isinstance(ev, corvo.StatusEvent):
                    seen.add(ev.name)
            assert events.dropped == 0


def test_logs_stream(camera, site_args):
    with corvo.Site(**site_args) as s:
        s.set("camera", "expotime", 0.01, timeout=T)
        with s.logs("camera") as records:
            # The log group is joined now; repeat until a record arrives.
            for _ in range(40):
                s.command("camera", "expose")  # logs its status changes
                try:
                    record = records.get(1.0)
                    break
                except TimeoutError:
                    continue
            else:
                pytest.fail("no log record from the camera: " + read_log(camera))
            assert record.peer == "camera" and record.level in corvo._events.LOG_LEVELS
            assert record.logger == "camera" and record.time > 0


def test_peer_exit_is_seen(camera, site_args):
    with corvo.Site(**site_args) as s:
        s.wait_for("camera", timeout=T)
        with s.watch() as events:
            camera.send_signal(signal.SIGINT)
            wait_until(lambda: not any(p.name == "camera" for p in s.peers()), what="the camera leaving")
            kinds = []
            while True:
                try:
                    ev = events.get(0)
                except TimeoutError:
                    break
                if isinstance(ev, corvo.PeerEvent):
                    kinds.append(ev.kind)
            assert "exit" in kinds
        with pytest.raises(corvo.NotFoundError):
            s.get("camera", "expotime", timeout=0.3)
