"""Image previews: which files the gateway agrees to read, and what it makes
of a real FITS file."""

import asyncio
import errno
import io
import os
import threading
import time

import numpy as np
import pytest
from astropy.io import fits
from PIL import Image

from corvoweb.preview import MAX_SIDE, NoPreview, Previews, open_image_file, render


def write_fits(path, data, **cards):
    hdu = fits.PrimaryHDU(data)
    for k, v in cards.items():
        hdu.header[k] = v
    hdu.writeto(path)


def compressed_claiming(width, height):
    """A tile-compressed FITS file of 64 x 64 pixels, its header changed to
    claim width x height (None: left true)."""
    data = np.arange(64 * 64, dtype=np.int16).reshape(64, 64)
    out = io.BytesIO()
    fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(data)]).writeto(out)
    raw = out.getvalue()
    for key, value in ((b"ZNAXIS1", width), (b"ZNAXIS2", height)):
        if value is not None:
            at = raw.index(key + b" ")
            raw = raw[:at] + (key.ljust(8) + b"= " + str(value).encode().rjust(20)).ljust(80) + raw[at + 80:]
    return raw


def peak_memory_rendering(path):
    """The peak resident memory (kB) of a fresh interpreter that renders
    `path`, whatever the outcome."""
    import subprocess
    import sys

    script = ("import resource, sys\nfrom corvoweb.preview import render, NoPreview\n"
              "try:\n    render(open(sys.argv[1], 'rb').read())\nexcept NoPreview:\n    pass\n"
              "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n")
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.path.join(here, "..", "..", "apps", "web"))
    done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True, env=env,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return int(done.stdout.split()[-1])


@pytest.fixture
def root(tmp_path):
    r = tmp_path / "images"
    r.mkdir()
    return r


class TestWhichFiles:
    def test_outside_the_root_is_refused(self, tmp_path, root):
        outside = tmp_path / "secret.fits"
        write_fits(outside, np.zeros((4, 4), np.int16))
        for name in (str(outside), str(root / ".." / "secret.fits"), "/etc/passwd"):
            with pytest.raises(NoPreview, match="outside the image root"):
                open_image_file(name, str(root), 1 << 20)
        # A sibling directory whose name starts like the root is outside too.
        sibling = tmp_path / "images2"
        sibling.mkdir()
        write_fits(sibling / "a.fits", np.zeros((4, 4), np.int16))
        with pytest.raises(NoPreview, match="outside"):
            open_image_file(str(sibling / "a.fits"), str(root), 1 << 20)

    def test_a_link_inside_the_root_pointing_out_is_refused(self, tmp_path, root):
        outside = tmp_path / "secret.fits"
        write_fits(outside, np.zeros((4, 4), np.int16))
        os.symlink(outside, root / "link.fits")
        with pytest.raises(NoPreview, match="link"):
            open_image_file(str(root / "link.fits"), str(root), 1 << 20)

    def test_no_link_is_followed_on_any_component_even_inside_the_root(self, tmp_path, root):
        # A link anywhere on the path could be swapped between a check and
        # the read: none is followed, whatever it points at.
        (root / "night1").mkdir()
        write_fits(root / "night1" / "a.fits", np.zeros((4, 4), np.int16))
        os.symlink(root / "night1", root / "tonight")
        os.symlink(root / "night1" / "a.fits", root / "latest.fits")
        os.symlink(tmp_path, root / "up")
        for name in ("tonight/a.fits", "latest.fits", "up/images/night1/a.fits"):
            with pytest.raises(NoPreview, match="link"):
                open_image_file(str(root / name), str(root), 1 << 20)
        assert open_image_file(str(root / "night1" / "a.fits"), str(root), 1 << 20)[:6] == b"SIMPLE"
        # The root itself may be a link (it is the gateway's own setting):
        # a name under it, as written or resolved, is read.
        os.symlink(root, tmp_path / "root-link")
        for name in (str(tmp_path / "root-link" / "night1" / "a.fits"), str(root / "night1" / "a.fits")):
            assert open_image_file(name, str(tmp_path / "root-link"), 1 << 20)[:6] == b"SIMPLE"

    def test_only_regular_files_within_the_size_bound(self, root):
        os.mkfifo(root / "pipe.fits")
        with pytest.raises(NoPreview, match="not a regular file"):
            open_image_file(str(root / "pipe.fits"), str(root), 1 << 20)
        (root / "dir.fits").mkdir()
        with pytest.raises(NoPreview, match="not a regular file"):
            open_image_file(str(root / "dir.fits"), str(root), 1 << 20)
        write_fits(root / "big.fits", np.zeros((100, 100), np.int16))
        size = os.path.getsize(root / "big.fits")
        with pytest.raises(NoPreview, match="larger than"):
            open_image_file(str(root / "big.fits"), str(root), size - 1)
        assert len(open_image_file(str(root / "big.fits"), str(root), size)) == size

    def test_missing_file_may_come_later_and_no_root_means_no_preview(self, root):
        with pytest.raises(NoPreview) as e:
            open_image_file(str(root / "later.fits"), str(root), 1 << 20)
        assert e.value.retry
        with pytest.raises(NoPreview, match="--image-root") as e:
            open_image_file(str(root / "later.fits"), None, 1 << 20)
        assert not e.value.retry
        with pytest.raises(NoPreview):
            open_image_file(str(root) + "/a\0b", str(root), 1 << 20)


class TestWhatItMakes:
    def test_png_header_and_statistics_of_a_real_image(self, root):
        rng = np.random.default_rng(1)
        data = rng.normal(1000, 10, (300, 2500)).astype(np.uint16)
        data[0, 0] = 60000
        write_fits(root / "a.fits", data, EXPTIME=(1.5, "exposure time [s]"), INSTRUME="SimCam")
        png, cards, stats = render(open_image_file(str(root / "a.fits"), str(root), 64 << 20))
        image = Image.open(io.BytesIO(png))
        assert image.format == "PNG" and image.mode == "L"
        assert max(image.size) <= MAX_SIDE and image.size[0] > image.size[1]
        assert (stats["width"], stats["height"]) == (2500, 300)
        assert stats["max"] == 60000 and stats["min"] == data.min()
        assert abs(stats["mean"] - data.mean()) < 1e-6
        # The robust stretch ignores the one hot pixel: the sky is mid-grey.
        assert 40 < np.median(np.asarray(image)) < 215
        keys = {k: v for k, v, c in cards}
        assert keys["EXPTIME"] == "1.5" and keys["INSTRUME"] == "SimCam"

    def test_rows_are_shown_top_down(self, root):
        data = np.zeros((64, 64), np.float32)
        data[:8, :] = 100.0  # FITS row 0 is the bottom row
        data += np.linspace(0, 1, 64 * 64, dtype=np.float32).reshape(64, 64)
        write_fits(root / "b.fits", data)
        png, _, _ = render(open_image_file(str(root / "b.fits"), str(root), 1 << 20))
        pixels = np.asarray(Image.open(io.BytesIO(png)))
        assert pixels[-1].mean() > pixels[0].mean()

    def test_hostile_or_odd_files_give_reasons_not_crashes(self, root):
        cases = {
            "garbage.fits": b"not a fits file at all" * 100,
            "truncated.fits": None,
        }
        write_fits(root / "whole.fits", np.ones((50, 50), np.int32))
        cases["truncated.fits"] = (root / "whole.fits").read_bytes()[:3000]
        for name, content in cases.items():
            (root / name).write_bytes(content)
            with pytest.raises(NoPreview):
                render(open_image_file(str(root / name), str(root), 1 << 20))
        fits.PrimaryHDU().writeto(root / "empty.fits")
        with pytest.raises(NoPreview, match="no image"):
            render(open_image_file(str(root / "empty.fits"), str(root), 1 << 20))
        nan = np.full((10, 10), np.nan, np.float32)
        write_fits(root / "nan.fits", nan)
        with pytest.raises(NoPreview, match="no finite"):
            render(open_image_file(str(root / "nan.fits"), str(root), 1 << 20))
        flat = np.full((10, 10), 7, np.int16)
        write_fits(root / "flat.fits", flat)
        png, _, stats = render(open_image_file(str(root / "flat.fits"), str(root), 1 << 20))
        assert stats["std"] == 0 and Image.open(io.BytesIO(png)).size == (10, 10)

    def test_logical_cards_read_as_fits_writes_them(self, root):
        write_fits(root / "c.fits", np.ones((8, 8), np.int16), SIMULATE=(True, "simulated"), SHUTTER=False)
        _, cards, _ = render(open_image_file(str(root / "c.fits"), str(root), 1 << 20))
        keys = {k: v for k, v, c in cards}
        assert keys["SIMULATE"] == "T" and keys["SHUTTER"] == "F" and keys["SIMPLE"] == "T"

    def test_a_compressed_image_is_measured_before_it_is_unpacked(self, root):
        # A small file whose header claims 9000 x 8000 pixels (over the
        # bound): refused from the header, without memory for its pixels.
        hostile = compressed_claiming(9000, 8000)
        honest = compressed_claiming(None, None)
        (root / "hostile.fits").write_bytes(hostile)
        (root / "honest.fits").write_bytes(honest)
        with pytest.raises(NoPreview, match="72000000 pixels, more than"):
            render(open_image_file(str(root / "hostile.fits"), str(root), 1 << 20))
        peak = {name: peak_memory_rendering(root / name) for name in ("honest.fits", "hostile.fits")}
        assert peak["hostile.fits"] < peak["honest.fits"] + 64 * 1024, peak  # kB: far less than its 144 MB

    def test_a_file_announced_before_it_is_written_is_previewed_once_there(self, root):
        published = []

        async def body():
            previews = Previews(str(root), 1 << 20, published.append, retries=(0.2,) * 50)
            name = str(root / "late.fits")
            previews.file_changed("camera", name)
            await asyncio.sleep(0.3)
            write_fits(name, np.arange(100, dtype=np.int16).reshape(10, 10))
            for _ in range(200):
                if published:
                    break
                await asyncio.sleep(0.05)
            assert published and published[0]["ok"], published
            seq = int(published[0]["url"].split("/")[-1].split(".")[0])
            assert previews.png(seq)[:4] == b"\x89PNG"
            previews.file_changed("camera", "/etc/passwd")
            for _ in range(200):
                if len(published) > 1:
                    break
                await asyncio.sleep(0.05)
            assert published[1]["ok"] is False and "outside" in published[1]["reason"]

        asyncio.run(asyncio.wait_for(body(), 60))


class Held:
    """A stand-in for work done in a thread (render, the cache copy): it
    waits while `hold` is set and counts how many run at once."""

    def __init__(self, work):
        self.work = work
        self.hold = threading.Event()
        self.lock = threading.Lock()
        self.running = self.peak = 0

    def __call__(self, *args):
        with self.lock:
            self.running += 1
            self.peak = max(self.peak, self.running)
        try:
            while self.hold.is_set():
                time.sleep(0.01)
            return self.work(*args)
        finally:
            with self.lock:
                self.running -= 1

    async def started(self):
        while not self.running:
            await asyncio.sleep(0.01)


class TestLocalPreviewsOneAtATime:
    """A camera under the root may name files faster than they are previewed:
    the running preview ends, then the newest waiting one is made; one render
    runs at a time and only the file shown stays in the cache."""

    @pytest.fixture
    def held(self, monkeypatch, root):
        import corvoweb.preview as preview

        for i in range(4):
            write_fits(root / ("f%d.fits" % i), np.full((10, 10), i, np.int16))
        held = {"render": Held(preview.render), "write": Held(preview._write)}
        monkeypatch.setattr(preview, "render", held["render"])
        monkeypatch.setattr(preview, "_write", held["write"])
        return held

    @staticmethod
    async def settled(previews):
        while previews.tasks:
            await asyncio.sleep(0.02)

    def test_a_new_file_waits_for_the_running_preview_and_only_the_newest_follows(self, tmp_path, root, held):
        published = []
        cache = tmp_path / "cache"
        cache.mkdir()

        async def body():
            previews = Previews(str(root), 1 << 20, published.append, cache_dir=str(cache))
            # Three files while the first is being rendered.
            held["render"].hold.set()
            previews.file_changed("cam", str(root / "f0.fits"))
            await held["render"].started()
            for name in ("f1.fits", "f2.fits"):
                previews.file_changed("cam", str(root / name))
            await asyncio.sleep(0.3)
            held["render"].hold.clear()
            await self.settled(previews)
            assert [m["filename"].rsplit("/", 1)[-1] for m in published] == ["f0.fits", "f2.fits"]
            # A file while the previous one is copied into the cache.
            held["write"].hold.set()
            previews.file_changed("cam", str(root / "f3.fits"))
            await held["write"].started()
            previews.file_changed("cam", str(root / "f0.fits"))
            await asyncio.sleep(0.3)
            held["write"].hold.clear()
            await self.settled(previews)
            assert all(m["ok"] for m in published) and len(published) == 4
            assert held["render"].peak == 1 and held["write"].peak == 1
            seq = int(published[-1]["download"].split("/")[-1].split(".")[0])
            assert os.listdir(cache) == ["%d.fits" % seq]

        asyncio.run(asyncio.wait_for(body(), 60))

    def test_a_camera_forgotten_midway_leaves_no_file_and_no_second_render(self, tmp_path, root, held):
        published = []
        cache = tmp_path / "cache"
        cache.mkdir()

        async def body():
            previews = Previews(str(root), 1 << 20, published.append, cache_dir=str(cache))
            for step in ("render", "write"):
                held[step].hold.set()
                previews.file_changed("gone", str(root / "f1.fits"))
                await held[step].started()
                previews.forget("gone")
                previews.file_changed("cam", str(root / "f2.fits"))
                await asyncio.sleep(0.3)
                held[step].hold.clear()
                await self.settled(previews)
                assert held["render"].peak == 1, step
                assert "gone" not in previews.images and "gone" not in previews.latest
                assert [m["id"] for m in published] == ["cam"], step
                assert os.listdir(cache) == [previews.images["cam"][2].rsplit("/", 1)[-1]], step
                previews.forget("cam")
                published.clear()
            assert os.listdir(cache) == []

        asyncio.run(asyncio.wait_for(body(), 60))


    def test_a_copy_that_fails_leaves_nothing_in_the_cache(self, tmp_path, root, held, monkeypatch):
        import corvoweb.preview as preview

        class FullDisk:
            """A file whose disk fills up halfway through the write."""

            def __init__(self, path, mode):
                self.file = open(path, mode)

            def __enter__(self):
                return self

            def __exit__(self, *exc):
                self.file.close()

            def write(self, data):
                self.file.write(data[:len(data) // 2])
                self.file.flush()
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

        monkeypatch.setattr(preview, "open", FullDisk, raising=False)
        published = []
        cache = tmp_path / "cache"
        cache.mkdir()

        async def body():
            previews = Previews(str(root), 1 << 20, published.append, cache_dir=str(cache))
            previews.file_changed("cam", str(root / "f1.fits"))
            await self.settled(previews)
            # The preview stands, only its download is missing.
            assert len(published) == 1 and published[0]["ok"] and "download" not in published[0]
            assert held["write"].peak == 1
            assert os.listdir(cache) == []

        asyncio.run(asyncio.wait_for(body(), 60))


class TestFetchedPreviews:
    """Images of cameras whose files are not under the root come through
    `fetch` (the site in the gateway; here a stand-in writing real FITS
    files): the latest wins at a bounded rate per camera, a bounded number at
    once, only while a browser watches, and each is kept for download."""

    @staticmethod
    def run(body):
        asyncio.run(asyncio.wait_for(body(), 60))

    @staticmethod
    def fetcher(log, delay=0.0, running=None):
        async def fetch(pid, path, max_bytes):
            log.append((pid, path))
            if running is not None:
                running["now"] += 1
                running["peak"] = max(running["peak"], running["now"])
            try:
                await asyncio.sleep(delay)
                if pid == "refusing":
                    raise NoPreview("no image saved yet")
                if pid == "breaking":  # broken off midway: the package keeps what came in a part file
                    part = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".part")
                    with open(part, "wb") as f:
                        f.write(b"SIMPLE  =")
                    raise NoPreview("the camera left")
                write_fits(path, np.full((20, 30), len(log), dtype=np.int16), CAMERA=pid)
            finally:
                if running is not None:
                    running["now"] -= 1
        return fetch

    def test_latest_wins_at_the_bounded_rate_and_is_kept_for_download(self, tmp_path):
        published, log = [], []

        async def body():
            previews = Previews(None, 1 << 20, published.append, fetch=self.fetcher(log, 0.05),
                                min_interval=0.5, cache_dir=str(tmp_path))
            for i in range(20):
                previews.file_changed("cam", "/remote/img_%02d.fits" % i)
                await asyncio.sleep(0.02)
            while previews.tasks:
                await asyncio.sleep(0.05)
            # 20 announcements in 0.4 s: the first, then the newest.
            assert len(log) == 2, log
            assert [m["filename"] for m in published] == ["/remote/img_00.fits", "/remote/img_19.fits"]
            last = published[-1]
            assert last["ok"] and last["remote"]
            seq = int(last["download"].split("/")[-1].split(".")[0])
            path, name = previews.fits_file(seq)
            assert name == "img_19.fits"
            with fits.open(path) as hdus:
                assert hdus[0].header["CAMERA"] == "cam" and hdus[0].data[0, 0] == 2
            # Only the shown image stays on disk; the earlier one is gone.
            assert sorted(os.listdir(tmp_path)) == [os.path.basename(path)]
            assert previews.fits_file(seq - 1) is None
            previews.forget("cam")
            assert os.listdir(tmp_path) == []

        self.run(body)

    def test_fetches_wait_for_a_browser_and_are_bounded_at_once(self, tmp_path):
        published, log = [], []
        running = {"now": 0, "peak": 0}
        watching = {"on": False}

        async def body():
            previews = Previews(None, 1 << 20, published.append, fetch=self.fetcher(log, 0.2, running),
                                watching=lambda: watching["on"], cache_dir=str(tmp_path))
            for i in range(6):
                previews.file_changed("cam%d" % i, "/remote/a.fits")
            previews.file_changed("refusing", "/remote/a.fits")
            previews.file_changed("breaking", "/remote/a.fits")
            await asyncio.sleep(0.5)
            assert log == [] and published == []  # nobody watches
            watching["on"] = True
            previews.browser_attached()
            while previews.tasks:
                await asyncio.sleep(0.05)
            assert len(log) == 8 and running["peak"] == 2
            refused = [m for m in published if m["id"] == "refusing"]
            assert refused and not refused[0]["ok"] and refused[0]["reason"] == "no image saved yet"
            assert "download" not in refused[0]
            assert sum(1 for m in published if m["ok"]) == 6
            assert len(os.listdir(tmp_path)) == 6  # one file per camera, no part left

        self.run(body)

    def test_files_under_the_root_are_read_not_fetched(self, tmp_path, root):
        published, log = [], []
        write_fits(str(root / "here.fits"), np.arange(100, dtype=np.int16).reshape(10, 10))

        async def body():
            previews = Previews(str(root), 1 << 20, published.append, fetch=self.fetcher(log),
                                cache_dir=str(tmp_path / "cache"))
            os.makedirs(previews.cache)
            previews.file_changed("cam", str(root / "here.fits"))
            while previews.tasks:
                await asyncio.sleep(0.05)
            assert log == [] and published[0]["ok"] and "remote" not in published[0]
            seq = int(published[0]["download"].split("/")[-1].split(".")[0])
            path, _ = previews.fits_file(seq)
            assert open(path, "rb").read() == (root / "here.fits").read_bytes()

        self.run(body)
