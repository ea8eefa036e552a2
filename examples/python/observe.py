#!/usr/bin/python3
"""An observing script: sets the simulated camera's exposure time, takes a
sequence of exposures, waits for each file and prints pixel statistics.

    corvo-simcam --site lab --interface lo &        # with camera.conf set up
    examples/python/observe.py --site lab --interface lo --count 3 --exptime 0.5
"""

import argparse
import os
import sys

import numpy as np

import corvo


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--site", default="corvo")
    parser.add_argument("--port", type=int, default=5670)
    parser.add_argument("--interface", default=None)
    parser.add_argument("--camera", default="camera")
    parser.add_argument("--count", type=int, default=3)
    parser.add_argument("--exptime", type=float, default=1.0)
    args = parser.parse_args(argv)

    with corvo.Site(site=args.site, port=args.port, interface=args.interface, name="observe") as site:
        info = site.info(args.camera, timeout=10)
        print("%s: %s, %dx%d, %s" % (args.camera, site.get(args.camera, "model"), site.get(args.camera, "imgw"),
                                      site.get(args.camera, "imgh"),
                                      info.properties["datatype"].choices.get(site.get(args.camera, "datatype"))))
        site.set(args.camera, "expotime", args.exptime)
        for n in range(1, args.count + 1):
            # The camera broadcasts "filename" once the image is saved whole.
            path = site.command(args.camera, "expose", wait="filename", timeout=args.exptime + 30)
            pixels, header = corvo.read_fits(path)
            data = pixels.astype(np.float64)
            print("%d/%d %s  mean %.2f  std %.2f  min %g  max %g  median %.1f"
                  % (n, args.count, os.path.basename(path), data.mean(), data.std(), data.min(), data.max(),
                     np.median(data)))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
