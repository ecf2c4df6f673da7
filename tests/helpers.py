"""Helpers shared by the test modules: building stores, crafting files, watching the process.

The format itself is modelled separately, in storefile.py; nothing here knows the layout.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tarndb
from tarndb._tarndb import _TarnReader, _TarnWriter

ROOT = Path(__file__).resolve().parent.parent
U64_MAX = 2**64 - 1


# Error texts.

def exact(text):
    """A regular expression matching exactly text, with no trailing newline allowed."""
    return "^" + re.escape(text) + r"\Z"


def corrupt(message):
    return exact("TarnCorruptError: " + message)


# Stores.

def writer(objects=(), keys=()):
    """A native writer holding objects (in ID order) and keys: a dict or (key, obj_id) calls."""
    w = _TarnWriter()
    for payload in objects:
        w.add_object_raw(payload)
    for key, obj_id in keys.items() if isinstance(keys, dict) else keys:
        w.add_key(key, obj_id)
    return w


def built(w, tmp_path, name="out.trnd"):
    """The bytes w builds into tmp_path/name."""
    path = tmp_path / name
    w.build(str(path))
    return path.read_bytes()


def build(path, objects, keys):
    """Build objects and keys into path with the native writer; returns the path as str."""
    writer(objects, keys).build(str(path))
    return str(path)


def built_reader(tmp_path, objects, keys, name="s.trnd"):
    """A reader of the store the native writer builds from objects and keys."""
    return _TarnReader(build(tmp_path / name, objects, keys))


def put(tmp_path, data, name="s.trnd"):
    """Write crafted bytes to tmp_path/name; returns the path as str."""
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


# The process.

def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def mapped(path):
    """The lines of /proc/self/maps that map path."""
    real = os.path.realpath(path)
    with open("/proc/self/maps") as maps:
        return [line for line in maps if line.rstrip("\n").endswith(" " + real)]


def mem_available():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def under_asan():
    """True when the tests run with AddressSanitizer preloaded."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def strace_works():
    if shutil.which("strace") is None:
        return False
    probe = subprocess.run(["strace", "-qq", "-o", os.devnull, "true"], capture_output=True)
    return probe.returncode == 0


def run_python(code, *args, cwd, prefix=(), env=None, timeout=120, stdout=subprocess.PIPE):
    """Run code in a fresh interpreter that imports this very extension (and these helpers)."""
    env = dict(os.environ if env is None else env, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.dirname(tarndb.__file__)), os.path.dirname(__file__)]))
    return subprocess.run([*prefix, sys.executable, "-c", code, *args], cwd=cwd, env=env,
                          stdout=stdout, stderr=subprocess.PIPE, timeout=timeout)


def native_tool(tmp_path_factory, name, sources):
    """Compile tests/native/NAME.cc with the core sources it needs; skips without g++."""
    cxx = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    if cxx is None:
        pytest.skip(f"no C++ compiler to build tests/native/{name}.cc")
    exe = tmp_path_factory.mktemp(name) / name
    subprocess.run([cxx, "-std=c++20", "-O2", "-pthread", "-I", str(ROOT / "src"), "-o", str(exe),
                    str(ROOT / "tests" / "native" / f"{name}.cc"),
                    *(str(ROOT / s) for s in sources)], check=True)
    return exe
