"""Per-process state after os.fork(), reset in one place.

Objects that keep something only their own process may use (a watch
descriptor drained by a waiting thread, a database connection, a thread
renewing leases) register a method here; a forked child calls each one
before it returns from fork(), so nothing else has to compare process ids
on every call. Registration is weak: the registry keeps nothing alive, and
an object that is collected drops out of it.

A reset runs in the child while it has a single thread, before anything
else: it must be cheap, must not block (the parent's threads may have held
any lock at the fork: replace locks, do not take them), and must leave the
parent's resources alone (never close a shared socket's session; closing an
inherited descriptor is fine). It cannot raise into the fork: an exception
from one is dropped and the others still run.
"""

from __future__ import annotations

import itertools
import os
import weakref
from typing import Callable, Dict

_resets: Dict[int, weakref.WeakMethod[Callable[[], None]]] = {}
_keys = itertools.count()


def reset_after_fork(method: Callable[[], None]) -> None:
    """Calls the bound method `method` in every child forked from now on,
    while its object is alive."""
    key = next(_keys)
    # The weak reference's callback removes the entry once the object goes.
    _resets[key] = weakref.WeakMethod(method, lambda _ref: _resets.pop(key, None))


def _in_child() -> None:
    for ref in list(_resets.values()):
        method = ref()
        if method is None:
            continue
        try:
            method()
        except Exception:  # never into the fork; the other resets still run
            pass


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_in_child)
