"""The interpreter's exit with connections still open and operations still outstanding: the
package closes the connections, frees the library, and the process ends normally."""

from __future__ import annotations

import textwrap

from conftest import PLAIN_SECRET, PLAIN_USER, run_python


def test_exit_with_open_connections_and_outstanding_operations(make_server):
    quick = make_server()
    silent = make_server("--fault", "mute,on=get")  # never answers, no reply limit
    code = textwrap.dedent("""
        import asyncio, threading, dravolin
        open_sync = dravolin.connect("127.0.0.1", %(quick)d)
        open_sync.login(%(user)r, %(secret)r)
        stuck = dravolin.connect("127.0.0.1", %(silent)d)
        stuck.login(%(user)r, %(secret)r)
        outcome = []
        def blocked():
            try:
                stuck.get("MaxSessions")
            except dravolin.Error as e:
                outcome.append(type(e).__name__)
        threading.Thread(target=blocked, daemon=True).start()

        async def main():
            conn = await dravolin.aio.connect("127.0.0.1", %(silent)d)
            await conn.login(%(user)r, %(secret)r)
            asyncio.ensure_future(conn.get("MaxSessions"))  # outstanding at exit
            await asyncio.sleep(0.1)
            return conn
        kept = asyncio.run(main())
        print("leaving", flush=True)
    """) % {"quick": quick.port, "silent": silent.port, "user": PLAIN_USER,
            "secret": PLAIN_SECRET}
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "leaving"
    assert "Traceback" not in result.stderr and "Exception ignored" not in result.stderr


def test_a_call_after_the_library_was_freed_raises(make_server):
    s = make_server()
    code = textwrap.dedent("""
        import dravolin, dravolin._core as core
        conn = dravolin.connect("127.0.0.1", %(port)d)
        core._free_at_exit()
        try:
            conn.get("MaxSessions")
        except dravolin.ClosedError as e:
            print("closed", e.reason)
        try:
            dravolin.connect("127.0.0.1", %(port)d)
        except dravolin.ClosedError as e:
            print("closed", e.reason)
    """) % {"port": s.port}
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["closed", "10", "closed", "10"]
