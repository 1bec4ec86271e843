#!/usr/bin/env python3
"""Checks the shape of the project's own sources: no #include cycle among
format/, launcher/ and tools/ (following "..." includes, which name files from
the repository's root or beside the including file), and no C/C++ source file
over 500 lines, and no file of a floor (format/, launcher/base/, launcher/platform/) including one
above it. Prints each offender on one line; exits 1 if there is any.

usage: check-tree.py [ROOT]
"""
import os
import re
import sys

FOLDERS = ("format", "launcher", "tools")
SUFFIXES = (".c", ".cc", ".cpp", ".h", ".hpp", ".inc")
MAX_LINES = 500
# Floors: a file below a folder here may include, of the project's files,
# only those below the folders given (format/ is pure; the launcher's base
# holds what every room of it uses, and depends on no room).
FLOORS = {
    "format/": ("format/",),
    "launcher/base/": ("format/", "launcher/base/"),
    "launcher/platform/": ("format/", "launcher/base/", "launcher/platform/"),
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def sources(root):
    """Paths relative to root, with / separators, in a stable order."""
    found = []
    for folder in FOLDERS:
        for base, dirs, files in os.walk(os.path.join(root, folder)):
            dirs.sort()
            for name in sorted(files):
                if name.endswith(SUFFIXES):
                    found.append(os.path.relpath(os.path.join(base, name), root).replace(os.sep, "/"))
    return found


def includes(root, path, known):
    """The project files that path includes: by a root-relative name first,
    then beside the file. Includes of anything else (system, third party,
    generated) are not part of the graph."""
    out = []
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        for line in f:
            m = INCLUDE.match(line)
            if not m:
                continue
            name = m.group(1)
            beside = os.path.normpath(os.path.join(os.path.dirname(path), name)).replace(os.sep, "/")
            if name in known:
                out.append(name)
            elif beside in known:
                out.append(beside)
    return out


def tangles(graph):
    """The groups of units that reach one another through includes (the
    strongly connected components of more than one unit), each sorted: every
    cycle lies inside one, so a group names all the files to untangle."""
    index, low, stack, on_stack, groups = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in graph.get(node, ()):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == node:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return sorted(groups)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    files = sources(root)
    known = set(files)
    graph = {}
    offenders = []
    for path in files:
        graph[path] = includes(root, path, known)
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            lines = sum(1 for _ in f)
        if lines > MAX_LINES:
            offenders.append(f"{path}: {lines} lines, over {MAX_LINES}")
    # A .cpp including its own header is no cycle; a cycle runs through
    # headers, or through the pairs of files a header stands for.
    pairs = {}
    for path, deps in graph.items():
        unit = os.path.splitext(path)[0]
        pairs.setdefault(unit, set()).update(os.path.splitext(d)[0] for d in deps)
    for unit in pairs:
        pairs[unit].discard(unit)
    for path, deps in sorted(graph.items()):
        for floor, allowed in FLOORS.items():
            if path.startswith(floor):
                for dep in deps:
                    if not dep.startswith(allowed):
                        offenders.append(f"{path} includes {dep}, above its floor {floor}")
    for group in tangles({u: sorted(d) for u, d in pairs.items()}):
        offenders.append("include cycle among: " + ", ".join(group))
    for line in offenders:
        print(line)
    sys.exit(1 if offenders else 0)


if __name__ == "__main__":
    main()
