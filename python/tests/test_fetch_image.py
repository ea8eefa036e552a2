"""Images fetched from the C++ simulated camera over the site: bytes, files
and numpy arrays identical to the camera's file (read back with astropy),
the blocking, asyncio and streamed forms, the camera's refusals raised as
the package's errors, a size bound, a timeout, a resume after the fetching
process was killed, and a checksum mismatch on a corrupted part file."""

import asyncio
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import corvo
from conftest import net_options, program, wait_until

fits = pytest.importorskip("astropy.io.fits")

T = 30.0  # generous: the machine may be loaded


class Camera:
    def __init__(self, proc, root):
        self.proc = proc
        self.root = root

    def place(self, name, pixels):
        """A FITS file of `pixels` put below the image root by hand (the
        camera serves any regular file there)."""
        path = os.path.join(self.root, name)
        corvo.write_fits(path, pixels, {"OBJECT": name})
        return path


@pytest.fixture
def camera(children, site_args, work_dir):
    root = os.path.join(work_dir, "images")
    os.makedirs(root)
    with open(os.path.join(children.conf, "camera.conf"), "w") as conf:
        conf.write("imgw = 300\nimgh = 200\ndatatype = 16\nexpotime = 0.01\n")
        conf.write("imageroot = %s\nfilepattern = shot.fits\n" % root)
    proc = children.start([program("CORVO_SIMCAM")] + net_options(site_args), "simcam")
    return Camera(proc, root)


def noisy_frame(height, width, seed=1):
    """A real-looking 16-bit frame: a sky level with noise."""
    rng = np.random.default_rng(seed)
    return (1000 + rng.normal(0, 30, (height, width))).clip(0, 65535).astype(np.uint16)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def test_exposed_image_as_bytes_file_and_array(camera, site_args, work_dir):
    with corvo.Site(**site_args) as s:
        s.command("camera", "expose", wait="filename", timeout=T)
        shot = os.path.join(camera.root, "shot.fits")
        wait_until(lambda: os.path.exists(shot) and os.path.getsize(shot) > 0, what="the camera's file")
        original = read_bytes(shot)

        data = s.fetch_image("camera", "latest", timeout=T)
        assert data == original

        got = os.path.join(work_dir, "got")
        os.makedirs(got)
        written = s.fetch_image("camera", "shot.fits", got, timeout=T)
        assert written == os.path.join(got, "shot.fits")
        assert read_bytes(written) == original
        assert sorted(os.listdir(got)) == ["shot.fits"]  # no part file left

        # A file target takes the name given.
        named = s.device("camera", timeout=T).fetch_image("latest", os.path.join(got, "mine.fits"))
        assert read_bytes(named) == original

        pixels, header = s.fetch_image("camera", as_array=True, timeout=T)
        with fits.open(shot) as hdus:
            assert pixels.dtype == hdus[0].data.dtype.newbyteorder("=") and pixels.shape == (200, 300)
            assert np.array_equal(pixels, hdus[0].data)
            assert header["NAXIS1"] == 300 and isinstance(header, fits.Header)
        assert s._core.running_fetches() == 0


def test_placed_images_of_every_type_read_back_raw_and_compressed(camera, site_args):
    frame = noisy_frame(333, 517)
    noise = read_bytes(camera.place("sub/noise.fits", frame))
    ramp = np.linspace(-1, 1, 40 * 30, dtype=np.float32).reshape(30, 40)
    camera.place("ramp.fits", ramp)
    with corvo.Site(**site_args) as s:
        s.wait_for("camera", timeout=T)
        pixels, header = s.fetch_image("camera", "sub/noise.fits", as_array=True, timeout=T)
        assert np.array_equal(pixels, frame) and header["OBJECT"] == "sub/noise.fits"
        # zstd chunks asked for: the same bytes come out, whole and streamed.
        assert s.fetch_image("camera", "sub/noise.fits", compress=True, timeout=T) == noise
        assert s.image_stream("camera", "sub/noise.fits", compress=True, timeout=T).read() == noise
        pixels, _ = s.fetch_image("camera", "ramp.fits", as_array=True, timeout=T)
        assert pixels.dtype == np.float32 and np.array_equal(pixels, ramp)


def test_asyncio_fetch_and_stream(camera, site_args, work_dir):
    frame = noisy_frame(600, 700, seed=2)  # 840 KB: more chunks than a window
    path = camera.place("a.fits", frame)
    original = read_bytes(path)

    async def main():
        async with corvo.aio.Site(**site_args) as s:
            await s.wait_for("camera", timeout=T)
            data = await s.fetch_image("camera", "a.fits", timeout=T)
            pixels, _ = await s.fetch_image("camera", "a.fits", as_array=True, timeout=T)
            written = await s.fetch_image("camera", "a.fits", work_dir, timeout=T)
            stream = await s.image_stream("camera", "a.fits", timeout=T)
            pieces = [chunk async for chunk in stream]
            return data, pixels, written, pieces, stream

    data, pixels, written, pieces, stream = asyncio.run(main())
    assert data == original and np.array_equal(pixels, frame)
    assert read_bytes(written) == original
    assert b"".join(pieces) == original and len(pieces) > 8
    assert stream.verified and stream.name == "a.fits" and stream.size == len(original)


class TestRefusals:
    """Every name the camera must not serve is refused with its reason, as
    the package's RefusedError; nothing is left running or written."""

    @pytest.fixture
    def site(self, camera, site_args, work_dir):
        camera.place("ok.fits", noisy_frame(10, 10))
        outside = os.path.join(work_dir, "outside.fits")
        corvo.write_fits(outside, noisy_frame(10, 10))
        os.symlink(outside, os.path.join(camera.root, "link.fits"))
        os.mkfifo(os.path.join(camera.root, "fifo.fits"))
        os.makedirs(os.path.join(camera.root, "dir.fits"))
        with corvo.Site(**site_args) as s:
            s.wait_for("camera", timeout=T)
            yield s

    @pytest.mark.parametrize("name", ["../outside.fits", "/etc/passwd", "link.fits", "fifo.fits", "dir.fits",
                                      "missing.fits", "sub/../../outside.fits"])
    def test_refused(self, site, name, work_dir):
        got = os.path.join(work_dir, "got")
        os.makedirs(got)
        with pytest.raises(corvo.RefusedError) as refused:
            site.fetch_image("camera", name, got, timeout=T)
        assert refused.value.reason and "camera" in str(refused.value)
        assert isinstance(refused.value, corvo.CorvoError)
        assert os.listdir(got) == []  # not even an empty part file
        assert site._core.running_fetches() == 0
        # The camera still serves what it may.
        assert site.fetch_image("camera", "ok.fits", timeout=T)[:6] == b"SIMPLE"

    def test_bad_requests_raise_before_asking(self, site, work_dir):
        with pytest.raises(TypeError):
            site.fetch_image("camera", 3)
        with pytest.raises(ValueError):
            site.fetch_image("camera", "ok.fits", timeout=0)
        with pytest.raises(corvo.NotFoundError):
            site.fetch_image("nobody", "ok.fits", timeout=0.5)
        with pytest.raises(corvo.ImageError, match="cannot write"):
            site.fetch_image("camera", "ok.fits", os.path.join(work_dir, "no", "such", "dir.fits"), timeout=T)

    def test_image_larger_than_allowed_in_memory(self, site, camera):
        size = os.path.getsize(os.path.join(camera.root, "ok.fits"))
        with pytest.raises(corvo.ImageError, match="more than the %d allowed" % (size - 1)):
            site.fetch_image("camera", "ok.fits", max_bytes=size - 1, timeout=T)
        assert site._core.running_fetches() == 0
        assert len(site.fetch_image("camera", "ok.fits", max_bytes=size, timeout=T)) == size


def test_slow_stream_reader_holds_the_camera_back(camera, site_args):
    frame = noisy_frame(2048, 2048, seed=3)  # 8 MiB
    original = read_bytes(camera.place("big.fits", frame))
    with corvo.Site(**site_args) as s:
        s.wait_for("camera", timeout=T)
        with s.image_stream("camera", "big.fits", timeout=T) as stream:
            first = next(stream)
            time.sleep(1.5)  # the reader stalls: the camera must stop sending
            waiting = sum(len(c) for c in stream._chunks)
            assert waiting <= 3 * 8 * 65536, "%d bytes queued for a stalled reader" % waiting
            rest = b"".join(stream)
        assert first + rest == original and stream.verified
        # A stream closed early stops the transfer.
        stream = s.image_stream("camera", "big.fits", timeout=T)
        next(stream)
        stream.close()
        assert list(stream) == [] and s._core.running_fetches() == 0


def test_asyncio_reader_waiting_for_a_chunk_ends_on_close(camera, site_args):
    """close() from another task (a stop button, a supervisor) ends an
    ``async for`` that waits for the next chunk of a stalled camera."""
    camera.place("big.fits", noisy_frame(2048, 2048, seed=4))  # 8 MiB

    async def main():
        async with corvo.aio.Site(**site_args) as s:
            await s.wait_for("camera", timeout=T)
            # Longer than the hang guard below: the camera's silence must
            # not be what ends the reader.
            stream = await s.image_stream("camera", "big.fits", timeout=4 * T)
            got = []

            async def reader():
                async for chunk in stream:
                    if not got:
                        camera.proc.send_signal(signal.SIGSTOP)
                    got.append(len(chunk))

            task = asyncio.ensure_future(reader())
            # Wait until the reader has drained what came and waits again.
            seen, steady = -1, 0
            while steady < 10:
                await asyncio.sleep(0.05)
                waiting = stream._waker is not None and not stream._chunks
                steady = steady + 1 if waiting and len(got) == seen else 0
                seen = len(got)
                assert not task.done()
            stream.close()
            await asyncio.wait_for(task, T)  # a hang guard only
            return got, stream, s.core.running_fetches()

    try:
        got, stream, running = asyncio.run(main())
    finally:
        camera.proc.send_signal(signal.SIGCONT)
    assert got and sum(got) < stream.size and not stream.verified
    assert running == 0


def test_stalled_camera_times_out(camera, site_args, work_dir):
    camera.place("t.fits", noisy_frame(10, 10))
    with corvo.Site(**site_args) as s:
        s.wait_for("camera", timeout=T)
        camera.proc.send_signal(signal.SIGSTOP)
        try:
            with pytest.raises(corvo.TimeoutError, match="no data from camera for 1 s"):
                s.fetch_image("camera", "t.fits", work_dir, timeout=1)
        finally:
            camera.proc.send_signal(signal.SIGCONT)
        assert s._core.running_fetches() == 0
        assert s.fetch_image("camera", "t.fits", timeout=T)[:6] == b"SIMPLE"


def test_a_second_fetch_of_one_part_file_is_refused(camera, site_args, work_dir):
    """Two images of one base name fetched at once into one directory share
    the part file's name: the second fetch is refused while the first
    writes it, and the first returns its own image's bytes."""
    originals = {d: read_bytes(camera.place(d + "/img.fits", noisy_frame(2048, 2048, seed=seed)))  # 8 MiB
                 for seed, d in ((5, "a"), (6, "b"))}
    got = os.path.join(work_dir, "got")
    os.makedirs(got)
    results = {}

    def fetch(d):
        try:
            results[d] = s.fetch_image("camera", d + "/img.fits", got, timeout=T)
        except corvo.CorvoError as error:
            results[d] = error

    with corvo.Site(**site_args) as s:
        s.wait_for("camera", timeout=T)
        # The camera paused: the two fetches are sure to overlap.
        camera.proc.send_signal(signal.SIGSTOP)
        try:
            first = threading.Thread(target=fetch, args=("a",))
            first.start()
            wait_until(lambda: os.path.exists(os.path.join(got, ".img.fits.part")), timeout=T, what="the part file")
            second = threading.Thread(target=fetch, args=("b",))
            second.start()
            second.join(5)  # refused at once; else it waits for the camera
        finally:
            camera.proc.send_signal(signal.SIGCONT)
        first.join(2 * T)
        second.join(2 * T)
    for d, result in results.items():
        if isinstance(result, str):
            assert read_bytes(result) == originals[d], "fetch %s returned another image's bytes" % d
    assert isinstance(results["b"], corvo.ImageError), results
    assert "another fetch is writing" in str(results["b"]) and ".img.fits.part" in str(results["b"])
    assert results["a"] == os.path.join(got, "img.fits")
    assert sorted(os.listdir(got)) == ["img.fits"]


FETCHER = textwrap.dedent("""
    import sys, corvo
    site, port, target = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    with corvo.Site(site=site, port=port, interface="lo") as s:
        s.fetch_image("camera", "huge.fits", target, timeout=60)
""")


def test_resume_after_the_fetching_process_is_killed(camera, site_args, work_dir, children):
    frame = noisy_frame(4096, 4096, seed=4)  # 32 MiB
    original = read_bytes(camera.place("huge.fits", frame))
    got = os.path.join(work_dir, "got")
    os.makedirs(got)
    part = os.path.join(got, ".huge.fits.part")
    fetcher = subprocess.Popen([sys.executable, "-c", FETCHER, site_args["site"], str(site_args["port"]), got],
                               env=children.env)
    try:
        wait_until(lambda: os.path.exists(part) and os.path.getsize(part) > 0 or fetcher.poll() is not None,
                   timeout=T, what="the first bytes")
        fetcher.kill()
    finally:
        fetcher.kill()
        fetcher.wait()
    held = os.path.getsize(part)
    assert 0 < held < len(original), "the fetch was not cut in the middle (%d bytes held)" % held
    assert not os.path.exists(os.path.join(got, "huge.fits"))

    with corvo.Site(**site_args) as s:
        s.wait_for("camera", timeout=T)
        # A part file whose bytes differ from the camera's: the resume is
        # caught by the checksum, the bad part removed.
        with open(part, "r+b") as f:
            f.seek(held // 2)
            byte = f.read(1)
            f.seek(held // 2)
            f.write(bytes([byte[0] ^ 0xFF]))
        with pytest.raises(corvo.ImageError, match="checksum mismatch"):
            s.fetch_image("camera", "huge.fits", got, timeout=T)
        assert not os.path.exists(part) and not os.path.exists(os.path.join(got, "huge.fits"))

        # A part file longer than the image: refused, and removed.
        with open(part, "wb") as f:
            f.write(original + b"extra")
        with pytest.raises(corvo.RefusedError, match="beyond the image"):
            s.fetch_image("camera", "huge.fits", got, timeout=T)
        assert not os.path.exists(part)

        # A sound part file: the fetch takes up from it.
        with open(part, "wb") as f:
            f.write(original[:held])
        written = s.fetch_image("camera", "huge.fits", got, timeout=T)
    assert read_bytes(written) == original and not os.path.exists(part)


def test_announced_images_are_followed_and_fetched(camera, site_args):
    import hashlib

    with corvo.Site(**site_args) as s:
        s.wait_for("camera", timeout=T)
        with s.images("camera") as announced, s.watch("camera") as events:
            s.command("camera", "expose", wait="filename", timeout=T)
            ready = announced.get(timeout=T)
            time.sleep(0.2)
            seen = []
            while True:
                try:
                    seen.append(events.get(timeout=0))
                except corvo.TimeoutError:
                    break
        assert isinstance(ready, corvo.ImageReady) and ready.peer == "camera" and ready.name == "shot.fits"
        original = read_bytes(os.path.join(camera.root, "shot.fits"))
        assert ready.size == len(original) and ready.sha1 == hashlib.sha1(original).hexdigest()
        assert (ready.width, ready.height, ready.datatype) == (300, 200, 16)
        assert ready.exposure_length > 0 and ready.exposure_start and ready.saved and ready.time > 0
        # Announcements go to images() streams only, not to watch().
        assert seen and not any(isinstance(e, corvo.ImageReady) for e in seen)
        data = s.fetch_image(ready.peer, ready.name, timeout=T)
        assert hashlib.sha1(data).hexdigest() == ready.sha1

    async def follow():
        async with corvo.aio.Site(**site_args) as a:
            await a.wait_for("camera", timeout=T)
            stream = a.images()
            await a.command("camera", "expose", wait="filename", timeout=T)
            async for announced in stream:
                stream.close()
                return announced, await a.fetch_image(announced.peer, announced.name, as_array=True, timeout=T)

    # The camera never overwrites: its next image is shot_1.fits.
    announced, (pixels, header) = asyncio.run(asyncio.wait_for(follow(), 60))
    assert announced.name == "shot_1.fits" and pixels.shape == (200, 300) and header["NAXIS2"] == 200
