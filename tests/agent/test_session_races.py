"""The interceptor session at its edges: two starters at once, a stop
racing a new thread's first poke of the reporter, a child forked from C,
and a report file that cannot be written.  Each runs in a fresh
interpreter; the races are made certain by an import hook or a shim that
holds one side in the window."""
import os
import sys

import pytest

from agent_helpers import needs_interceptor, run_agent_child
from child import ALREADY_ON, NOT_ON, OK
from test_gil_interceptor import got_owner  # noqa: F401  (fixture)


@needs_interceptor
def test_two_starters_get_one_session(tmp_path, got_owner):  # noqa: F811
    # The start runs Python code (it imports sys through
    # builtins.__import__) before the session is its own.  A hook there that
    # lets go of the GIL until the other starter arrives or is done: exactly
    # one gets 0, the other -4, and after the stop no import slot of the
    # interpreter leads into the agent.
    result, _ = run_agent_child(
        tmp_path,
        f"""
        import builtins
        helper = ctypes.CDLL({got_owner!r})
        def owners():
            buffer = ctypes.create_string_buffer(4096)
            for symbol in (b"pthread_mutex_lock", b"pthread_mutex_unlock"):
                assert helper.slot_owners(symbol, buffer, 4096) > 0
            return [n for n in buffer.value.decode().split("\\n") if "vandrel_agent" in n]
        gate = threading.Condition()
        arrived = [0]
        original_import = builtins.__import__
        def hooked_import(name, *args, **kwargs):
            if name == "sys" and threading.current_thread().name.startswith("starter"):
                with gate:
                    arrived[0] += 1
                    gate.notify_all()
                    gate.wait_for(lambda: arrived[0] >= 2, timeout=10)
            return original_import(name, *args, **kwargs)
        statuses = []
        def starter():
            statuses.append(interceptor_on(lockgauge, sink=lambda report: None))
            with gate:
                arrived[0] += 1
                gate.notify_all()
        builtins.__import__ = hooked_import
        threads = [threading.Thread(target=starter, name=f"starter-{{i}}") for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        builtins.__import__ = original_import
        stops = [lockgauge.deinit_gil_interceptor(), lockgauge.deinit_gil_interceptor()]
        emit({{"starts": sorted(statuses), "stops": stops, "owners": owners(),
              "threads": sorted(t.name for t in threading.enumerate())}})
        """,
    )
    assert result == {"starts": [ALREADY_ON, OK], "stops": [OK, NOT_ON], "owners": [],
                      "threads": ["MainThread"]}
