#!/usr/bin/python3
"""Builds the API reference page of the corvo package from its docstrings
(pydoc's HTML), and warns about every public module, class, function,
method or property without one. Exits with status 1 on any warning, so
that the page is built without warnings or not at all.

    api_reference.py OUTPUT.html
"""

from __future__ import annotations

import inspect
import pydoc
import sys
import warnings
from typing import List

MODULES = ("corvo", "corvo.aio")


def public_members(owner) -> List[str]:
    names = getattr(owner, "__all__", None)
    if names is None:
        names = [n for n in vars(owner) if not n.startswith("_")]
    return list(names)


def undocumented(module) -> List[str]:
    """Public names of `module` (and of its classes) without a docstring."""
    missing = []
    if not inspect.getdoc(module):
        missing.append(module.__name__)
    for name in public_members(module):
        value = getattr(module, name)
        where = "%s.%s" % (module.__name__, name)
        if inspect.ismodule(value):
            continue  # documented on its own
        if (inspect.isclass(value) or inspect.isfunction(value)) and not inspect.getdoc(value):
            missing.append(where)
        if inspect.isclass(value):
            for member, attribute in vars(value).items():
                if member.startswith("_") or isinstance(attribute, (int, str, dict, tuple, type(None))):
                    continue
                if isinstance(attribute, (staticmethod, classmethod)):
                    attribute = attribute.__func__
                if (inspect.isfunction(attribute) or isinstance(attribute, property)) and not attribute.__doc__:
                    missing.append("%s.%s" % (where, member))
    return missing


def main(output: str) -> int:
    warnings.simplefilter("error")
    modules = [__import__(name, fromlist=["_"]) for name in MODULES]
    problems = []
    for module in modules:
        problems += ["warning: %s has no docstring" % name for name in undocumented(module)]
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    html = pydoc.HTMLDoc()
    body = "".join(html.docmodule(module) for module in modules)
    version = getattr(modules[0], "__version__", "")
    page = html.page("corvo %s: Python API reference" % version, body)
    with open(output, "w", encoding="utf-8") as out:
        out.write(page)
    print("wrote %s (%d modules)" % (output, len(modules)))
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
