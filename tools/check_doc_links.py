#!/usr/bin/env python3
"""Checks the relative links of every Markdown file under a documentation folder.

    check_doc_links.py DIR

Every link ([text](target) or <img src="target">) that names no scheme must lead to a file
under DIR, and a #fragment into a Markdown file must name one of its headings (as GitHub
spells the anchors). DIR is the installed documentation, so a link to a file that the package
leaves out (or that is not there at all) fails. Prints each broken link and ends with 1 when
there is one.
"""
import pathlib
import re
import sys

LINK = re.compile(r'\]\(([^)\s]+)(?:\s+"[^"]*")?\)|<img\s[^>]*src="([^"]+)"')
FENCE = re.compile(r'^```.*?^```', re.S | re.M)
CODE_SPAN = re.compile(r'`[^`\n]*`')
HEADING = re.compile(r'^#{1,6}\s+(.*?)\s*#*\s*$', re.M)


def prose(text):
    """The text without code blocks and code spans, where brackets are not links."""
    return CODE_SPAN.sub('', FENCE.sub('', text))


def anchors(text):
    """The anchors of a Markdown file's headings: lower case, punctuation dropped, spaces as
    hyphens, a repeated one numbered."""
    seen = {}
    result = set()
    for heading in HEADING.findall(FENCE.sub('', text)):
        slug = re.sub(r'[^\w\- ]', '', heading.lower()).replace(' ', '-')
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        result.add(slug if count == 0 else f'{slug}-{count}')
    return result


def broken_links(root):
    root = root.resolve()
    problems = []
    for page in sorted(root.rglob('*.md')):
        text = page.read_text(encoding='utf-8')
        for match in LINK.finditer(prose(text)):
            target = match.group(1) or match.group(2)
            if re.match(r'[a-zA-Z][a-zA-Z0-9+.-]*:', target):
                continue  # a web address, mailto: and the like
            path, _, fragment = target.partition('#')
            where = f'{page.relative_to(root)}: {target}'
            dest = (page.parent / path).resolve() if path else page
            if not dest.is_relative_to(root):
                problems.append(f'{where}: leads outside {root}')
            elif not dest.is_file():
                problems.append(f'{where}: no such file')
            elif fragment and dest.suffix == '.md' and fragment not in anchors(dest.read_text(encoding='utf-8')):
                problems.append(f'{where}: no heading #{fragment} in {dest.relative_to(root)}')
    return problems


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    problems = broken_links(pathlib.Path(sys.argv[1]))
    for problem in problems:
        print(f'broken link: {problem}', file=sys.stderr)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
