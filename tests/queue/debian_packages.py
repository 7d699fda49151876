"""Debian packages the tests need (a server, a tool), installed when they
are missing and the tests run as root, as the test command promises."""

import os
import shutil
import subprocess


class Unavailable(RuntimeError):
    """The package is missing and could not be installed; the message says why."""


def install(package: str) -> None:
    if os.geteuid() != 0:
        raise Unavailable(f"{package} is not installed and we are not root "
                          f"(apt-get install {package})")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    try:
        subprocess.run(["apt-get", "update", "-qq"], check=True, env=env,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["apt-get", "install", "-y", "-qq", package], check=True, env=env,
                       stdout=subprocess.DEVNULL)
    except (OSError, subprocess.CalledProcessError) as exc:
        raise Unavailable(f"installing Debian's {package} failed: {exc}") from exc


def command(name: str, package: str) -> str:
    """The path of command `name`, installing `package` first if need be."""
    found = shutil.which(name)
    if found is None:
        install(package)
        found = shutil.which(name)
    if found is None:
        raise Unavailable(f"{package} was installed but {name} is not found")
    return found
