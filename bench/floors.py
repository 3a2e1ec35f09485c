"""The floors measured beside the systems: building a list of k records from a C array of ids,
a plain setattr loop over ordinary objects, and a loop reading one attribute."""
from __future__ import annotations

import array
import importlib.util
import os
import subprocess
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))


def load_take(build_dir: str):
    """take(objs, ids) from the helper extension compiled here; None when there is no compiler."""
    os.makedirs(build_dir, exist_ok=True)
    so = os.path.join(build_dir, "_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    src = os.path.join(HERE, "_floor.c")
    if not os.path.exists(so) or os.path.getmtime(so) < os.path.getmtime(src):
        cmd = [os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC",
               "-I" + sysconfig.get_paths()["include"], src, "-o", so]
        try:
            subprocess.run(cmd, check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError):
            return None
    found = importlib.util.spec_from_file_location("_floor", so)
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod.take


def list_floor(take, objs: list, positions: list[int]):
    """A call that builds the list of objs at positions, the ids given as a C array of uint32.
    Without the helper it is the comprehension over a precomputed array, which costs a little more."""
    ids = array.array("I", positions)
    if take is not None:
        return lambda: take(objs, ids)
    return lambda: [objs[i] for i in ids]


def setattr_floor(objs: list, attr: str, values: list) -> None:
    for o, v in zip(objs, values):
        setattr(o, attr, v)

READ_ATTR = "num"          # the attribute that read_loop reads


def read_loop(objs: list) -> None:
    """Reads num of every record, as user code does: for plain objects this is the floor."""
    for r in objs:
        r.num
