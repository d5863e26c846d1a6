"""Every code block of README.md and docs/*.md runs, and prints what the page
shows after it.

How a page is read (docs/development.md says the same for writers):
- ```python blocks run in order in one namespace per page; ```sh blocks run
  their commands in bash, with `.venv/bin/` standing for this interpreter's
  bin folder, standard output on a terminal (as a reader sees it) and
  standard error after it.
- The next block with no language (or ```text) after a code block is its
  output, compared line by line with trailing whitespace dropped.
- `<!-- illustrative -->` on the line before a block (blank lines between
  allowed) takes it out: a code block is not run, an output block not
  compared (ports, timings, benchmark figures, commands that serve forever).
- A block that is only `--8<-- "examples/NAME.py"` shows that file (MkDocs
  includes it); the test runs the file as a script, as the page tells the
  reader to, and compares its standard output.
- A block whose module is not installed (a heavy extra: pandas, pyarrow, ...)
  skips the rest of its page.

`ZENTRAIL_DOCS_UPDATE=1 python -m pytest tests/python/test_docs.py` writes
what each block prints into its output block instead of comparing (then
read the diff before committing it).

Blocks run in a scratch folder that mirrors the repository's root entries,
so `examples/sample-archive` resolves as from the root and files the blocks
write stay out of the checkout.
"""

from __future__ import annotations

import contextlib
import io
import os
import pty
import re
import subprocess
import sys
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
MIRROR_SKIPS = {".git", "build", ".venv", "dist", "lake", ".pytest_cache", ".hypothesis"}
FENCE = re.compile(r"^(`{3,}|~{3,})\s*([\w+-]*)")
ILLUSTRATIVE = re.compile(r"^<!--\s*illustrative\b.*-->\s*$")
SNIPPET = re.compile(r'^--8<--\s+"([^"]+)"\s*$')
CODE_LANGUAGES = {"python": "python", "py": "python", "sh": "sh", "bash": "sh", "shell": "sh"}
OUTPUT_LANGUAGES = {"", "text"}
# Keeps command help and tables the same width whatever runs the tests.
COLUMNS = "100"
UPDATE = bool(os.environ.get("ZENTRAIL_DOCS_UPDATE"))


@dataclass
class Block:
    language: str
    text: str
    line: int  # the opening fence's, counted from 1
    end: int  # the closing fence's
    illustrative: bool


def blocks_of(page: Path) -> List[Block]:
    lines = page.read_text(encoding="utf-8").splitlines()
    found, number, marked = [], 0, False
    while number < len(lines):
        opening = FENCE.match(lines[number])
        if not opening:
            if lines[number].strip():
                marked = bool(ILLUSTRATIVE.match(lines[number].strip()))
            number += 1
            continue
        fence, start = opening.group(1), number
        number += 1
        while number < len(lines) and not lines[number].startswith(fence):
            number += 1
        found.append(Block(opening.group(2).lower(), "\n".join(lines[start + 1:number]), start + 1, number + 1,
                           marked))
        marked = False
        number += 1
    return found


def with_outputs(blocks: List[Block]):
    """(code block, its expected output or None) for each code block."""
    pairs = []
    for index, block in enumerate(blocks):
        if block.language not in CODE_LANGUAGES:
            continue
        after = blocks[index + 1] if index + 1 < len(blocks) else None
        expected = after if after is not None and after.language in OUTPUT_LANGUAGES else None
        pairs.append((block, expected))
    return pairs


def normalised(text: str) -> str:
    return "\n".join(line.rstrip() for line in text.replace("\r\n", "\n").splitlines()).strip("\n")


def snippet_path(text: str) -> Optional[str]:
    lines = [line for line in text.splitlines() if line.strip()]
    match = SNIPPET.match(lines[0].strip()) if len(lines) == 1 else None
    return match.group(1) if match else None


def expanded(text: str) -> str:
    """The block as MkDocs shows it: snippet lines replaced by their files."""
    def include(line: str) -> str:
        match = SNIPPET.match(line.strip())
        return (ROOT / match.group(1)).read_text(encoding="utf-8").rstrip("\n") if match else line
    return "\n".join(include(line) for line in text.splitlines())


def missing_extra(output: str) -> Optional[str]:
    """The package a failed block lacked, when that is why it failed."""
    match = (re.search(r"No module named '([\w.]+)'", output)
             or re.search(r'pip install "zentrail\[(\w+)\]"', output))
    return match.group(1) if match else None


def mirror(folder: Path) -> Path:
    """A folder whose entries are links to the repository root's."""
    for entry in ROOT.iterdir():
        if entry.name not in MIRROR_SKIPS:
            (folder / entry.name).symlink_to(entry)
    return folder


def environment() -> dict:
    env = dict(os.environ, COLUMNS=COLUMNS, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    # A source checkout on PYTHONPATH (relative to where pytest started)
    # must still be found from the scratch folder.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(str(Path(p).resolve()) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env


def run_command(command: str, cwd: Path, where: str, errors_shown: bool = True) -> str:
    """What a reader sees: standard output through a terminal, then standard
    error unless not `errors_shown`. Fails on a non-zero exit."""
    controller, terminal = pty.openpty()
    received = bytearray()

    def drain():
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the terminal's last holder closed it
                return
            if not chunk:
                return
            received.extend(chunk)

    reader = threading.Thread(target=drain)
    reader.start()
    try:
        done = subprocess.run(["bash", "-c", command], cwd=cwd, env=environment(),
                              stdin=subprocess.DEVNULL, stdout=terminal, stderr=subprocess.PIPE, timeout=600)
    finally:
        os.close(terminal)
        reader.join()
        os.close(controller)
    printed, errors = received.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")
    output = printed + errors
    if done.returncode != 0:
        skip_for = missing_extra(output)
        if skip_for:
            pytest.skip(f"{where} needs {skip_for}")
        raise AssertionError(f"{where}: `{command}` exited with status {done.returncode}:\n{output}")
    return output if errors_shown else printed


def run_python(text: str, namespace: dict, where: str) -> str:
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            exec(compile(text, where, "exec"), namespace)
    except ImportError as error:
        skip_for = getattr(error, "name", None) or missing_extra(str(error))
        if skip_for and skip_for.split(".")[0] != "zentrail":
            pytest.skip(f"{where} needs {skip_for}")
        raise
    return printed.getvalue()


def commands_of(text: str) -> List[str]:
    """The block's commands: comments dropped, continued lines joined."""
    joined = re.sub(r"\\\n", " ", text)
    return [line for line in (raw.strip() for raw in joined.splitlines()) if line and not line.startswith("#")]


def test_blocks_pair_with_their_outputs_and_markers(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("\n".join([
        "```python", "print(1)", "```", "It prints:", "```", "1", "```",
        "<!-- illustrative: serves forever -->", "", "```sh", "zentrail view .", "```",
        "<!-- illustrative -->", "```text", "a port", "```",
        "```python", "x = 1", "```", "```toml", "[a]", "```",
        "````python", "```", "````"]))
    pairs = [(code.language, code.line, code.illustrative, output and (output.text, output.illustrative))
             for code, output in with_outputs(blocks_of(page))]
    assert pairs == [("python", 1, False, ("1", False)), ("sh", 10, True, ("a port", True)),
                     ("python", 17, False, None), ("python", 23, False, None)]
    assert [block.end for block in blocks_of(page)][:2] == [3, 7]


@pytest.mark.parametrize("page", PAGES, ids=[page.name for page in PAGES])
def test_page_runs_and_prints_what_it_shows(page, tmp_path, monkeypatch):
    scratch = mirror(tmp_path)
    monkeypatch.chdir(scratch)
    monkeypatch.setenv("COLUMNS", COLUMNS)
    namespace = {"__name__": "__main__"}
    updates = []
    if "pandas" in sys.modules:  # a page sets the display options it prints with
        sys.modules["pandas"].reset_option("^display")
    for block, expected in with_outputs(blocks_of(page)):
        if block.illustrative:
            continue
        where = f"{page.relative_to(ROOT)}:{block.line}"
        language = CODE_LANGUAGES[block.language]
        script = snippet_path(block.text)
        bindir = Path(sys.executable).parent
        if script:
            # Like a python block, the script's output is what it prints
            # (a library's warnings on standard error are not part of it).
            printed = run_command(f"{sys.executable} {script}", scratch, where, errors_shown=False)
        elif language == "python":
            printed = run_python(expanded(block.text), namespace, where)
        else:
            printed = "".join(run_command(command.replace(".venv/bin/", f"{bindir}/"), scratch, where)
                              for command in commands_of(block.text))
        if expected is None or expected.illustrative:
            continue
        if UPDATE:
            updates.append((expected, normalised(printed)))
        else:
            assert normalised(printed) == normalised(expected.text), f"{where}: the output differs from the page's"
    if updates:
        lines = page.read_text(encoding="utf-8").split("\n")
        for expected, printed in reversed(updates):
            lines[expected.line:expected.end - 1] = printed.split("\n")
        page.write_text("\n".join(lines), encoding="utf-8")
