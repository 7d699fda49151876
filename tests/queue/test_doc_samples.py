"""Every ```python sample of README.md and docs/*.md, run as a script of its
own in a fresh directory, must succeed.

Conventions of the documents (keep them this simple):
- Paths: every "/var/" in a sample stands for "<the test's directory>/var/",
  so "/var/tmp/jobs" and "tarnwick:///var/lib/myapp/broker" land in the
  test's temporary directory. PostgreSQL connection strings ("host=db ...",
  in double quotes) stand for the test session's server.
- An HTML comment right before a fence (blank lines between are allowed)
  that starts with "<!-- sample" says how to run that sample, in lines of
  its own:
    needs: NAME ...   the sample runs only where these are available:
                      "postgres" (the session's server), or a module name
                      (celery, dramatiq); it is skipped otherwise
    skip: REASON      the sample is not run (a fragment that cannot be)
    before:           the lines up to the next key or the comment's end run
                      before the sample (what a fragment assumes: `handle`,
                      a failing job)
    after:            the same, run after it (checks of what it did)
- A sample must end by itself: wait with a timeout, stop the worker.
"""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```python[^\n]*\n(.*?)^```", re.M | re.S)
DIRECTIVES = re.compile(r"\A<!--\s*sample\b((?:(?!-->).)*)-->\s*\Z", re.S)
KEY = re.compile(r"^(needs|skip|before|after):[ \t]*(.*)$")
DSN = re.compile(r'"host=db[^"]*"')


class Sample:
    def __init__(self, document, line, code, directives):
        self.name = f"{document.relative_to(ROOT)}:{line}"
        self.code = code
        self.needs, self.skip = [], None
        self.before, self.after = [], []
        section = None
        for text in directives.splitlines():
            key = KEY.match(text)
            if key and key.group(1) == "needs":
                self.needs += key.group(2).split()
            elif key and key.group(1) == "skip":
                self.skip = key.group(2)
            elif key:
                section = self.before if key.group(1) == "before" else self.after
            elif section is not None:
                section.append(text)
            elif text.strip():
                raise ValueError(f"{self.name}: a sample comment line outside a section: {text!r}")


def samples():
    found = []
    for document in DOCUMENTS:
        text = document.read_text()
        for fence in FENCE.finditer(text):
            comment = DIRECTIVES.match(text[text.rfind("<!--", 0, fence.start()):fence.start()])
            line = text.count("\n", 0, fence.start()) + 1
            found.append(Sample(document, line, fence.group(1),
                                comment.group(1) if comment else ""))
    return found


SAMPLES = samples()


def test_the_samples_were_found():
    names = {s.name.split(":")[0] for s in SAMPLES}
    assert {"README.md", "docs/workers.md", "docs/postgres.md"} <= names, names


@pytest.mark.parametrize("sample", SAMPLES, ids=[s.name for s in SAMPLES])
def test_sample_runs(sample, tmp_path, request):
    if sample.skip:
        pytest.skip(sample.skip)
    dsn = None
    for need in sample.needs:
        if need == "postgres":
            dsn = request.getfixturevalue("pg_dsn")
        elif importlib.util.find_spec(need) is None:
            pytest.skip(f"{need} is not installed here")
    script = "\n".join(["\n".join(sample.before), sample.code, "\n".join(sample.after)])
    script = script.replace("/var/", f"{tmp_path}/var/")
    if dsn is not None:
        script = DSN.sub(lambda _: repr(dsn), script)
    (tmp_path / "sample.py").write_text(script)
    done = subprocess.run([sys.executable, "sample.py"], cwd=tmp_path, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, f"{sample.name} failed:\n{script}\n{done.stdout}{done.stderr}"
