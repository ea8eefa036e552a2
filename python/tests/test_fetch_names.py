"""The file names a fetch into a directory gives, against a camera that names
every image it sends after a file that already exists there: the image
takes the name asked for (the camera's own only for "latest"), never a
hidden one, and never replaces a file of the directory."""

import os

import pytest

import corvo
from conftest import net_options, program

T = 30.0  # generous: the machine may be loaded


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


@pytest.fixture
def lying_camera(children, site_args):
    """The test camera of this build, named "camera", which calls every image
    it sends ".bashrc", whatever was asked."""
    children.env = dict(children.env, FAKE_IMAGE_NAME=".bashrc")
    return children.start([program("CORVO_FAKE_CAMERA")] + net_options(site_args), "fakecam")


def test_a_fetch_into_a_directory_replaces_nothing(lying_camera, site_args, work_dir):
    target = os.path.join(work_dir, "dl")
    os.makedirs(target)
    before = {".bashrc": b"my settings\n", "x.fits": b"an earlier image\n"}
    for name, data in before.items():
        with open(os.path.join(target, name), "wb") as f:
            f.write(data)

    with corvo.Site(**site_args) as s:
        camera = s.device("camera", timeout=T)
        served = camera.fetch_image("x.fits")
        assert served and served not in before.values()

        written = [
            camera.fetch_image("night/m31_001.fits", target),  # the asked name, not the camera's
            camera.fetch_image("x.fits", target),  # taken: the next free name
            camera.fetch_image("latest", target),  # the camera's name, made visible
            camera.fetch_image("latest", target),  # taken in turn
        ]

    for name, data in before.items():
        assert read_bytes(os.path.join(target, name)) == data, name
    assert [os.path.basename(p) for p in written] == ["m31_001.fits", "x_1.fits", "_bashrc", "_bashrc_1"]
    for path in written:
        assert os.path.dirname(path) == target
        assert read_bytes(path) == served
    # Nothing else: no part file left, no hidden file made.
    assert sorted(os.listdir(target)) == sorted(list(before) + [os.path.basename(p) for p in written])


def test_a_file_path_given_is_replaced(lying_camera, site_args, work_dir):
    mine = os.path.join(work_dir, "mine.fits")
    with open(mine, "wb") as f:
        f.write(b"old\n")
    with corvo.Site(**site_args) as s:
        camera = s.device("camera", timeout=T)
        assert camera.fetch_image("x.fits", mine) == mine
        served = camera.fetch_image("x.fits")
    assert read_bytes(mine) == served
    assert not [n for n in os.listdir(work_dir) if n.endswith(".part")]
