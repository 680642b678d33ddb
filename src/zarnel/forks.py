"""Storage clients made before a fork open their own connections after it.

The storage client keeps its keep-alive sockets in a urllib3 pool. A process
made by ``fork`` (a pre-forking server that loads the application first,
``multiprocessing`` with fork and a module-level client) inherits that pool, so
parent and child would send requests over the same connections and read each
other's responses. Every client that ``_connect`` makes is noted here, weakly
(noting keeps none alive), and in a forked child the pools of those clients are
emptied: the child's first request opens a connection of its own. The parent is
untouched, since closing the child's copy of a socket leaves the parent's open.

The child starts with one thread. A pool lock that another thread of the parent
held at the fork stays held in the child, as for any lock: forking a process
while its threads make requests is unsafe in general (Python warns about it).
"""

from __future__ import annotations

import os
import weakref
from typing import Any

__all__ = ["renew_after_fork"]

_clients: weakref.WeakSet[Any] = weakref.WeakSet()


def renew_after_fork(engine: Any) -> None:
    """Empties the connection pools of ``engine`` in every child forked later."""
    try:
        _clients.add(engine)
    except TypeError:
        pass  # a stand-in for the storage client that takes no weak reference


def _in_child() -> None:
    for engine in list(_clients):
        # `_http` is the SDK's urllib3.PoolManager (the SDK closes it the same
        # way when the client is deleted); clear() closes the pooled sockets.
        pools = getattr(engine, "_http", None)
        clear = getattr(pools, "clear", None)
        if callable(clear):
            clear()


# Once per process: the module is imported once, when the extension loads.
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_in_child)
