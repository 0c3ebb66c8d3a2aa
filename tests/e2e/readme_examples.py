#!/usr/bin/env python3
"""Runs the README's examples and compares what they print with what the README shows.

    readme_examples.py README.md BUILD_DIR WORK_DIR

An example is a ```sh block right after a line `<!-- example -->`; the marker may add
`status=N` (the block's last command's exit status, 0 when not given) and `continued` (the
block goes on in the directory where the previous example ended, as a reader typing them in
one terminal would; otherwise it starts at the top of the checkout). The plain ``` blocks
after it, up to the next ```sh block or heading, are its shown output: each must appear in
its standard output as consecutive lines, or, where all its lines begin with the same word
(`DRIVE:`), be exactly the output's lines that begin with it.

The examples run in WORK_DIR on a copy of examples/, with BUILD_DIR's programs standing in
for build/, so the checkout is never written to.
"""
import os
import re
import shutil
import subprocess
import sys

MARKER = re.compile(r"^<!-- example((?: [a-z]+(?:=\d+)?)*) -->$")


def examples(readme):
    """(line number, commands, status, continued, shown blocks) of every marked block."""
    lines = open(readme, encoding="utf-8").read().split("\n")
    found = []
    i = 0
    while i < len(lines):
        match = MARKER.match(lines[i])
        i += 1
        if not match:
            continue
        words = match.group(1).split()
        if i >= len(lines) or lines[i] != "```sh":
            sys.exit(f"{readme}:{i}: an example marker not followed by a ```sh block")
        start = i + 1
        i = lines.index("```", start)
        commands = "\n".join(lines[start:i])
        status = next((int(w[7:]) for w in words if w.startswith("status=")), 0)
        shown = []
        i += 1
        while i < len(lines) and not lines[i].startswith(("#", "```sh", "<!-- example")):
            if lines[i] == "```":
                end = lines.index("```", i + 1)
                shown.append(lines[i + 1 : end])
                i = end
            i += 1
        found.append((start, commands, status, "continued" in words, shown))
    return found


def shown_in(block, out):
    n = len(block)
    if any(out[i : i + n] == block for i in range(len(out) - n + 1)):
        return True
    first = {line.split(" ", 1)[0] for line in block}
    return len(first) == 1 and [l for l in out if l.split(" ", 1)[0] in first] == block


def main():
    readme, build, work = sys.argv[1:4]
    source = os.path.dirname(os.path.abspath(readme))
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(os.path.join(source, "examples"), os.path.join(work, "examples"))
    os.makedirs(os.path.join(work, "build"))
    for tool in ("mirt_linker", "mirt_emulator", "mirt_check", "mirt_run"):
        os.symlink(os.path.join(os.path.abspath(build), tool), os.path.join(work, "build", tool))
    failures = 0
    ran = 0
    where = work
    ended = os.path.join(work, ".directory")
    for line, commands, status, continued, shown in examples(readme):
        script = f'cd "{where if continued else work}" || exit 99\n{commands}\n' \
                 f'status=$?\npwd >"{ended}"\nexit $status\n'
        run = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=300)
        where = open(ended).read().strip()
        out = run.stdout.split("\n")
        problems = []
        if run.returncode != status:
            problems.append(f"status {run.returncode}, the README says {status}")
        for block in shown:
            if not shown_in(block, out):
                problems.append("not printed as shown:\n  " + "\n  ".join(block))
        if problems:
            failures += 1
            print(f"FAIL: README.md:{line}:\n{commands}\n" + "\n".join(problems))
            tail = "\n".join(out[-40:])
            print(f"--- the last lines it printed:\n{tail}\n--- on standard error:\n{run.stderr}")
        ran += 1
    print(f"{ran} examples, {failures} failed")
    if ran == 0:
        sys.exit("no examples found")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
