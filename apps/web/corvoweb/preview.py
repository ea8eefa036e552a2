"""The latest image of a camera as a PNG preview, its FITS header and pixel
statistics, and its FITS file for download.

A camera's image is read from the disk when its name lies under the image
root; otherwise (a camera on another host) it is fetched over the site, its
checksum verified, through `fetch(camera, path, max_bytes)`. Fetches are
bounded: at most `MAX_FETCHES` at once for all cameras, at most one per
`min_interval` seconds per camera (the latest image wins: images announced
meanwhile are skipped), only while a browser is attached, and no file above
`max_bytes`.

Every previewed file is kept in the cache folder (one per camera, the one
shown) so that the page can download it whole or in ranges; files being
fetched go there too. Disk use: at most (cameras + MAX_FETCHES) x max_bytes.

A file is read only if its name lies under the image root, it is a regular
file and not larger than `max_bytes`. It is opened once, one path component
at a time from the image root's own directory and without following a link
on any of them (a link inside the root is refused too), and checked through
that descriptor: nothing can be swapped in between a check and the read.

Bounds: an image of at most `MAX_PIXELS` pixels, counted from its header
before any pixel is read or unpacked; the preview is at most `MAX_SIDE`
pixels on its longer side; at most `MAX_CARDS` header cards are passed on;
one preview per camera is kept (until `forget`), and one is made at a time.
"""

import asyncio
import errno
import io
import os
import re
import shutil
import stat
import tempfile
import time

from .hub import json_safe

MAX_SIDE = 1024
MAX_CARDS = 400
MAX_PIXELS = 64 * 1024 * 1024
MAX_FETCHES = 2


class NoPreview(Exception):
    """Why there is no preview; `retry` when the file may still be written."""

    def __init__(self, reason, retry=False):
        super().__init__(reason)
        self.reason = reason
        self.retry = retry


def components_under(root, filename):
    """The path components of `filename` below the directory `root` (as
    written or with its links resolved), or None if it does not lie there
    (".." never climbs out)."""
    if not os.path.isabs(filename):
        filename = os.path.join(root, filename)
    parts = filename.split("/")
    if ".." in parts:
        return None
    name = os.path.normpath(filename)
    for base in (os.path.normpath(root), os.path.realpath(root)):
        if base != "/" and name.startswith(base + "/"):
            rest = name[len(base) + 1:].split("/")
            return rest if all(rest) else None
        if base == "/" and name != "/":
            return name[1:].split("/")
    return None


def open_below(root, parts):
    """A descriptor of root/parts[0]/.../parts[-1], each component opened in
    its parent's descriptor without following links."""
    nofollow = os.O_NOFOLLOW | os.O_CLOEXEC
    directory = os.open(os.path.realpath(root), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        for part in parts[:-1]:
            inner = os.open(part, os.O_RDONLY | os.O_DIRECTORY | nofollow, dir_fd=directory)
            os.close(directory)
            directory = inner
        return os.open(parts[-1], os.O_RDONLY | os.O_NONBLOCK | nofollow, dir_fd=directory)
    finally:
        os.close(directory)


def open_image_file(filename, image_root, max_bytes):
    """The bytes of `filename` if the gateway may read it, else NoPreview."""
    if not image_root:
        raise NoPreview("the gateway has no --image-root")
    if not filename:
        raise NoPreview("no image yet")
    if "\0" in filename:
        raise NoPreview("the file name is not valid")
    parts = components_under(image_root, filename)
    if parts is None:
        raise NoPreview("the file is outside the image root")
    try:
        fd = open_below(image_root, parts)
    except FileNotFoundError:
        raise NoPreview("the file does not exist (yet)", retry=True)
    except OSError as e:
        if e.errno in (errno.ELOOP, errno.ENOTDIR):
            raise NoPreview("the file's path holds a link, which the gateway does not follow")
        raise NoPreview("the file cannot be opened: " + (e.strerror or "error"))
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise NoPreview("the file is not a regular file")
        if info.st_size > max_bytes:
            raise NoPreview("the file is larger than %d bytes" % max_bytes)
        chunks, left = [], max_bytes + 1
        while left > 0:
            chunk = os.read(fd, min(left, 1 << 20))
            if not chunk:
                break
            chunks.append(chunk)
            left -= len(chunk)
        data = b"".join(chunks)
    finally:
        os.close(fd)
    if len(data) > max_bytes:
        raise NoPreview("the file is larger than %d bytes" % max_bytes)
    return data


def image_shape(hdu):
    """The axes of an image HDU from its header (NAXIS1 first), without
    reading or unpacking its pixels; None if it holds no 2-D image."""
    if not hdu.is_image:
        return None
    header = hdu.header
    naxis = header.get("NAXIS", 0)
    if not isinstance(naxis, int) or not 2 <= naxis <= 999:
        return None
    axes = [header.get("NAXIS%d" % i) for i in range(1, naxis + 1)]
    if not all(isinstance(n, int) and not isinstance(n, bool) and n > 0 for n in axes):
        return None
    return axes


def first_image(hdus):
    """The first HDU holding an image, after checking its pixel count."""
    for hdu in hdus:
        axes = image_shape(hdu)
        if axes is None:
            continue
        count = 1
        for n in axes:
            count *= n
        if count > MAX_PIXELS:
            raise NoPreview("the image has %d pixels, more than %d" % (count, MAX_PIXELS))
        return hdu
    return None


def card_text(value):
    """A header value as FITS writes it: logical values as T and F."""
    if isinstance(value, bool):
        return "T" if value else "F"
    return str(value)


def render(data):
    """PNG bytes, header cards and statistics of the FITS file in `data`."""
    import numpy as np
    from astropy.io import fits
    from astropy.visualization import ZScaleInterval
    from PIL import Image

    try:
        hdus = fits.open(io.BytesIO(data), memmap=False, lazy_load_hdus=False)
    except Exception as e:  # any fault of an untrusted file
        raise NoPreview("not a readable FITS file (%s)" % type(e).__name__, retry=True)
    with hdus:
        try:
            hdu = first_image(hdus)
        except NoPreview:
            raise
        except Exception as e:
            raise NoPreview("the image data cannot be read (%s)" % type(e).__name__, retry=True)
        if hdu is None:
            raise NoPreview("the file holds no image")
        cards = []
        for card in hdus[0].header.cards[:MAX_CARDS]:
            cards.append([str(card.keyword), card_text(card.value), str(card.comment)])
        try:
            pixels = np.asarray(hdu.data)
        except Exception as e:
            raise NoPreview("the image data cannot be read (%s)" % type(e).__name__, retry=True)
        while pixels.ndim > 2:
            pixels = pixels[0]
        if pixels.size == 0 or pixels.size > MAX_PIXELS:
            raise NoPreview("the image has %d pixels" % pixels.size)
        pixels = pixels.astype(np.float64, copy=False)
        finite = pixels[np.isfinite(pixels)]
        if finite.size == 0:
            raise NoPreview("the image has no finite pixel")
        stats = {
            "width": int(pixels.shape[1]),
            "height": int(pixels.shape[0]),
            "min": float(finite.min()),
            "max": float(finite.max()),
            "mean": float(finite.mean()),
            "median": float(np.median(finite)),
            "std": float(finite.std()),
        }
        step = max(1, -(-max(pixels.shape) // MAX_SIDE))
        small = pixels[::step, ::step]
        small = np.where(np.isfinite(small), small, stats["median"])
        low, high = ZScaleInterval().get_limits(small)
        if not high > low:
            low = stats["min"]
            high = stats["max"] if stats["max"] > low else low + 1.0
        scaled = np.clip((small - low) / (high - low), 0.0, 1.0)
        # FITS rows run bottom-up; images top-down.
        grey = (np.flipud(scaled) * 255.0 + 0.5).astype(np.uint8)
        out = io.BytesIO()
        Image.fromarray(grey, mode="L").save(out, format="PNG")
        stats["zscale"] = [float(low), float(high)]
        return out.getvalue(), cards, stats


def download_name(filename, pid):
    """The file name a browser saves an image under: the camera's own
    (its last component), made safe."""
    base = re.sub(r"[^A-Za-z0-9._+-]", "_", str(filename).rsplit("/", 1)[-1])[:200]
    if not base.strip("."):
        base = re.sub(r"[^A-Za-z0-9._+-]", "_", str(pid))[:100] + ".fits"
    return base


class Previews:
    """Makes the preview of each camera's newest file, off the event loop,
    and tells the browsers about it through `publish`.

    `fetch(pid, path, max_bytes)`: an async function that fetches the
    camera's latest image into the file `path` over the site, raising
    NoPreview with the reason; None: images are read from the disk only.
    `watching()`: whether a browser is attached (fetches wait for one)."""

    def __init__(self, image_root, max_bytes, publish, retries=(0.2, 0.3, 0.5, 1.0, 1.5, 2.0, 3.0), fetch=None,
                 watching=None, min_interval=0.5, cache_dir=None):
        self.image_root = image_root
        self.max_bytes = max_bytes
        self.publish = publish
        self.retries = retries
        self.fetch = fetch
        self.watching = watching or (lambda: True)
        self.min_interval = min_interval
        self.images = {}  # peer id -> (seq, png bytes, FITS path in the cache, download name)
        self.latest = {}  # peer id -> last message published
        self.tasks = {}
        self.making = {}  # peer id -> file name of the preview being made
        self.wanted = {}  # peer id -> newest file name waiting to be fetched
        self.started = {}  # peer id -> monotonic time of its last fetch
        self.seq = 0
        self.lock = asyncio.Lock()  # one preview is made at a time
        self.slots = asyncio.Semaphore(MAX_FETCHES)
        self.browser = asyncio.Event()
        self.cache_dir = cache_dir  # made at the first file when None
        self.own_cache = cache_dir is None
        self.fetches = 0  # fetches started (for tests and logs)

    def close(self):
        for task in self.tasks.values():
            task.cancel()
        self.tasks.clear()
        if self.own_cache and self.cache_dir:
            shutil.rmtree(self.cache_dir, ignore_errors=True)
            self.cache_dir = None

    @property
    def cache(self):
        if self.cache_dir is None:
            self.cache_dir = tempfile.mkdtemp(prefix="corvo-web-img.")
        return self.cache_dir

    def browser_attached(self):
        """A browser came: fetches waiting for one go ahead."""
        self.browser.set()

    def is_remote(self, filename):
        """Whether the image must come over the site (not below the root)."""
        if self.fetch is None:
            return False
        return not (self.image_root and filename and "\0" not in filename
                    and components_under(self.image_root, filename) is not None)

    def file_seen(self, pid, filename):
        """A camera described itself with this last image: previewed unless
        it is the one already shown or being made."""
        if (self.latest.get(pid, {}).get("filename") == filename or self.making.get(pid) == filename
                or self.wanted.get(pid) == filename):
            return
        self.file_changed(pid, filename)

    def file_changed(self, pid, filename):
        """The camera's newest file: previewed once the preview being made
        is done (a render in a thread cannot be stopped: cancelling its task
        would let the next one run beside it); files announced meanwhile are
        skipped but the newest."""
        self.wanted[pid] = filename
        if pid not in self.tasks:
            self.tasks[pid] = asyncio.ensure_future(self._show_newest(pid))

    def forget(self, pid):
        task = self.tasks.pop(pid, None)
        if task:
            task.cancel()
        old = self.images.pop(pid, None)
        if old:
            _remove(old[2])
        self.latest.pop(pid, None)
        self.making.pop(pid, None)
        self.wanted.pop(pid, None)
        self.started.pop(pid, None)

    async def _show_newest(self, pid):
        """Previews the newest file of `pid` until none is waiting; one
        fetched over the site at the bounded rate, while a browser watches."""
        try:
            while pid in self.wanted:
                if self.is_remote(self.wanted[pid]):
                    await self._fetch_turn(pid)
                filename = self.wanted.pop(pid, None)
                if filename is None:
                    break
                self.making[pid] = filename
                if self.is_remote(filename):
                    async with self.slots:
                        self.started[pid] = time.monotonic()
                        self.fetches += 1
                        message = await self._fetch_one(pid, filename)
                else:
                    message = await self._make(pid, filename)
                self.making.pop(pid, None)
                if message is not None:
                    self._show(pid, message)
        finally:
            if self.tasks.get(pid) is asyncio.current_task():
                del self.tasks[pid]

    async def _fetch_turn(self, pid):
        """Waits for a browser and for the camera's interval between fetches."""
        while not self.watching():
            self.browser.clear()
            await self.browser.wait()
        wait = self.started.get(pid, -1e9) + self.min_interval - time.monotonic()
        if wait > 0:
            await asyncio.sleep(wait)

    def _show(self, pid, message):
        # Kept as JSON carries it: every page that comes later is sent it.
        message = json_safe(message)
        self.latest[pid] = message
        self.publish(message)

    async def _fetch_one(self, pid, filename):
        message = {"type": "image", "id": pid, "filename": filename, "remote": True}
        self.seq += 1
        seq = self.seq
        path = os.path.join(self.cache, "%d.fits" % seq)
        try:
            await self.fetch(pid, path, self.max_bytes)
            async with self.lock:
                png, cards, stats = await _in_thread(self._read, path, self.cache)
        except NoPreview as e:
            _remove_fetched(path)
            message.update(ok=False, reason=e.reason)
            return message
        except BaseException:
            _remove_fetched(path)
            raise
        self._keep(pid, seq, png, path, filename)
        message.update(ok=True, url="/image/%d.png" % seq, download="/image/%d.fits" % seq, header=cards,
                       stats=stats)
        return message

    def _keep(self, pid, seq, png, path, filename):
        old = self.images.get(pid)
        self.images[pid] = (seq, png, path, download_name(filename, pid))
        if old and old[2] != path:
            _remove(old[2])

    async def _make(self, pid, filename):
        """The message of the preview of a file under the root; None when a
        newer file came while this one was waited for."""
        message = {"type": "image", "id": pid, "filename": filename}
        for attempt, delay in enumerate((0.0,) + tuple(self.retries)):
            if delay:
                await asyncio.sleep(delay)
            if attempt and pid in self.wanted:
                return None  # a newer file came while this one was not there yet
            try:
                async with self.lock:
                    png, cards, stats, data = await _in_thread(self._read_local, filename)
            except NoPreview as e:
                if e.retry and attempt < len(self.retries):
                    continue
                message.update(ok=False, reason=e.reason)
                break
            self.seq += 1
            seq = self.seq
            path = os.path.join(self.cache, "%d.fits" % seq)
            try:
                await _in_thread(_write, path, data)
            except OSError:
                path = None  # the preview stands; only the download is missing
            except asyncio.CancelledError:
                _remove(path)
                raise
            self._keep(pid, seq, png, path, filename)
            message.update(ok=True, url="/image/%d.png" % seq, header=cards, stats=stats)
            if path:
                message["download"] = "/image/%d.fits" % seq
            break
        return message

    def _read_local(self, filename):
        data = open_image_file(filename, self.image_root, self.max_bytes)
        return render(data) + (data,)

    def _read(self, filename, root=None):
        return render(open_image_file(filename, root or self.image_root, self.max_bytes))

    def png(self, seq):
        for s, png, _, _ in self.images.values():
            if s == seq:
                return png
        return None

    def fits_file(self, seq):
        """(path, download name) of the FITS file of preview `seq`, or None
        when it is not the one shown any more."""
        for s, _, path, name in self.images.values():
            if s == seq and path:
                return path, name
        return None


async def _in_thread(function, *args):
    """function(*args) in a thread, awaited to its end even when the task is
    cancelled meanwhile: the thread cannot be stopped, and returning early
    would let the next render run beside it or leave its file behind."""
    future = asyncio.get_running_loop().run_in_executor(None, function, *args)
    try:
        return await asyncio.shield(future)
    except asyncio.CancelledError:
        await asyncio.wait([future])
        raise


def _write(path, data):
    part = path + ".part"
    try:
        with open(part, "wb") as f:
            f.write(data)
        os.replace(part, path)
    except BaseException:
        # What was written of a copy that failed (a full disk) would hold its
        # space until the gateway stops, and fail the next copies too.
        _remove(part)
        raise


def _remove_fetched(path):
    """Removes a fetched file and the part file a fetch broken off midway
    leaves beside it (the package's hidden .NAME.part)."""
    _remove(path)
    _remove(os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".part"))


def _remove(path):
    if path:
        try:
            os.unlink(path)
        except OSError:
            pass
