"""Hung tests end the run's wait and are named: pytest-timeout, and the watchdog in conftest.py.

Each case runs pytest on a small test file with this suite's conftest.py and short limits.
"""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

STUCK = '''
import ctypes, fcntl, os, time
from tarndb._tarndb import _TarnWriter


def test_sleeping():
    time.sleep(60)


def test_build_waiting_for_its_own_lock(tmp_path):
    # The build waits for a lock that this process holds; the wait hears signals, so the
    # timeout's handler ends it.
    fd = os.open(tmp_path / "s.trnd.tmp", os.O_WRONLY | os.O_CREAT)
    fcntl.flock(fd, fcntl.LOCK_EX)
    _TarnWriter().build(str(tmp_path / "s.trnd"))


def test_native_deadlock():
    # A native call that keeps the GIL and that no signal ends: a mutex locked twice.
    libc, mutex = ctypes.PyDLL(None), ctypes.create_string_buffer(64)
    libc.pthread_mutex_lock(mutex)
    libc.pthread_mutex_lock(mutex)


def test_after():
    pass
'''

INI = """[pytest]
timeout = 0.5
timeout_method = signal
timeout_watchdog_grace = 0.5
"""


@pytest.mark.parametrize("test, status, output", [
    # Back in the interpreter: this test fails, the run goes on.
    ("test_sleeping", 1, ["FAILED test_stuck.py::test_sleeping - Failed: Timeout (>0.5s) ",
                          "1 failed, 1 passed"]),
    ("test_build_waiting_for_its_own_lock", 1, [
        "FAILED test_stuck.py::test_build_waiting_for_its_own_lock - Failed: Timeout",
        "1 failed, 1 passed"]),
    # Stuck in native code: the watchdog names the test, the stacks show where, the run ends.
    ("test_native_deadlock", -6, [
        "+++ Timeout: test_stuck.py::test_native_deadlock is still running 1 s",
        "Fatal Python error: Aborted", 'test_stuck.py", line 22 in test_native_deadlock'
    ]),
], ids=["back in Python", "build waiting for a lock", "native call holding the GIL"])
def test_hung_test_is_reported(tmp_path, test, status, output):
    shutil.copy(Path(__file__).with_name("conftest.py"), tmp_path)
    (tmp_path / "pytest.ini").write_text(INI)
    (tmp_path / "test_stuck.py").write_text(STUCK)
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-k", f"{test} or after"],
        cwd=tmp_path, capture_output=True, text=True, errors="replace", timeout=60)
    text = proc.stdout + proc.stderr
    assert proc.returncode == status, text
    for expected in output:
        assert expected in text, text
