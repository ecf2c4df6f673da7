"""The package's shape: no import cycle among its modules (imports inside
functions included), no module over 400 non-blank lines, no function over 80."""

import ast
from pathlib import Path

import pytest

import tarndb

PACKAGE = Path(tarndb.__file__).parent
MODULES = sorted(PACKAGE.glob("*.py"))


def imports_of(path):
    """The package modules that *path* imports, anywhere in the file."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            names = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and node.module:
            names = [node.module] + [f"{node.module}.{alias.name}" for alias in node.names]
        else:
            continue
        found |= {name.split(".")[1] for name in names
                  if name.startswith("tarndb.") and (PACKAGE / (name.split(".")[1] + ".py")).exists()}
    return found - {"__init__"}


def find_cycle(graph):
    """One import cycle of *graph* as a list of modules, or None."""
    state = {}

    def visit(node, path):
        state[node] = "open"
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                cycle = visit(nxt, path + [nxt])
                if cycle:
                    return cycle
        state[node] = "done"
        return None

    for start in sorted(graph):
        if start not in state:
            cycle = visit(start, [start])
            if cycle:
                return cycle
    return None


def test_no_import_cycle():
    graph = {path.stem: imports_of(path) for path in MODULES if path.stem != "__init__"}
    assert graph["cli"] and graph["_writer"]  # the graph was read
    assert find_cycle(graph) is None, " -> ".join(find_cycle(graph))


def test_the_cycle_finder_finds_one():
    assert find_cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}}) == ["a", "b", "c", "a"]
    assert find_cycle({"a": {"b"}, "b": set(), "c": {"b"}}) is None


@pytest.mark.parametrize("path", MODULES, ids=[p.name for p in MODULES])
def test_modules_and_functions_stay_small(path):
    text = path.read_text()
    assert sum(1 for line in text.splitlines() if line.strip()) <= 400
    for node in ast.walk(ast.parse(text)):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            length = node.end_lineno - node.lineno + 1
            assert length <= 80, f"{node.name} has {length} lines"


def test_the_source_tree_never_shadows_the_installed_package():
    """Run from the repository's root (where README's commands run), Python
    imports the installed package, native modules and all, not the sources."""
    import subprocess
    import sys
    root = Path(__file__).resolve().parent.parent
    done = subprocess.run([sys.executable, "-c", "import tarndb._store, tarndb._tarndb"],
                          cwd=root, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
