"""The backend's system checks and its options."""

import os

import pytest
from django.core.exceptions import ImproperlyConfigured

from tarnwick_queue.django import TarnwickBackend


def _backend(options, queues=("default",)):
    return TarnwickBackend("default", {"QUEUES": list(queues), "OPTIONS": options})


def _ids(backend):
    return [e.id for e in backend.check()]


def test_a_writable_directory_passes(tmp_path):
    assert _ids(_backend({"PATH": str(tmp_path)})) == []


def test_a_missing_path(tmp_path):
    errors = _backend({"PATH": str(tmp_path / "missing")}).check()
    assert [e.id for e in errors] == ["tarnwick.E001"]
    assert "missing" in errors[0].msg and "not a directory" in errors[0].msg


def test_a_file_for_a_path(tmp_path):
    (tmp_path / "file").write_text("")
    assert _ids(_backend({"PATH": str(tmp_path / "file")})) == ["tarnwick.E001"]


def _unwritable_directory(tmp_path):
    made = tmp_path / "read-only"
    made.mkdir()
    made.chmod(0o500)
    if not os.access(made, os.W_OK):
        return str(made)
    # root may write anywhere but on a read-only mount.
    for candidate in ("/proc/sys", "/sys"):
        if os.path.isdir(candidate) and not os.access(candidate, os.W_OK):
            return candidate
    pytest.skip("no directory this user cannot write to")


def test_an_unwritable_path(tmp_path):
    where = _unwritable_directory(tmp_path)
    try:
        errors = _backend({"PATH": where}).check()
        assert [e.id for e in errors] == ["tarnwick.E001"]
        assert "not writable" in errors[0].msg
    finally:
        (tmp_path / "read-only").chmod(0o700)


def test_a_queue_name_that_is_no_directory_name(tmp_path):
    assert _ids(_backend({"PATH": str(tmp_path)}, ["default", "../up"])) == ["tarnwick.E002"]


def test_an_unreachable_dsn():
    pytest.importorskip("psycopg")
    errors = _backend({"DSN": "postgresql://tarnwick@127.0.0.1:1/none"}).check()
    assert [e.id for e in errors] == ["tarnwick.E003"]
    assert "cannot be reached" in errors[0].msg


def test_a_reachable_dsn(pg_schema_dsn):
    assert _ids(_backend({"DSN": pg_schema_dsn})) == []


def test_manage_py_check_reports_it(project_at, tmp_path):
    project = project_at({"PATH": str(tmp_path / "missing")}, tmp_path)
    done = project.manage("check", check=False)
    assert done.returncode != 0
    assert "tarnwick.E001" in done.stderr


@pytest.mark.parametrize("options, text", [
    ({}, "exactly one of"),
    ({"PATH": "/a", "DSN": "postgresql://"}, "exactly one of"),
    ({"PATH": "/a", "COLOUR": 1}, "no option 'COLOUR'"),
    ({"PATH": "/a", "LEASE": 0}, "LEASE"),
    ({"PATH": "/a", "LEASE": "1"}, "LEASE"),
    ({"PATH": "/a", "MAX_ATTEMPTS": 0}, "MAX_ATTEMPTS"),
    ({"PATH": "/a", "MAX_ATTEMPTS": True}, "MAX_ATTEMPTS"),
    ({"PATH": "/a", "BACKOFF": (1, 2)}, "BACKOFF"),
    ({"PATH": "/a", "BACKOFF": (5, 2, 1)}, "BACKOFF"),
    ({"PATH": "/a", "BACKOFF": (1, 0.5, 10)}, "BACKOFF"),
    ({"PATH": "/a", "KEEP_RESULTS": -1}, "KEEP_RESULTS"),
    ({"PATH": 3}, "PATH"),
    ({"PATH": "/a", "PREALLOCATE": 1}, "PREALLOCATE"),
    ({"DSN": "postgresql://", "PREALLOCATE": True}, "PREALLOCATE"),
])
def test_bad_options(options, text):
    with pytest.raises(ImproperlyConfigured, match=text):
        _backend(options)


def test_the_defaults(tmp_path):
    config = _backend({"PATH": str(tmp_path)}).config
    assert (config.lease, config.max_attempts, config.backoff, config.keep_results) == (
        60.0, 3, (1.0, 2.0, 300.0), 86400.0)


def test_database_needs_a_dsn_and_a_postgresql_database(tmp_path):
    with pytest.raises(ImproperlyConfigured, match="DATABASE"):
        _backend({"PATH": str(tmp_path), "DATABASE": "default"})
    backend = _backend({"DSN": "postgresql://tarnwick@127.0.0.1:1/none", "DATABASE": "nope"})
    assert _ids(backend) == ["tarnwick.E004", "tarnwick.E003"]
    backend = _backend({"DSN": "postgresql://tarnwick@127.0.0.1:1/none",
                        "DATABASE": "default"})  # the test project's is SQLite
    assert _ids(backend) == ["tarnwick.E004", "tarnwick.E003"]
