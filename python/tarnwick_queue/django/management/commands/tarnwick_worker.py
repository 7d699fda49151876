"""manage.py tarnwick_worker: runs the tasks of a TarnwickBackend."""

from __future__ import annotations

import logging
import os
import sys
from typing import Any, List

from django.conf import settings
from django.core.management.base import BaseCommand, CommandError, CommandParser

from ....supervisor import Supervisor, watch_supervisor
from ..._compat import task_backends
from ...backend import TarnwickBackend
from ...worker import TaskWorker


class Command(BaseCommand):
    help = "Runs the tasks of a tarnwick task backend's queues."

    def add_arguments(self, parser: CommandParser) -> None:
        parser.add_argument("--queue-name", default="default",
                            help="The queues to run, by priority, separated by commas; '*' "
                                 "for every queue of the backend (default: 'default').")
        parser.add_argument("--backend", default="default",
                            help="The TASKS alias of the backend (default: 'default').")
        parser.add_argument("--batch", action="store_true",
                            help="Run the tasks that are due now, then exit.")
        parser.add_argument("--max-tasks", type=int, default=None,
                            help="Exit after running this many tasks.")
        parser.add_argument("--processes", type=int, default=1,
                            help="Run this many worker processes under a supervisor that "
                                 "restarts any that dies (default: 1, no supervisor).")
        parser.add_argument("--worker-id", default=None,
                            help="The name the worker gives in the tasks' worker_ids "
                                 "(default: host:pid).")
        parser.add_argument("--grace", type=float, default=30.0,
                            help="Seconds a running task has to finish after SIGTERM "
                                 "(default: 30).")

    def handle(self, *args: Any, **options: Any) -> None:
        alias = options["backend"]
        try:
            backend = task_backends[alias]
        except Exception as exc:
            raise CommandError(f"no task backend {alias!r}: {exc}") from None
        if not isinstance(backend, TarnwickBackend):
            raise CommandError(f"the task backend {alias!r} is not a TarnwickBackend")
        names = [n.strip() for n in options["queue_name"].split(",") if n.strip()]
        if names == ["*"]:
            names = sorted(backend.queues)
        unknown = [n for n in names if n not in backend.queues]
        if not names or unknown:
            raise CommandError(f"the task backend {alias!r} has no queue "
                               f"{(unknown or [''])[0]!r}; it has "
                               f"{', '.join(sorted(backend.queues))}")
        if options["max_tasks"] is not None and options["max_tasks"] < 1:
            raise CommandError("--max-tasks must be at least 1")
        if options["grace"] < 0:
            raise CommandError("--grace must be >= 0")
        processes = options["processes"]
        if processes < 1:
            raise CommandError("--processes must be at least 1")
        if processes > 1:
            if options["batch"] or options["max_tasks"] is not None:
                raise CommandError("--processes keeps workers running: it takes neither "
                                   "--batch nor --max-tasks")
            sys.exit(self._supervise(processes, options, names))
        _log_to_stderr(options["verbosity"])
        watch_supervisor()
        worker = TaskWorker(backend, names, worker_id=options["worker_id"],
                            batch=options["batch"], max_tasks=options["max_tasks"],
                            grace=options["grace"])
        done = worker.run()
        if options["verbosity"] >= 1:
            self.stderr.write(f"tarnwick_worker: {done} task attempt(s) ended")

    def _supervise(self, processes: int, options: Any, names: List[str]) -> int:
        argv = [sys.executable, "-m", "django", "tarnwick_worker",
                "--backend", options["backend"], "--queue-name", ",".join(names),
                "--grace", repr(options["grace"]), "--verbosity", str(options["verbosity"])]
        if options["worker_id"] is not None:
            argv += ["--worker-id", options["worker_id"]]
        # The children import the same project: its settings and sys.path.
        env = dict(os.environ, DJANGO_SETTINGS_MODULE=settings.SETTINGS_MODULE,
                   PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        return Supervisor(argv, processes, grace=options["grace"], env=env).run()


def _log_to_stderr(verbosity: int) -> None:
    # What the worker logs (retries, lost leases, shutdown), unless the
    # project's LOGGING says where it goes already.
    logger = logging.getLogger("tarnwick_queue")
    if verbosity >= 1 and not logger.handlers and not logging.getLogger().handlers:
        handler = logging.StreamHandler()
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
        logger.addHandler(handler)
        logger.setLevel(logging.DEBUG if verbosity >= 2 else logging.INFO)
