"""Structure check of the sources: file and function sizes, import cycles,
and the places that publish a file by renaming it.

    python tools/check_structure.py [--max-function 80] [--max-file 400]

Prints what it finds and exits 1 when a limit is passed, a package import
cycle exists, or more than one place renames files into place. C++
functions are found by their braces (a body that follows a parameter list),
Python functions by the parser; lines are counted from the signature to the
closing brace or last statement, blank lines included.
"""

from __future__ import annotations

import argparse
import ast
import re
import subprocess
import sys
from pathlib import Path
from typing import Dict, Iterator, List, Set, Tuple

ROOT = Path(__file__).resolve().parent.parent
NOT_A_FUNCTION = re.compile(r"^\s*(namespace|class|struct|union|enum|extern\s+\"C\")\b")
# Calls that give a file its final name.
RENAMES = re.compile(r"(?<![\w.])(::rename|renameat2?|os\.replace|os\.rename)\s*\(")


def tracked(*patterns: str) -> List[Path]:
    out = subprocess.run(["git", "ls-files", *patterns], cwd=ROOT, capture_output=True,
                         text=True, check=True).stdout
    return [ROOT / line for line in out.splitlines() if (ROOT / line).exists()]


def code_only(text: str) -> str:
    """text with comments, strings, character literals and preprocessor lines
    blanked (newlines kept)."""
    text = re.sub(r"(?m)^[ \t]*#.*$", lambda m: " " * len(m.group(0)), text)
    out, i, n = [], 0, len(text)
    while i < n:
        two = text[i:i + 2]
        if two == "//":
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif two == "/*":
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif text[i] in "\"'":
            q, j = text[i], i + 1
            while j < n and text[j] != q:
                j += 2 if text[j] == "\\" else 1
            out.append(" " * (min(j + 1, n) - i))
            i = j + 1
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def cpp_functions(path: Path) -> Iterator[Tuple[str, int, int]]:
    """(name, first line, length) of each function body in a C++ file."""
    code = code_only(path.read_text())
    stack: List[Tuple[bool, int, str]] = []  # (is a function, start line, name)
    head_start = 0  # where the text before the next brace begins
    for i, c in enumerate(code):
        if c == "{":
            head = code[head_start:i]
            inside = any(f for f, _, _ in stack)
            is_fn = (not inside and ")" in head and not NOT_A_FUNCTION.search(head)
                     and not head.rstrip().endswith("="))
            name = ""
            if is_fn:
                m = re.search(r"([~\w:]+)\s*\([^()]*(\([^()]*\)[^()]*)*\)[^()]*$", head)
                name = m.group(1) if m else "?"
                line = code.count("\n", 0, head_start + len(head) - len(head.lstrip()))
                stack.append((True, line + 1, name))
            else:
                stack.append((False, 0, ""))
            head_start = i + 1
        elif c == "}":
            if stack:
                is_fn, start, name = stack.pop()
                if is_fn:
                    end = code.count("\n", 0, i) + 1
                    yield name, start, end - start + 1
            head_start = i + 1
        elif c == ";":
            head_start = i + 1


def py_functions(path: Path) -> Iterator[Tuple[str, int, int]]:
    tree = ast.parse(path.read_text())
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node.name, node.lineno, node.end_lineno - node.lineno + 1  # type: ignore[operator]


def import_graph(package: Path) -> Dict[str, Set[str]]:
    graph: Dict[str, Set[str]] = {}
    for path in package.glob("*.py"):
        name = f"{package.name}.{path.stem}" if path.stem != "__init__" else package.name
        deps: Set[str] = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
                if node.module == package.name:
                    deps.update(f"{package.name}.{a.name}" for a in node.names)
                elif node.module.startswith(package.name + "."):
                    deps.add(node.module)
            elif isinstance(node, ast.Import):
                deps.update(a.name for a in node.names if a.name.startswith(package.name + "."))
        graph[name] = deps - {name}
    return graph


def cycles(graph: Dict[str, Set[str]]) -> List[List[str]]:
    """Strongly connected components of more than one module (Tarjan)."""
    index: Dict[str, int] = {}
    low: Dict[str, int] = {}
    stack: List[str] = []
    on: Set[str] = set()
    found: List[List[str]] = []

    def visit(v: str) -> None:
        index[v] = low[v] = len(index)
        stack.append(v)
        on.add(v)
        for w in graph.get(v, ()):
            if w not in graph:
                continue
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            scc = []
            while True:
                w = stack.pop()
                on.discard(w)
                scc.append(w)
                if w == v:
                    break
            if len(scc) > 1:
                found.append(sorted(scc))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-function", type=int, default=80)
    parser.add_argument("--max-file", type=int, default=400)
    args = parser.parse_args()
    failed = False
    sources = [p for p in tracked("src") if p.suffix in (".cc", ".h", ".py")]
    for path in sources:
        rel = path.relative_to(ROOT)
        lines = sum(1 for line in path.read_text().splitlines() if line.strip())
        if lines > args.max_file:
            print(f"{rel}: {lines} non-blank lines")
            failed = True
        functions = py_functions(path) if path.suffix == ".py" else cpp_functions(path)
        for name, line, length in functions:
            if length > args.max_function:
                print(f"{rel}:{line}: {name} is {length} lines long")
                failed = True
    for scc in cycles(import_graph(ROOT / "src" / "tarndb")):
        print("import cycle: " + " <-> ".join(scc))
        failed = True
    renames = []
    for path in sources:
        code = code_only(path.read_text()) if path.suffix != ".py" else path.read_text()
        for number, line in enumerate(code.splitlines(), 1):
            if RENAMES.search(line) and not line.lstrip().startswith("#"):
                renames.append(f"{path.relative_to(ROOT)}:{number}")
    print("renames into place: " + (", ".join(renames) or "none"))
    if len({r.split(":")[0] for r in renames}) > 1:
        failed = True
    print("structure: " + ("limits passed" if failed else "ok"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
