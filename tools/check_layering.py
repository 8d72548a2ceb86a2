#!/usr/bin/env python3
"""Checks the build's layering against the sources.

    check_layering.py BUILD/layering.txt SOURCE_DIR [--doc docs/ARCHITECTURE.md]

layering.txt (written by tools/layering.cmake) has one line per target: name, type, sources and
linked libraries, separated by tabs (lists by ';'). The check fails, naming each fault, when
  - the link graph of the project's targets has a cycle;
  - a target names a library twice among its links;
  - a source file (.cpp) is compiled into two targets;
  - a header is held by two libraries;
  - a source of the system, the client, the simulator or the bridge (tests, benchmarks and fuzz
    targets aside) includes a header of the tree that no library holds, or one of a library that
    its target does not link, directly or through the libraries it links.
A library holds the headers it lists and the header beside each of its .cpp files (x.h for x.cpp).
With --doc it also fails when the link graph that the page draws (the lines "target -> links"
between its two link-graph markers) is not the build's: a target of the system missing on either
side, or other links than the target's links to the project's own targets.
"""

import os
import re
import sys
from dataclasses import dataclass, field

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
# Folders whose targets only use the system; their includes are not checked.
UNCHECKED_FOLDERS = ("tests", "bench", "fuzz")


@dataclass
class Target:
    name: str
    type: str
    sources: list = field(default_factory=list)
    links: list = field(default_factory=list)


def split_list(text):
    return [item for item in text.split(";") if item]


def parse_manifest(text):
    targets = {}
    for line in text.splitlines():
        if not line.strip():
            continue
        parts = line.split("\t")
        parts += [""] * (4 - len(parts))
        name, kind, sources, links = parts[:4]
        # Links added from another folder carry CMake's folder markers "::@(...)" and "::@".
        link_names = [link for link in split_list(links) if not link.startswith("::@")]
        targets[name] = Target(name, kind, split_list(sources), link_names)
    return targets


def find_cycle(targets):
    """A cycle of the link graph as a list of names, or None."""
    state = {}  # name -> 1 while on the path, 2 when done
    path = []

    def visit(name):
        state[name] = 1
        path.append(name)
        for link in targets[name].links:
            if link not in targets:
                continue
            if state.get(link) == 1:
                return path[path.index(link):] + [link]
            if link not in state:
                cycle = visit(link)
                if cycle:
                    return cycle
        path.pop()
        state[name] = 2
        return None

    for name in sorted(targets):
        if name not in state:
            cycle = visit(name)
            if cycle:
                return cycle
    return None


def closure(targets, name):
    """The target and every project target it links, directly or not."""
    seen = {name}
    stack = [name]
    while stack:
        for link in targets[stack.pop()].links:
            if link in targets and link not in seen:
                seen.add(link)
                stack.append(link)
    return seen


def relative(path, source_dir):
    return os.path.relpath(path, source_dir)


def is_checked(target, source_dir):
    for source in target.sources:
        top = relative(source, source_dir).split(os.sep)[0]
        if top in UNCHECKED_FOLDERS or top == "..":
            return False
    return bool(target.sources)


def header_owners(targets, exists, errors):
    owners = {}
    for target in targets.values():
        held = set()
        for source in target.sources:
            root, extension = os.path.splitext(source)
            if extension in (".h", ".hpp"):
                held.add(os.path.normpath(source))
            elif extension in (".cpp", ".cc") and exists(root + ".h"):
                held.add(os.path.normpath(root + ".h"))
        for header in sorted(held):
            if header in owners and owners[header] != target.name:
                errors.append(f"{header} is held by both {owners[header]} and {target.name}")
            else:
                owners[header] = target.name
    return owners


def check(targets, source_dir, read=None, exists=None):
    """The list of faults; empty when the layering is sound."""
    read = read or (lambda path: open(path, encoding="utf-8", errors="replace").read())
    exists = exists or os.path.isfile
    source_dir = os.path.normpath(source_dir)
    errors = []

    cycle = find_cycle(targets)
    if cycle:
        errors.append("the libraries link in a cycle: " + " -> ".join(cycle))

    for target in targets.values():
        seen = set()
        for link in target.links:
            if link in seen:
                errors.append(f"{target.name} links {link} twice")
            seen.add(link)

    compiled = {}
    for target in targets.values():
        for source in target.sources:
            if os.path.splitext(source)[1] not in (".cpp", ".cc", ".c"):
                continue
            source = os.path.normpath(source)
            if source in compiled and compiled[source] != target.name:
                errors.append(f"{relative(source, source_dir)} is compiled into both {compiled[source]} and "
                              f"{target.name}")
            compiled.setdefault(source, target.name)

    owners = header_owners(targets, exists, errors)
    if cycle:
        return errors  # the reach of a library is not defined on a cycle
    for target in sorted(targets.values(), key=lambda t: t.name):
        if not is_checked(target, source_dir):
            continue
        reach = closure(targets, target.name)
        files = sorted({os.path.normpath(s) for s in target.sources} |
                       {h for h, owner in owners.items() if owner == target.name})
        for path in files:
            if not exists(path):
                continue
            for included in INCLUDE.findall(read(path)):
                candidates = [os.path.join(source_dir, included), os.path.join(os.path.dirname(path), included)]
                header = next((os.path.normpath(c) for c in candidates if exists(c)), None)
                if header is None or not header.startswith(source_dir + os.sep):
                    continue
                owner = owners.get(header)
                where = relative(path, source_dir)
                if owner is None:
                    errors.append(f"{target.name}: {where} includes {included}, which no library holds")
                elif owner not in reach:
                    errors.append(f"{target.name}: {where} includes {included} of {owner}, "
                                  f"which {target.name} does not link")
    return errors


DOC_BEGIN = "<!-- link graph: begin -->"
DOC_END = "<!-- link graph: end -->"


def parse_doc_graph(text):
    """The graph a page draws: target -> its links, from "name -> a b c" lines between the markers
    (text after '#' is a remark). None when the page has no markers."""
    if DOC_BEGIN not in text or DOC_END not in text:
        return None
    block = text.split(DOC_BEGIN, 1)[1].split(DOC_END, 1)[0]
    graph = {}
    for line in block.splitlines():
        line = line.split("#", 1)[0].strip()
        if "->" not in line:
            continue
        name, links = line.split("->", 1)
        graph.setdefault(name.strip(), []).extend(links.split())
    return graph


def check_doc(targets, graph, source_dir):
    """The differences between the drawn graph and the build's, for the system's targets (those
    of tests, benchmarks and fuzz targets are not drawn)."""
    source_dir = os.path.normpath(source_dir)
    if graph is None:
        return ["the page has no link graph between its markers"]
    drawn_targets = {name: t for name, t in targets.items()
                     if not t.sources or is_checked(t, source_dir)}
    errors = []
    for name in sorted(set(drawn_targets) - set(graph)):
        errors.append(f"the page does not draw {name}")
    for name in sorted(set(graph) - set(drawn_targets)):
        errors.append(f"the page draws {name}, which the build does not have")
    for name in sorted(set(graph) & set(drawn_targets)):
        built = {link for link in drawn_targets[name].links if link in targets}
        drawn = set(graph[name])
        if drawn != built:
            missing = " ".join(sorted(built - drawn)) or "-"
            extra = " ".join(sorted(drawn - built)) or "-"
            errors.append(f"the page draws {name} with other links: not drawn {missing}; not built {extra}")
    return errors


def main(argv):
    doc = None
    if len(argv) == 5 and argv[3] == "--doc":
        doc = argv[4]
        argv = argv[:3]
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as manifest:
        targets = parse_manifest(manifest.read())
    errors = check(targets, argv[2])
    if doc is not None:
        with open(doc, encoding="utf-8") as page:
            errors += [f"{os.path.basename(doc)}: {e}" for e in check_doc(targets, parse_doc_graph(page.read()), argv[2])]
    for error in errors:
        print(error)
    checked = sum(1 for t in targets.values() if is_checked(t, os.path.normpath(argv[2])))
    print(f"{len(targets)} targets, {checked} checked against their includes: "
          f"{'sound' if not errors else str(len(errors)) + ' faults'}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
