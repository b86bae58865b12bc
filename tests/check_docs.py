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


def prose_lines(path):
    """The numbered lines of a Markdown file outside code blocks."""
    fenced = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if line.lstrip().startswith("```"):
            fenced = not fenced
        elif not fenced and not line.startswith("    "):
            yield number, line


def heading_anchors(path):
    """The fragments a forge gives the headings of a Markdown file (inline code keeps its text)."""
    seen = {}
    for _, line in prose_lines(path):
        heading = re.match(r"#{1,6} (.*)", line)
        if heading:
            slug = re.sub(r"[^\w\- ]", "", heading.group(1).strip().lower()).replace(" ", "-")
            seen[slug] = seen.get(slug, -1) + 1
            yield slug if seen[slug] == 0 else f"{slug}-{seen[slug]}"


def link_faults(document, root):
    faults = []
    for number, line in prose_lines(document):
        for target in LINK.findall(re.sub(r"`[^`]*`", "", line)):
            if re.match(r"[a-z][a-z0-9+.-]*:", target):
                continue  # an address on the web or mail: not the documents' own
            path_part, _, fragment = target.partition("#")
            linked = (document.parent / path_part).resolve() if path_part else document
            where = f"{document.relative_to(root)}:{number}: {target}"
            if not linked.exists():
                faults.append(f"{where}: no such file")
            elif fragment and linked.suffix == ".md" and fragment not in set(heading_anchors(linked)):
                faults.append(f"{where}: no heading #{fragment} in {linked.name}")
    return faults


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
