"""Runs the fenced blocks of README.md, docs/*.md and bindings/python/README.md
as a user who installed the project would: one row per block, in page order.

``sh`` blocks run in bash, ``python`` blocks in Debian's Python; ``cpp`` and
``cmake`` blocks are files (their first line names them) that a later ``sh``
block of the page builds. A block preceded by ``<!-- not run: REASON -->``,
or of any other language, is a skipped row. The blocks of a page share a
fresh work directory, and a block that does not start ``tarvik-virtual``
itself gets one running there.

Environment: TARVIK_SOURCE (where the pages are), TARVIK_BUILD (installed
into a scratch prefix), TARVIKD (the build's launcher), and the Python
package's TARVIK_LIBRARY, TARVIK_WORKER.
"""

import os
import re
import signal
import subprocess
from pathlib import Path

import pytest

import tarvik
from tarvik.pytest_plugin import VirtualPrinter

SOURCE = Path(os.environ.get("TARVIK_SOURCE", Path(__file__).parents[1]))
PAGES = [SOURCE / "README.md", *sorted((SOURCE / "docs").glob("*.md")), SOURCE / "bindings/python/README.md"]
FENCE = re.compile(r"^( {0,3})(`{3,}|~{3,})\s*([^`\s]*)")
NOT_RUN = re.compile(r"^\s*<!--\s*not run:\s*(.*?)\s*-->\s*$")
NAMES = {"cpp": re.compile(r"//\s*([\w.-]+\.(?:cpp|cc|cxx|h|hpp))\s*$"),
         "cmake": re.compile(r"#\s*(CMakeLists\.txt)\s*$")}
TIMEOUT = 60


def blocks(page: Path):
    """(line of the opening fence, language, text, reason not to run) of
    each fenced block of ``page``."""
    lines = page.read_text().splitlines()
    number = 0
    while number < len(lines):
        opening = FENCE.match(lines[number])
        number += 1
        if not opening:
            continue
        start, (indent, fence, language) = number, opening.groups()
        body = []
        while number < len(lines) and not re.match(rf"^ {{0,3}}{fence[0]}{{{len(fence)},}}\s*$", lines[number]):
            # A fence indented in a list indents its lines as much.
            body.append(lines[number].removeprefix(indent))
            number += 1
        number += 1
        marked = NOT_RUN.match(lines[start - 2]) if start >= 2 else None
        reason = marked.group(1) if marked else None
        if language not in ("sh", "python", "cpp", "cmake") and not reason:
            reason = f"a {language or 'plain'} block is not run"
        yield start, language, "\n".join(body) + "\n", reason


ROWS = [(page, *block) for page in PAGES if page.exists() for block in blocks(page)]


def row_id(row):
    return f"{row[0].relative_to(SOURCE)}:{row[1]}" if row else "no blocks"


@pytest.fixture(scope="session")
def environment(tmp_path_factory):
    """The build installed into a scratch prefix, and the environment that
    finds it first."""
    prefix = tmp_path_factory.mktemp("prefix")
    subprocess.run(["cmake", "--install", os.environ["TARVIK_BUILD"], "--prefix", prefix],
                   check=True, stdout=subprocess.DEVNULL)
    pc = next(prefix.rglob("pkgconfig/tarvik.pc"))
    env = os.environ.copy()
    env.update(
        PATH=os.pathsep.join([str(prefix / "bin"), os.path.dirname(os.environ["TARVIKD"]), env["PATH"]]),
        PKG_CONFIG_PATH=str(pc.parent),
        CMAKE_PREFIX_PATH=str(prefix),
        LD_LIBRARY_PATH=str(pc.parent.parent),
        PYTHONPATH=str(Path(tarvik.__file__).parents[1]),
    )
    return env


def run(command, cwd, env):
    """Runs ``command`` in a session of its own, so that a timeout ends what
    it started too; gives (exit status, stdout, stderr)."""
    process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = process.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        return f"killed after {TIMEOUT} s", out, err
    return process.returncode, out, err


@pytest.mark.parametrize("row", ROWS or [None], ids=row_id)
def test_block(row, environment, tmp_path_factory):
    assert row, f"no fenced blocks in {', '.join(str(p) for p in PAGES)}"
    page, line, language, text, reason = row
    if reason:
        pytest.skip(f"{row_id(row)}: {reason}")
    # The session's fresh base directory holds one per page.
    work = tmp_path_factory.getbasetemp() / re.sub(r"\W", "-", str(page.relative_to(SOURCE)))
    work.mkdir(exist_ok=True)
    if language in NAMES:
        named = NAMES[language].fullmatch(text.splitlines()[0].strip()) if text.strip() else None
        assert named, f"a {language} block must name its file on its first line, not: {text.splitlines()[:1]}"
        (work / named.group(1)).write_text(text)
        return
    command = ["bash", "-eu", "-o", "pipefail", "-c", text] if language == "sh" else ["/usr/bin/python3", "-c", text]
    printer = None
    if "tarvik-virtual" not in text:
        installed = Path(environment["PATH"].split(os.pathsep)[0]) / "tarvik-virtual"
        printer = VirtualPrinter(["env", f"LD_LIBRARY_PATH={environment['LD_LIBRARY_PATH']}", str(installed)], work)
    try:
        status, out, err = run(command, work, environment)
    finally:
        if printer:
            printer.stop()
    assert status == 0, f"exit status {status}\n--- stdout\n{out.rstrip()}\n--- stderr\n{err.rstrip()}"
