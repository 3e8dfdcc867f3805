#!/usr/bin/python3
"""Checks the shape of the source tree:

- the includes between source folders form no loop;
- the protocol engine (client/engine) uses nothing of the OS and no folder above it;
- no function in client/, ipseccfg/ or tools/ is longer than 60 lines (but the unrolled MD5
  rounds), measured with Universal Ctags when it is installed.

Usage: scripts/check_structure.py [repository root]; exit 0 when everything holds, 1 with
what does not, 77 (skipped) for the function lengths alone when ctags is missing.
"""
import os
import re
import shutil
import subprocess
import sys

FOLDERS = [
    "include",
    "client/crypto", "client/protocol", "client/engine", "client/platform",
    "client/connection", "client/api",
    "ipseccfg/store", "ipseccfg/policy", "ipseccfg/ops", "ipseccfg/ui",
    "tools/dravolinctl",
]
# What the engine may use: the protocol code and what that rests on.
ENGINE_MAY_USE = {"client/engine", "client/protocol", "client/crypto", "include"}
# Standard headers that would bring files, threads, clocks or the console into the engine.
ENGINE_FORBIDDEN = {"fstream", "iostream", "cstdio", "thread", "mutex", "condition_variable",
                    "future", "chrono", "filesystem", "ctime"}
LONGEST = 60
LONG_ALLOWED = {("client/crypto/md5.cpp", "processBlocks")}  # the unrolled rounds
SOURCE = re.compile(r"\.(c|cpp|h)$")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def sources(root, folder):
    base = os.path.join(root, folder)
    if not os.path.isdir(base):
        return []
    return sorted(os.path.join(base, f) for f in os.listdir(base) if SOURCE.search(f))


def folder_graph(root):
    home = {}
    for folder in FOLDERS:
        for path in sources(root, folder):
            home.setdefault(os.path.basename(path), folder)
    edges = {folder: set() for folder in FOLDERS}
    system = {folder: [] for folder in FOLDERS}
    for folder in FOLDERS:
        for path in sources(root, folder):
            with open(path, encoding="utf-8", errors="replace") as f:
                for kind, name in INCLUDE.findall(f.read()):
                    if kind == "<":
                        system[folder].append((os.path.relpath(path, root), name))
                        continue
                    target = home.get(name)
                    if "/" in name:  # a path relative to the including file
                        target = os.path.relpath(os.path.dirname(os.path.normpath(
                            os.path.join(os.path.dirname(path), name))), root)
                    if target in edges and target != folder:
                        edges[folder].add(target)
    return edges, system


def loops(edges):
    """The folders that can reach themselves, as loops in the include graph."""
    found = []
    for start in edges:
        stack, seen = [(start, [start])], set()
        while stack:
            node, path = stack.pop()
            for nxt in edges[node]:
                if nxt == start:
                    found.append(" -> ".join(path + [start]))
                elif nxt not in seen:
                    seen.add(nxt)
                    stack.append((nxt, path + [nxt]))
    return sorted(set(found))


def long_functions(root):
    ctags = shutil.which("ctags")
    if not ctags:
        return None
    out = subprocess.run([ctags, "--fields=+ne", "--c++-kinds=f", "--c-kinds=f", "-o", "-", "-R",
                          "client", "ipseccfg", "tools"], cwd=root, capture_output=True,
                         text=True, check=True).stdout
    found = []
    for line in out.splitlines():
        parts = line.split("\t")
        fields = dict(p.split(":", 1) for p in parts[3:] if ":" in p)
        if "line" in fields and "end" in fields:
            length = int(fields["end"]) - int(fields["line"]) + 1
            if length > LONGEST and (parts[1], parts[0]) not in LONG_ALLOWED:
                found.append(f"{parts[1]}: {parts[0]} is {length} lines")
    return sorted(found)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    problems = []
    edges, system = folder_graph(root)
    problems += [f"include loop: {loop}" for loop in loops(edges)]
    problems += [f"client/engine includes from {folder}"
                 for folder in sorted(edges["client/engine"] - ENGINE_MAY_USE)]
    problems += [f"{path} includes <{name}>" for path, name in system["client/engine"]
                 if name in ENGINE_FORBIDDEN or name.endswith(".h")]
    long = long_functions(root)
    problems += long or []
    for problem in problems:
        print(problem)
    for folder in FOLDERS:
        if edges[folder]:
            print(f"{folder} uses {', '.join(sorted(edges[folder]))}")
    if problems:
        return 1
    if long is None:
        print("function lengths not measured: ctags (universal-ctags) is not installed")
        return 77
    print(f"no include loop; the engine uses no OS code; no function over {LONGEST} lines")
    return 0


if __name__ == "__main__":
    sys.exit(main())
