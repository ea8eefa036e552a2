"""The latest image of a camera as a PNG preview, its FITS header and pixel
statistics.

A file is read only if its name lies under the image root, it is a regular
file and not larger than `max_bytes`. It is opened once, one path component
at a time from the image root's own directory and without following a link
on any of them (a link inside the root is refused too), and checked through
that descriptor: nothing can be swapped in between a check and the read.

Bounds: an image of at most `MAX_PIXELS` pixels, counted from its header
before any pixel is read or unpacked; the preview is at most `MAX_SIDE`
pixels on its longer side; at most `MAX_CARDS` header cards are passed on;
one preview per camera is kept.
"""

import asyncio
import errno
import io
import os
import stat

MAX_SIDE = 1024
MAX_CARDS = 400
MAX_PIXELS = 64 * 1024 * 1024


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


class Previews:
    """Makes the preview of each camera's newest file, off the event loop,
    and tells the browsers about it through `publish`."""

    def __init__(self, image_root, max_bytes, publish, retries=(0.2, 0.3, 0.5, 1.0, 1.5, 2.0, 3.0)):
        self.image_root = image_root
        self.max_bytes = max_bytes
        self.publish = publish
        self.retries = retries
        self.images = {}  # peer id -> (seq, png bytes)
        self.latest = {}  # peer id -> last message published
        self.tasks = {}
        self.making = {}  # peer id -> file name of the preview being made
        self.seq = 0
        self.lock = asyncio.Lock()  # one preview is made at a time

    def file_seen(self, pid, filename):
        """A camera described itself with this last image: previewed unless
        it is the one already shown or being made."""
        if self.latest.get(pid, {}).get("filename") == filename or self.making.get(pid) == filename:
            return
        self.file_changed(pid, filename)

    def file_changed(self, pid, filename):
        self.making[pid] = filename
        task = self.tasks.pop(pid, None)
        if task:
            task.cancel()
        self.tasks[pid] = asyncio.ensure_future(self._make(pid, filename))

    def forget(self, pid):
        task = self.tasks.pop(pid, None)
        if task:
            task.cancel()
        self.images.pop(pid, None)
        self.latest.pop(pid, None)
        self.making.pop(pid, None)

    async def _make(self, pid, filename):
        loop = asyncio.get_running_loop()
        message = {"type": "image", "id": pid, "filename": filename}
        for attempt, delay in enumerate((0.0,) + tuple(self.retries)):
            if delay:
                await asyncio.sleep(delay)
            try:
                async with self.lock:
                    png, cards, stats = await loop.run_in_executor(None, self._read, filename)
            except NoPreview as e:
                if e.retry and attempt < len(self.retries):
                    continue
                message.update(ok=False, reason=e.reason)
                break
            self.seq += 1
            self.images[pid] = (self.seq, png)
            message.update(ok=True, url="/image/%d.png" % self.seq, header=cards, stats=stats)
            break
        self.latest[pid] = message
        self.tasks.pop(pid, None)
        self.making.pop(pid, None)
        self.publish(message)

    def _read(self, filename):
        return render(open_image_file(filename, self.image_root, self.max_bytes))

    def png(self, seq):
        for s, png in self.images.values():
            if s == seq:
                return png
        return None
