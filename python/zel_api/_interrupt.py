"""Ctrl-C during a blocked call.

A call runs in C without the interpreter's lock, and Python runs its SIGINT handler only once the
call has returned: after up to one time-out. The interpreter's own C-level handler writes the
signal's number to the wakeup descriptor (``signal.set_wakeup_fd``) at once, though. A thread of
this module waits on that descriptor and, on SIGINT, cancels (``zel_Cancel``) the calls in flight
on every unit; they return within about 50 ms, and the interpreter's handler then raises
``KeyboardInterrupt`` as it always does.

A call costs two attribute writes on its link (``calls``, ``in_call``), nothing else. The thread
starts with the first unit made on the main thread, if SIGINT has a Python handler then. A wakeup
descriptor set before is still told of every signal; one set later (an asyncio loop's signal
handlers) replaces this one, and Ctrl-C then takes effect when the call returns, as before.
"""

from __future__ import annotations

import os
import signal
import socket
import threading
import time
import weakref
from typing import Any, List, Tuple

# Held while zel_Cancel runs on an instance and while an instance is destroyed, so that a cancel
# never reaches an instance that is gone.
lock = threading.Lock()

_links: "weakref.WeakSet[Any]" = weakref.WeakSet()
_installed = False

# A cancel that meets a call in the instant it enters does nothing; it is repeated for as long as
# the same call is still in flight, up to this long.
_RETRY_SECONDS = 0.5
_RETRY_PAUSE = 0.02


def watch(link: Any) -> None:
    """Let Ctrl-C cancel the calls of ``link`` (a ``_Link`` of an instance)."""
    _links.add(link)
    _install()


def _install() -> None:
    global _installed
    if _installed or threading.current_thread() is not threading.main_thread():
        return
    if not callable(signal.getsignal(signal.SIGINT)):
        return  # SIGINT ignored or left to the system: there is no KeyboardInterrupt to hasten
    reader, writer = socket.socketpair()
    writer.setblocking(False)
    try:
        previous = signal.set_wakeup_fd(writer.fileno(), warn_on_full_buffer=False)
    except (ValueError, OSError):
        reader.close()
        writer.close()
        return
    _installed = True
    threading.Thread(target=_run, args=(reader, writer, previous), name="zel_api Ctrl-C", daemon=True).start()


def _run(reader: socket.socket, writer: socket.socket, previous: int) -> None:
    del writer  # kept open by the caller's frame: the interpreter writes to it
    while True:
        try:
            data = reader.recv(64)
        except OSError:
            return
        if not data:
            return
        if previous != -1:
            try:
                os.write(previous, data)
            except OSError:
                pass
        if int(signal.SIGINT) in data:
            _cancel_in_flight()


def _cancel_in_flight() -> None:
    pending: List[Tuple[Any, int]] = [(link, link.calls) for link in list(_links) if link.in_call]
    deadline = time.monotonic() + _RETRY_SECONDS
    while pending:
        with lock:
            for link, _ in pending:
                if link.pointer:
                    link.lib.zel_Cancel(link.pointer)
        if time.monotonic() >= deadline:
            return
        time.sleep(_RETRY_PAUSE)
        pending = [(link, calls) for link, calls in pending if link.in_call and link.calls == calls]
