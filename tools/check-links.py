#!/usr/bin/env python3
"""Checks the relative links and images of README.md and docs/*.md: each must name a file of
the repository and, where it has a #fragment, a heading of that file (the anchor GitHub makes
of it). Links with a scheme (https:, mailto:) are left alone. Prints every broken link with its
file and line and exits 1 when there is one.

    tools/check-links.py [ROOT]"""
import functools
import os
import re
import sys
import urllib.parse

# [text](target "title") and ![alt](target); <img src="target">; [label]: target
INLINE = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
HTML_SRC = re.compile(r"<(?:img|a)\b[^>]*\b(?:src|href)=\"([^\"]+)\"", re.IGNORECASE)
DEFINITION = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$")
CODE_SPAN = re.compile(r"(`+)(?:(?!\1)[\s\S])+?\1")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^ {0,3}(```|~~~)")


def prose_lines(path):
    """The lines of a Markdown file outside fenced and indented code, with their numbers."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    fence = None
    previous_blank = True
    in_indented = False
    for number, line in enumerate(lines, 1):
        match = FENCE.match(line)
        if fence:
            if match and match.group(1) == fence:
                fence = None
            continue
        if match:
            fence = match.group(1)
            continue
        blank = not line.strip()
        # An indented block starts after a blank line (a list item's continuation does not).
        if line.startswith("    ") and (previous_blank or in_indented) and not blank:
            in_indented = True
        elif not blank:
            in_indented = False
        if not in_indented:
            yield number, line
        previous_blank = blank


def anchor(heading):
    """The anchor GitHub gives a heading: its text lower-case, without markup and punctuation,
    spaces as hyphens."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link keeps its text
    text = re.sub(r"<[^>]+>", "", text)
    text = text.replace("`", "").replace("*", "").lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


@functools.cache
def anchors(path):
    """The anchors of a file's headings; a repeated heading's get -1, -2 and so on."""
    seen = {}
    found = set()
    for _, line in prose_lines(path):
        match = HEADING.match(line)
        if not match:
            continue
        base = anchor(match.group(2))
        count = seen.get(base, 0)
        seen[base] = count + 1
        found.add(base if count == 0 else f"{base}-{count}")
    return found


def paragraphs(path):
    """The prose of a file as paragraphs, since a link's text may wrap: (first line, text)."""
    block = []
    for number, line in prose_lines(path):
        if block and (not line.strip() or number != block[-1][0] + 1):
            yield block[0][0], "\n".join(text for _, text in block)
            block = []
        if line.strip():
            block.append((number, line))
    if block:
        yield block[0][0], "\n".join(text for _, text in block)


def targets(first, paragraph):
    """The link targets of a paragraph, each with the number of its line."""
    # Code spans keep their line breaks, so that the lines after them keep their numbers.
    text = CODE_SPAN.sub(lambda span: "\n" * span.group(0).count("\n"), paragraph)
    for pattern in (INLINE, HTML_SRC):
        for match in pattern.finditer(text):
            yield first + text.count("\n", 0, match.start(1)), match.group(1)
    for offset, line in enumerate(text.split("\n")):
        match = DEFINITION.match(line)
        if match:
            yield first + offset, match.group(1)


def links(path):
    for first, paragraph in paragraphs(path):
        yield from targets(first, paragraph)


def broken_links(root, page):
    source = os.path.join(root, page)
    for number, target in links(source):
            if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target):
                continue  # https:, mailto: and the like
            path, _, fragment = target.partition("#")
            path = urllib.parse.unquote(path)
            resolved = os.path.normpath(os.path.join(os.path.dirname(source), path)) if path \
                else source
            if not os.path.realpath(resolved).startswith(os.path.realpath(root) + os.sep):
                yield number, target, "points outside the repository"
            elif not os.path.exists(resolved):
                yield number, target, "no such file"
            elif fragment and (not resolved.endswith(".md") or
                               urllib.parse.unquote(fragment) not in anchors(resolved)):
                yield number, target, "no such heading"


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), ".."))
    docs = os.path.join(root, "docs")
    pages = ["README.md"] + sorted(os.path.join("docs", name) for name in os.listdir(docs)
                                   if name.endswith(".md"))
    count = 0
    broken = 0
    for page in pages:
        for number, target, why in broken_links(root, page):
            print(f"{page}:{number}: {target}: {why}")
            broken += 1
        count += sum(1 for _ in links(os.path.join(root, page)))
    if broken:
        print(f"== {broken} broken of {count} links in {len(pages)} pages")
        return 1
    print(f"== links: {count} links in {len(pages)} pages resolve")
    return 0


if __name__ == "__main__":
    sys.exit(main())
