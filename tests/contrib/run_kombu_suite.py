"""Runs kombu's shared transport test classes against the tarnwick transport.

Copies t/integration/common.py from the source archive of the installed
kombu release (downloaded with pip into build/framework-suites) beside
kombu_suite/test_tarnwick_transport.py, which subclasses those classes with
tarnwick connections, and runs pytest. Extra arguments go to pytest.

    python tests/contrib/run_kombu_suite.py
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tarfile
from importlib.metadata import version

from framework_release import ROOT, source_archive, suite_directory

HERE = os.path.join(ROOT, "tests", "contrib", "kombu_suite")

# Cases of the shared classes this transport does not offer the feature of.
SKIPPED_CASES: dict = {}


def unpack() -> str:
    release = version("kombu")
    archive = source_archive("kombu")
    suite = suite_directory("kombu")
    os.makedirs(os.path.join(suite, "kombu_suite"))
    with tarfile.open(archive) as tar:
        source = tar.extractfile(f"kombu-{release}/t/integration/common.py")
        with open(os.path.join(suite, "kombu_suite", "common.py"), "wb") as out:
            shutil.copyfileobj(source, out)
    shutil.copy(os.path.join(HERE, "test_tarnwick_transport.py"), os.path.join(suite, "kombu_suite"))
    open(os.path.join(suite, "kombu_suite", "__init__.py"), "a").close()
    with open(os.path.join(suite, "pytest.ini"), "w") as ini:
        ini.write("[pytest]\npython_classes = test_*\n")
    return suite


def main(argv: list) -> int:
    suite = unpack()
    target = "kombu_suite/test_tarnwick_transport.py"
    args = [sys.executable, "-m", "pytest", target, "-q", "-p", "no:cacheprovider",
            "--timeout", "60", "-rfEs"]
    args += [f"--deselect={target}::{case}" for case in SKIPPED_CASES]
    print(f"kombu {version('kombu')}: left out")
    for what, why in SKIPPED_CASES.items():
        print(f"  {what}: {why}")
    sys.stdout.flush()
    status = subprocess.run(args + argv, cwd=suite).returncode
    return 1 if status == 5 else status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
