#!/usr/bin/env python3
"""Checks the project's documents as a reader meets them.

Every relative link in README.md and docs/*.md leads to a file that is there, and a link with
a #fragment to a heading of that file; every document in docs/ is listed in the README; and
the README's test command is what .ci/run runs, step by step and in order, while its example
command shares the test command's set-up and build and runs a script that is there.

    check_docs.py <source dir>
"""
import re
import sys
from pathlib import Path

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
SETUP = "bash tools/install-deps.sh"


def prose_lines(text):
    """The lines of a Markdown text outside code blocks, with inline code removed."""
    fenced = False
    for number, line in enumerate(text.splitlines(), 1):
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        if fenced or line.startswith("    "):
            continue
        yield number, re.sub(r"`[^`]*`", "", line)


def link_faults(document, root):
    faults = []
    raw_lines = document.read_text(encoding="utf-8").splitlines()
    for number, _ in prose_lines(document.read_text(encoding="utf-8")):
        # Links are read from the raw line, so that a link whose text is code still counts.
        for target in LINK.findall(raw_lines[number - 1]):
            if re.match(r"[a-z][a-z0-9+.-]*:", target):
                continue  # an address on the web or mail: not the documents' own
            path_part, _, fragment = target.partition("#")
            linked = (document.parent / path_part).resolve() if path_part else document
            where = f"{document.relative_to(root)}:{number}: {target}"
            if not linked.exists():
                faults.append(f"{where}: no such file")
            elif fragment and linked.suffix == ".md" and fragment not in heading_anchors(linked):
                faults.append(f"{where}: no heading #{fragment} in {linked.name}")
    return faults


def heading_anchors(path):
    # Inline code in a heading keeps its text in the fragment ("`kvr_verify` in pipelines").
    seen = {}
    result = set()
    fenced = False
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        heading = None if fenced else re.match(r"#{1,6} (.*)", line)
        if not heading:
            continue
        slug = re.sub(r"[^\w\- ]", "", heading.group(1).strip().lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        result.add(slug if count == 0 else f"{slug}-{count}")
    return result


def commands(readme):
    """The README's commands that start from a fresh machine: its indented set-up lines."""
    return [line.strip() for line in readme.splitlines()
            if line.startswith("    " + SETUP)]


def ci_steps(ci_script):
    """The commands .ci/run runs, without the environment assignments in front of them."""
    steps = []
    for line in ci_script.splitlines():
        line = line.strip()
        while re.match(r"[A-Z_]+=\S*(\s|$)", line):
            line = line.split(None, 1)[1] if " " in line else ""
        if line and not line.startswith("#"):
            steps.append(line)
    return steps


def command_faults(root):
    readme = (root / "README.md").read_text(encoding="utf-8")
    found = commands(readme)
    if len(found) != 2:
        return [f"README.md: {len(found)} commands start with '{SETUP}', not the two expected"]
    test = next((c for c in found if " && ctest " in c), None)
    example = next((c for c in found if c is not test), None)
    if test is None:
        return ["README.md: neither command runs ctest"]
    faults = []
    remaining = ci_steps((root / ".ci" / "run").read_text(encoding="utf-8"))
    for step in test.split(" && "):
        # .ci/run may add options (warnings as errors), never run another command in its place.
        index = next((i for i, line in enumerate(remaining)
                      if line == step or line.startswith(step + " ")), None)
        if index is None:
            faults.append(f"README.md's test command runs '{step}', .ci/run does not (in order)")
            break
        remaining = remaining[index + 1:]
    example_steps = example.split(" && ")
    test_steps = test.split(" && ")
    if example_steps[:-1] != test_steps[:-1]:
        faults.append("README.md: the example command does not set up and build as the test command does")
    script = example_steps[-1].split()
    if script[0] != "bash" or not (root / script[1]).is_file():
        faults.append(f"README.md: the example command's last step '{example_steps[-1]}' runs no script of the project")
    return faults


def main():
    root = Path(sys.argv[1]).resolve()
    documents = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    faults = []
    for document in documents:
        faults += link_faults(document, root)
    readme = (root / "README.md").read_text(encoding="utf-8")
    for document in documents[1:]:
        if f"](docs/{document.name})" not in readme:
            faults.append(f"README.md does not list docs/{document.name}")
    faults += command_faults(root)
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        return 1
    print(f"{len(documents)} documents checked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
