"""The documents' link check on small made-up trees (run by ctest as doc_links_check_rules)."""

import pathlib
import tempfile
import unittest

import check_doc_links

API = "# The bridge\n## The drive\n## `P`: drive and servos\n## The drive\n"

# Each case: the files of a documentation folder, and the broken links expected (a piece of
# each message), none for a sound tree.
CASES = [
    ("links to files, pictures and headings, a web address, brackets in code", {
        "README.md": "[api](bridge/API.md) ![w](docs/w.png) <img src=\"docs/w.png\" alt=\"w\">\n"
                     "[d](bridge/API.md#the-drive) [again](bridge/API.md#the-drive-1) "
                     "[p](bridge/API.md#p-drive-and-servos) [web](https://mcap.dev) [top](#top)\n"
                     "`[code](no.md)`\n```\n[fenced](no.md)\n```\n# Top\n",
        "bridge/API.md": API,
        "docs/w.png": "",
     }, []),
    ("a file that is not there", {"README.md": "[c](docs/COMMANDS.md)\n"},
     ["README.md: docs/COMMANDS.md: no such file"]),
    ("a picture that is not there", {"README.md": "<img src=\"docs/phone.png\" alt=\"p\">\n"},
     ["README.md: docs/phone.png: no such file"]),
    ("a heading that is not there", {"README.md": "[d](bridge/API.md#the-drives)\n", "bridge/API.md": API},
     ["no heading #the-drives in bridge/API.md"]),
    ("a heading of the same page that is not there", {"README.md": "[s](#safety)\n# Driving\n"},
     ["README.md: #safety: no heading #safety"]),
    ("a link out of the folder", {"README.md": "[src](../net/tcp_endpoint.h)\n"},
     ["README.md: ../net/tcp_endpoint.h: leads outside"]),
    ("links from a folder below, relative to it", {
        "docs/SECURITY.md": "[ok](../bridge/API.md) [wrong](bridge/API.md)\n",
        "bridge/API.md": API,
     }, ["docs/SECURITY.md: bridge/API.md: no such file"]),
]


class DocLinks(unittest.TestCase):
    def test_cases(self):
        for name, files, expected in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as scratch:
                root = pathlib.Path(scratch) / "doc"
                for path, text in files.items():
                    (root / path).parent.mkdir(parents=True, exist_ok=True)
                    (root / path).write_text(text, encoding="utf-8")
                problems = check_doc_links.broken_links(root)
                self.assertEqual(len(problems), len(expected), problems)
                for problem, piece in zip(problems, expected):
                    self.assertIn(piece, problem)


if __name__ == "__main__":
    unittest.main()
