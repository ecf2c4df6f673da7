"""The truncation guard owns exactly the faults in the mappings it watches: a
store cut short under a reader is refused, whatever SIGBUS handler came later
and however many readers are open, and every other SIGBUS acts as it would
without tarndb."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from tarndb import TarnWriter

OPEN = textwrap.dedent("""
    import faulthandler, mmap, os, signal, sys
    from tarndb import TarnCorruptError, TarnReader
    path = sys.argv[1]
    def cut_and_read(r):
        os.truncate(path, 100)
        try:
            r["k0001999"]
            print("answered")
        except TarnCorruptError as e:
            print("refused" if "changed while" in str(e) else e)
""")

CASES = {
    # Only faults in watched mappings are the guard's: a SIGBUS sent with kill
    # ends the process as it would without tarndb.
    "kill": ("r = TarnReader(path); os.kill(os.getpid(), signal.SIGBUS); print('alive')",
             -signal.SIGBUS, ""),
    "raise": ("r = TarnReader(path); signal.raise_signal(signal.SIGBUS); print('alive')",
              -signal.SIGBUS, ""),
    # A fault in a mapping the guard does not watch: the default action.
    "unwatched fault": ("r = TarnReader(path); f = open(path, 'rb'); "
                        "m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ); "
                        "os.truncate(path, 100); print(m[-1])", -signal.SIGBUS, ""),
    # faulthandler enabled after the reader opened: the guard stays in front.
    "faulthandler later": ("r = TarnReader(path); faulthandler.enable(); cut_and_read(r)",
                           0, "refused\n"),
    # More readers than one block of the guard's registry.
    "5000 readers": ("rs = [TarnReader(path) for _ in range(5000)]; cut_and_read(rs[-1])",
                     0, "refused\n"),
}


@pytest.mark.parametrize("case", CASES)
def test_sigbus(tmp_path, case):
    code, status, out = CASES[case]
    w = TarnWriter()
    w.update((f"k{i:07d}", "v" * 500) for i in range(2000))
    w.build(tmp_path / "s.trnd", quiet=True)
    # Under the sanitizers the child's SIGBUS handler before tarndb's is the
    # default one, as in a plain interpreter, not the sanitizer's report.
    env = dict(os.environ)
    if env.get("ASAN_OPTIONS"):
        env["ASAN_OPTIONS"] += ":handle_sigbus=0"
    done = subprocess.run([sys.executable, "-c", OPEN + code, str(tmp_path / "s.trnd")],
                          capture_output=True, text=True, timeout=60, cwd=tmp_path, env=env)
    assert (done.returncode, done.stdout) == (status, out), done.stderr
