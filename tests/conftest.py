"""A watchdog for tests stuck where pytest-timeout cannot reach them.

pytest-timeout (configured in pyproject.toml, method "signal") fails a test that runs past
its limit from a SIGALRM handler. That handler is Python code: it runs only once the main
thread is back in the interpreter, and pytest-timeout's other method, a timer thread,
needs the GIL just the same. A test stuck in a native call that holds the GIL and retries
after EINTR would hang the whole run.

The watchdog is a separate process, told over a pipe when each test starts and ends. If a
test is still running timeout_watchdog_grace seconds past its limit, the watchdog names it
on standard error and sends the run SIGABRT, on which faulthandler (enabled by pytest)
prints the stack of every thread; the run then ends with status 134.
"""

import os
import subprocess
import sys

import pytest

WATCHDOG_KEY = pytest.StashKey()

WATCHDOG = r"""
import os, select, signal, sys, time
parent, fd = int(sys.argv[1]), int(sys.argv[2])
deadline = test = None
pending = b""
while True:
    wait = None if deadline is None else max(0.0, deadline - time.monotonic())
    if select.select([fd], [], [], wait)[0]:
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        *lines, pending = (pending + chunk).split(b"\n")
        for line in lines:
            if line == b"exit":
                sys.exit(0)
            seconds, _, name = line.decode().partition(" ")
            deadline, test = (time.monotonic() + float(seconds), name) if name else (None, None)
        continue
    sys.stderr.write(f"\n+++ Timeout: {test} is still running {seconds} s after it started "
                     "(stuck where pytest-timeout cannot stop it); aborting the run +++\n")
    sys.stderr.flush()
    os.close(1)  # whoever reads the run's output need not wait for this process
    os.close(2)
    os.kill(parent, signal.SIGABRT)
    for _ in range(100):  # until the run is gone (this process has another parent)
        if os.getppid() != parent:
            sys.exit(0)
        time.sleep(0.1)
    os.kill(parent, signal.SIGKILL)
    break
"""


def pytest_addoption(parser):
    parser.addini("timeout_watchdog_grace", "Seconds past a test's timeout before the watchdog "
                  "aborts the run (0: no watchdog)", default="30")


def pytest_configure(config):
    if config.pluginmanager.getplugin("timeout") is None:
        raise pytest.UsageError("the tests need pytest-timeout: pip install '.[test]'")
    config.stash[WATCHDOG_KEY] = None
    grace = float(config.getini("timeout_watchdog_grace"))
    if grace <= 0:
        return
    read_end, write_end = os.pipe()
    proc = subprocess.Popen([sys.executable, "-c", WATCHDOG, str(os.getpid()), str(read_end)],
                            pass_fds=[read_end], stdin=subprocess.DEVNULL)
    os.close(read_end)
    config.stash[WATCHDOG_KEY] = (proc, write_end, grace)


def pytest_unconfigure(config):
    if config.stash.get(WATCHDOG_KEY, None) is not None:
        proc, write_end, _ = config.stash[WATCHDOG_KEY]
        os.write(write_end, b"exit\n")
        os.close(write_end)
        proc.wait(timeout=30)


def time_limit(item):
    """The test's pytest-timeout limit in seconds (0: none)."""
    marker = item.get_closest_marker("timeout")
    if marker is not None:
        value = marker.args[0] if marker.args else marker.kwargs.get("timeout", 0)
    else:
        value = item.config.getoption("timeout", None) or item.config.getini("timeout")
    return float(value or 0)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    watchdog, limit = item.config.stash[WATCHDOG_KEY], time_limit(item)
    if watchdog is None or limit <= 0:
        yield
        return
    _, write_end, grace = watchdog
    os.write(write_end, f"{limit + grace:g} {item.nodeid}\n".encode())
    try:
        yield
    finally:
        os.write(write_end, b"-\n")
