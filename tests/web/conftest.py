# The gateway's sources and the test helpers are imported from the tree.
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
for path in (here, os.path.join(here, "..", "..", "apps", "web")):
    path = os.path.normpath(path)
    if path not in sys.path:
        sys.path.insert(0, path)
