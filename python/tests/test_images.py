"""FITS images from numpy: the eight pixel types written through the
library's writer read back identically with cfitsio (and astropy), header
cards and header templates, refusals of arrays the writer cannot take, and
the pixels written without a copy."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corvo
from conftest import net_options, read_log, wait_until

TYPES = [np.uint8, np.int8, np.int16, np.uint16, np.int32, np.uint32, np.float32, np.float64]


def extremes(dtype):
    """An image holding the type's extremes and a ramp between them."""
    info = np.iinfo(dtype) if np.issubdtype(dtype, np.integer) else np.finfo(dtype)
    image = np.linspace(0, 1, 7 * 5).reshape(5, 7)
    image = (image * (float(info.max) / 2)).astype(dtype)
    image[0, 0] = info.min
    image[0, 1] = info.max
    image[4, 6] = 0
    return image


@pytest.mark.parametrize("dtype", TYPES, ids=lambda t: np.dtype(t).name)
def test_every_pixel_type_reads_back_identically(work_dir, dtype):
    path = os.path.join(work_dir, "sub", "img_%s.fits" % np.dtype(dtype).name)
    image = extremes(dtype)
    corvo.write_fits(path, image, {"OBSERVER": ("Ada O'Hara", "who"), "EXPTIME": 1.5, "NFRAMES": 3, "FLAT": False})
    pixels, header = corvo.read_fits(path)
    assert pixels.dtype == image.dtype and pixels.shape == image.shape
    assert np.array_equal(pixels, image)
    assert header["OBSERVER"] == "Ada O'Hara" and float(header["EXPTIME"]) == 1.5
    assert header["NFRAMES"] == "3" and header["FLAT"] == "F"
    from astropy.io import fits
    with fits.open(path) as hdus:
        assert np.array_equal(hdus[0].data, image)
        assert hdus[0].header["OBSERVER"] == "Ada O'Hara"


def test_file_names_are_taken_literally(work_dir):
    """Brackets, parentheses and a scheme in a file name are part of the
    name: the file read is the file of that name, not an HDU or a filter of
    another one."""
    plain = os.path.join(work_dir, "s.fits")
    corvo.write_fits(plain, extremes(np.uint8))
    for seed, name in enumerate(("s.fits[0]", "run[1].fits", "x(2).fits", "mem:y.fits")):
        path = os.path.join(work_dir, name)
        image = extremes(np.int16) + seed
        corvo.write_fits(path, image, {"SEED": seed})
        pixels, header = corvo.read_fits(path)
        assert pixels.dtype == image.dtype and np.array_equal(pixels, image), name
        assert header["SEED"] == str(seed)


def test_arrays_the_writer_refuses(work_dir):
    path = os.path.join(work_dir, "bad.fits")
    with pytest.raises(TypeError, match="pixel type"):
        corvo.write_fits(path, np.zeros((4, 4), dtype=np.int64))
    with pytest.raises(ValueError, match="two-dimensional"):
        corvo.write_fits(path, np.zeros(16, dtype=np.uint16))
    with pytest.raises(ValueError, match="C-contiguous"):
        corvo.write_fits(path, np.zeros((8, 8), dtype=np.uint16)[:, ::2])
    with pytest.raises(ValueError, match="byte order"):
        corvo.write_fits(path, np.zeros((4, 4), dtype=">u2" if sys.byteorder == "little" else "<u2"))
    with pytest.raises(TypeError):
        corvo.write_fits(path, np.zeros((4, 4), dtype=np.uint16), {"KEY": [1, 2]})
    assert not os.path.exists(path)


def test_a_refused_card_leaves_the_existing_file_and_long_strings_read_back_whole(work_dir):
    """A card the writer refuses (NaN, a reserved or malformed key) fails the
    write before any file takes the name: the image already there stays as
    it was, and no temporary file is left. A string longer than one card
    (written over CONTINUE cards) reads back whole, without a CONTINUE key."""
    path = os.path.join(work_dir, "keep.fits")
    image = np.arange(12, dtype=np.uint16).reshape(3, 4) + 1
    long_text = "/data/" + "x" * 150 + "/it's night & day/" + "y" * 40
    corvo.write_fits(path, image, {"OBJECT": "M31", "PATHNAME": (long_text, "where"), "NOTE": "a&"})
    with open(path, "rb") as f:
        kept = f.read()
    for card in ({"CCD-TEMP": float("nan")}, {"BZERO": 5}, {"CCD.TEMP": 1.0}, {"INF": float("inf")}):
        with pytest.raises(corvo.CorvoError):
            corvo.write_fits(path, np.zeros((3, 4), dtype=np.uint16), dict({"OBJECT": "other"}, **card))
        with open(path, "rb") as f:
            assert f.read() == kept, card
    assert os.listdir(work_dir) == ["keep.fits"]
    pixels, header = corvo.read_fits(path)
    assert np.array_equal(pixels, image) and header["OBJECT"] == "M31"
    assert header["PATHNAME"] == long_text and header["NOTE"] == "a&"
    assert "CONTINUE" not in header
    from astropy.io import fits
    with fits.open(path) as hdus:
        assert hdus[0].header["PATHNAME"] == long_text


def test_a_64_mb_image_is_written_without_a_copy(work_dir):
    # Peak memory of a fresh interpreter: the array, then the write. A copy
    # of the pixels would add 64 MB to the peak.
    script = textwrap.dedent("""
        import resource, sys, numpy as np, corvo
        image = np.ones((4096, 4096), dtype=np.float32)
        image[0, 0] = 2
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        corvo.write_fits(sys.argv[1], image)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(after - before)
    """)
    path = os.path.join(work_dir, "big.fits")
    out = subprocess.run([sys.executable, "-c", script, path], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    grown_kb = int(out.stdout)
    assert grown_kb < 16 * 1024, "peak memory grew by %d KB" % grown_kb
    assert os.path.getsize(path) >= 4096 * 4096 * 4
    pixels, _ = corvo.read_fits(path)
    assert pixels[0, 0] == 2 and pixels[4095, 4095] == 1


def test_daemon_saves_with_a_header_template(children, site_args, work_dir):
    with open(os.path.join(children.conf, "imgtmpl.txt"), "w") as f:
        f.write('#define DEV imager\nEXPTIME => DEV:exptime "exposure [s]"\nOBJECT => DEV:target "target"\n'
                'GONE => nobody:thing "absent component"\n'
                'CCD.TEMP => DEV:exptime "bad key"\nBZERO => DEV:exptime "reserved key"\n')
    out = os.path.join(work_dir, "frames", "f.fits")
    script = os.path.join(work_dir, "imager.py")
    with open(script, "w") as f:
        f.write(textwrap.dedent("""
            import sys, numpy as np, corvo

            class Imager(corvo.Daemon):
                name = "imager"
                exptime = corvo.Property(float, unit="s", writable=True, default=2.5)
                target = corvo.Property(str, writable=True, default="M31")
                filename = corvo.Property(str)

                @corvo.command
                def shoot(self, path: str):
                    frame = np.arange(12, dtype=np.uint16).reshape(3, 4)
                    self.save_image(frame, path, {"SEQ": 7}, template="imgtmpl.txt")
                    self.filename = path

            sys.exit(Imager().run())
        """))
    imager = children.python(script, *net_options(site_args), log_name="imager")
    with corvo.Site(**site_args) as s:
        s.set("imager", "target", "NGC 891", timeout=30)
        assert s.command("imager", "shoot", out, wait="filename", timeout=30) == out
    pixels, header = corvo.read_fits(out)
    assert np.array_equal(pixels, np.arange(12, dtype=np.uint16).reshape(3, 4))
    assert "EXPTIME" in header, (header, read_log(imager))
    assert float(header["EXPTIME"]) == 2.5
    assert header["OBJECT"] == "NGC 891"
    assert header["SEQ"] == "7" and "GONE" not in header
    # Template cards the writer refuses are skipped and logged; the image is
    # saved without them.
    assert "CCD.TEMP" not in header and header["BZERO"] == "32768"
    wait_until(lambda: "CCD.TEMP skipped" in read_log(imager) and "BZERO skipped" in read_log(imager),
               what="the skipped cards logged")
