"""Every code block of README.md and docs/*.md runs as written, in document
order, in one fresh directory that holds the repository's data/ (and .venv/,
the interpreter these tests run in).

- ``python``: a script of its own (after ``import tarndb``); each
  ``# prints: TEXT`` comment must be a line of what it printed, in order.
- ``sh``: run by bash, stopping at the first failing command.
- ``console``: each ``$ COMMAND`` runs in bash; the lines after it up to the
  next ``$`` are its output: lines that begin with ``tarndb: `` its standard
  error, the others its standard output, exactly.
- ``text`` and unlabelled blocks are output or diagrams, and are not run.

A block that is not meant to run (it installs the package, needs the
network, or is the test suite itself) has the line ``<!-- not run: REASON -->``
just before it.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)
NOT_RUN = re.compile(r"<!-- not run: (.+?) -->\s*$")
RUN = ("python", "sh", "console")
NOT_CODE = ("", "text")
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def blocks(text):
    """(line, language, code, reason not run or None) of each block of *text*."""
    for m in FENCE.finditer(text):
        before = text[:m.start()].rstrip("\n").rsplit("\n", 1)[-1]
        marker = NOT_RUN.search(before)
        yield text.count("\n", 0, m.start()) + 1, m.group(1), m.group(2), \
            marker.group(1) if marker else None


def console_steps(code):
    """(command, expected stdout, expected stderr) of each ``$`` line."""
    steps = []
    for line in code.splitlines():
        if line.startswith("$ "):
            steps.append([line[2:], [], []])
        else:
            steps[-1][2 if line.startswith("tarndb: ") else 1].append(line)
    return [(cmd, "".join(x + "\n" for x in out), "".join(x + "\n" for x in err))
            for cmd, out, err in steps]


def run_block(where, env, language, code):
    """Run one block in *where*; a failure names what differed."""
    if language == "python":
        done = subprocess.run([sys.executable, "-c", "import tarndb\n" + code], cwd=where,
                              env=env, capture_output=True, text=True, timeout=170)
        assert done.returncode == 0, done.stderr
        printed = iter(done.stdout.splitlines())
        for expected in re.findall(r"# prints: (.*)", code):
            assert any(line == expected for line in printed), (expected, done.stdout)
        return
    if language == "sh":
        done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", code], cwd=where, env=env,
                              capture_output=True, text=True, timeout=170)
        assert done.returncode == 0, done.stdout + done.stderr
        return
    for command, out, err in console_steps(code):
        done = subprocess.run(["bash", "-c", command], cwd=where, env=env, capture_output=True,
                              text=True, timeout=170)
        assert (done.stdout, done.stderr) == (out, err), command


@pytest.mark.timeout(400)
@pytest.mark.parametrize("path", DOCS, ids=[p.name for p in DOCS])
def test_every_code_block_runs_as_written(tmp_path, path):
    (tmp_path / "data").symlink_to(ROOT / "data")
    (tmp_path / ".venv").symlink_to(sys.prefix)
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    ran = 0
    for line, language, code, reason in blocks(path.read_text(encoding="utf-8")):
        if reason is not None or language in NOT_CODE:
            continue
        assert language in RUN, f"{path.name}:{line}: a {language!r} block runs how?"
        if UNDER_ASAN and re.search(r"dask|distributed|--shards|--update", code):
            continue  # worker processes are not run under AddressSanitizer
        try:
            run_block(tmp_path, env, language, code)
        except AssertionError as exc:
            raise AssertionError(f"{path.name}:{line}: {exc}") from None
        ran += 1
    assert ran or path != DOCS[0]


def test_the_block_reader_sees_markers_and_output():
    sample = ("text\n<!-- not run: needs the network -->\n```sh\npip download x\n```\n"
              "```console\n$ tarndb get s k\n{}\ntarndb: s: no key\n$ true\n```\n")
    found = list(blocks(sample))
    assert [(lang, reason) for _, lang, _, reason in found] == [("sh", "needs the network"),
                                                              ("console", None)]
    assert console_steps(found[1][2]) == [("tarndb get s k", "{}\n", "tarndb: s: no key\n"),
                                          ("true", "", "")]
