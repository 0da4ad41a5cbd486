#!/usr/bin/python3
"""The project as a newcomer meets it: a README short enough to read, every
link of the README and of docs/ leading to a file and a heading that exist,
and the files of setup/ calling each other one way only, without a circle.

Usage: docs_test.py SOURCE_DIR
"""
import glob
import os
import re
import sys
import unittest

SOURCE = sys.argv[1]
LINK = re.compile(r"\]\(([^)\s]+)\)")
DEFINITION = re.compile(r"^(?!static\b)[A-Za-z_][\w \*]*?\b([A-Z]\w+)\([^;]*$", re.MULTILINE)


def slug(heading):
    """A heading's anchor, as the usual Markdown renderers make it."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(path):
    with open(path, encoding="utf-8") as page:
        return {slug(line.lstrip("#")) for line in page if line.startswith("#")}


def pages():
    return [os.path.join(SOURCE, "README.md")] + sorted(glob.glob(os.path.join(SOURCE, "docs", "*.md")))


def call_graph():
    """For each file of setup/, the other files whose functions it calls."""
    texts = {}
    for path in glob.glob(os.path.join(SOURCE, "setup", "*.cpp")):
        with open(path, encoding="utf-8") as source:
            texts[os.path.basename(path)] = source.read()
    owner = {name: source for source, text in texts.items() for name in DEFINITION.findall(text)}
    graph = {}
    for source, text in texts.items():
        called = set(re.findall(r"\b([A-Z]\w+)\(", text))
        graph[source] = {owner[name] for name in called if name in owner and owner[name] != source}
    return graph


def circle(graph):
    """A list of files that call round in a circle, or None."""
    state = {}

    def visit(node, path):
        state[node] = "open"
        for target in sorted(graph[node]):
            if state.get(target) == "open":
                return path[path.index(target):] + [target]
            if target not in state:
                found = visit(target, path + [target])
                if found:
                    return found
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node, [node])
            if found:
                return found
    return None


class Documentation(unittest.TestCase):
    def test_the_readme_is_short(self):
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as readme:
            self.assertLess(len(readme.read().splitlines()), 200)

    def test_every_link_leads_somewhere(self):
        for page in pages():
            with open(page, encoding="utf-8") as text:
                links = LINK.findall(text.read())
            for link in links:
                if re.match(r"[a-z]+:", link):
                    continue
                with self.subTest(page=os.path.relpath(page, SOURCE), link=link):
                    target, _, anchor = link.partition("#")
                    path = os.path.normpath(os.path.join(os.path.dirname(page), target)) if target else page
                    self.assertTrue(os.path.exists(path), path)
                    if anchor:
                        self.assertIn(anchor, anchors(path))


class Layout(unittest.TestCase):
    def test_setup_calls_go_one_way(self):
        graph = call_graph()
        self.assertIn("files.cpp", graph["install.cpp"])
        self.assertIsNone(circle(graph))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
