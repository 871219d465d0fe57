#!/usr/bin/env python3
"""Checks every include under VornKit/ against the layer map of docs/ARCHITECTURE.md.

A folder may include from itself, from the folders its row names, and from what those name in
turn. Fails (exit 1, one line per fault) on an include the map does not allow, on an include of
tools/, tests/ or bench/ code, and on a folder with sources but no row.

Usage: check_layers.py <source root>
"""
import os
import re
import sys


def read_map(path):
    rows, inside = {}, False
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if line == "```layers":
            inside = True
        elif inside and line == "```":
            break
        elif inside and line.strip():
            folder, _, deps = line.partition(":")
            rows[folder.strip()] = deps.split()
    return rows


def closure(rows, folder):
    seen, todo = set(), list(rows.get(folder, []))
    while todo:
        dep = todo.pop()
        if dep not in seen:
            seen.add(dep)
            todo.extend(rows.get(dep, []))
    return seen


def included_folder(path, known):
    """The map folder of an included path "VornKit/<...>/<File>.h" (its longest known prefix)."""
    parts = path.split("/")[1:-1]
    for n in range(len(parts), 0, -1):
        candidate = "/".join(parts[:n])
        if candidate in known:
            return candidate
    return "/".join(parts)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    rows = read_map(os.path.join(root, "docs", "ARCHITECTURE.md"))
    if not rows:
        print("docs/ARCHITECTURE.md has no layers block")
        return 1
    include = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)
    faults = []
    base = os.path.join(root, "VornKit")
    for directory, _, files in sorted(os.walk(base)):
        sources = sorted(f for f in files if f.endswith((".h", ".cpp")))
        folder = os.path.relpath(directory, base)
        if folder == "." or not sources:
            continue
        if folder not in rows:
            faults.append(f"VornKit/{folder}: no row in the layer map")
            continue
        allowed = closure(rows, folder) | {folder}
        for name in sources:
            text = open(os.path.join(directory, name), encoding="utf-8").read()
            for target in include.findall(text):
                where = f"VornKit/{folder}/{name}"
                if target.startswith(("refserver/", "tests/", "Support/", "bench/", "tools/")):
                    faults.append(f"{where}: includes {target}, which is not framework code")
                elif target.startswith("VornKit/") and target != "VornKit/Export.h":
                    owner = included_folder(target, rows)
                    if owner not in allowed:
                        faults.append(f"{where}: includes {target} ({owner} is not below "
                                      f"{folder} in the layer map)")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
