"""The layering check on small made-up trees (run by ctest as layering_check_rules)."""

import unittest

import check_layering as layering

ROOT = "/src"


def tree(files, manifest):
    """files: path under ROOT -> text; manifest: (name, type, sources, links) rows."""
    paths = {f"{ROOT}/{path}": text for path, text in files.items()}
    lines = ["\t".join([name, kind, ";".join(f"{ROOT}/{s}" for s in sources), ";".join(links)])
             for name, kind, sources, links in manifest]
    targets = layering.parse_manifest("\n".join(lines) + "\n")
    return layering.check(targets, ROOT, read=lambda p: paths[p], exists=lambda p: p in paths)


# A sound little system: a wire library, a control state on it, a program on both, an executable.
FILES = {
    "protocol/wire.h": "#pragma once\n",
    "protocol/framing.h": '#include "protocol/wire.h"\n',
    "protocol/framing.cpp": '#include "protocol/framing.h"\n',
    "app/state.h": '#include "protocol/wire.h"\n',
    "app/state.cpp": '#include "app/state.h"\n',
    "app/loop.cpp": '#include "app/state.h"\n#include "protocol/framing.h"\n#include <vector>\n',
    "app/main.cpp": '#include "app/state.h"\n',
    "platform/platform.h": "#pragma once\n",
    "tests/helper.cpp": '#include "app/state.h"\n#include "tests/helper.h"\n',
    "tests/helper.h": "#pragma once\n",
}
SOUND = [
    ("wire", "STATIC_LIBRARY", ["protocol/framing.cpp", "protocol/wire.h"], []),
    ("state", "STATIC_LIBRARY", ["app/state.cpp"], ["wire"]),
    ("program", "STATIC_LIBRARY", ["app/loop.cpp"], ["state", "wire", "Threads::Threads"]),
    ("exe", "EXECUTABLE", ["app/main.cpp"], ["program"]),
    ("helper", "STATIC_LIBRARY", ["tests/helper.cpp"], []),
]


def changed(name, **fields):
    rows = []
    for row in SOUND:
        if row[0] == name:
            row = (row[0], row[1], fields.get("sources", row[2]), fields.get("links", row[3]))
        rows.append(row)
    return rows


class LayeringCheck(unittest.TestCase):
    def test_faults(self):
        rows = [
            # (what, extra files, manifest, the fault's words; None: sound)
            ("sound tree", {}, SOUND, None),
            ("reached through a linked library", {}, changed("program", links=["state"]), None),
            ("header of a library not linked", {}, changed("program", links=[]),
             "program: app/loop.cpp includes app/state.h of state, which program does not link"),
            ("header of a header not linked", {}, changed("state", links=[]),
             "state: app/state.h includes protocol/wire.h of wire, which state does not link"),
            ("cycle", {}, changed("wire", links=["program"]),
             "the libraries link in a cycle: program -> state -> wire -> program"),
            ("linked twice", {}, changed("program", links=["state", "wire", "state"]), "program links state twice"),
            ("source in two targets", {}, changed("exe", sources=["app/main.cpp", "protocol/framing.cpp"]),
             "protocol/framing.cpp is compiled into both"),
            ("header that no library holds", {"app/loose.h": "", "app/loop.cpp": '#include "app/loose.h"\n'}, SOUND,
             "program: app/loop.cpp includes app/loose.h, which no library holds"),
            ("header held twice", {}, changed("state", sources=["app/state.cpp", "protocol/wire.h"], links=["wire"]),
             "protocol/wire.h is held by both"),
            ("test folders are not checked", {"tests/helper.cpp": '#include "app/loop.h"\n#include "app/state.h"\n'},
             SOUND, None),
        ]
        for what, extra, manifest, fault in rows:
            with self.subTest(what):
                errors = tree({**FILES, **extra}, manifest)
                if fault is None:
                    self.assertEqual(errors, [])
                else:
                    self.assertTrue(any(fault in e for e in errors), errors)

    def test_drawn_graph(self):
        targets = layering.parse_manifest("\n".join(
            "\t".join([name, kind, ";".join(f"{ROOT}/{s}" for s in sources), ";".join(links)])
            for name, kind, sources, links in SOUND) + "\n")
        sound = "wire ->\nstate -> wire\nprogram -> state wire  # and threads\nexe -> program\n"
        rows = [
            # (what, the page's graph; None: no markers, the fault's words; None: sound)
            ("the build's graph", sound, None),
            ("remarks and external libraries are not links", sound.replace("exe -> program", "exe -> program # GTK 3"),
             None),
            ("no graph on the page", None, "the page has no link graph"),
            ("a library left out", sound.replace("state -> wire\n", ""), "the page does not draw state"),
            ("a library the build does not have", sound + "old ->\n", "the page draws old, which the build does not"),
            ("a link missing", sound.replace("program -> state wire", "program -> state"),
             "the page draws program with other links: not drawn wire; not built -"),
            ("a link too many", sound.replace("exe -> program", "exe -> program wire"),
             "the page draws exe with other links: not drawn -; not built wire"),
            ("test folders are not drawn", sound + "helper ->\n", "the page draws helper"),
        ]
        for what, graph, fault in rows:
            with self.subTest(what):
                page = None if graph is None else f"x\n{layering.DOC_BEGIN}\n```\n{graph}```\n{layering.DOC_END}\n"
                errors = layering.check_doc(targets, None if page is None else layering.parse_doc_graph(page), ROOT)
                if fault is None:
                    self.assertEqual(errors, [])
                else:
                    self.assertTrue(any(fault in e for e in errors), errors)

    def test_folder_markers_are_not_links(self):
        text = "a\tSTATIC_LIBRARY\t\t::@(0x1);b;::@\nb\tSTATIC_LIBRARY\t\t\n"
        self.assertEqual(layering.parse_manifest(text)["a"].links, ["b"])


if __name__ == "__main__":
    unittest.main()
