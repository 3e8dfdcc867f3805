"""The asyncio API: sessions, 200 connections on one loop, cancelling, exceptions."""

from __future__ import annotations

import asyncio
import gc

import pytest

import dravolin
from conftest import (CHAP_SECRET, CHAP_USER, PEER_NAME, PEER_SECRET, PLAIN_SECRET, PLAIN_USER,
                      SECRETS, free_port)


@pytest.mark.asyncio
async def test_async_session_every_command(server, tmp_path):
    async with await dravolin.aio.connect("127.0.0.1", server.port, timeout=30) as conn:
        await conn.login(CHAP_USER, CHAP_SECRET, chap=True, peer=(PEER_NAME, PEER_SECRET),
                         encrypt=True)
        assert (await conn.list_devices())["Count"] == "3"
        assert (await conn.list_devices("disk1", level=0)).getall("Device") == ["disk1"]
        assert (await conn.add("pyasync", type="file", size="1024"))["Device"] == "pyasync"
        assert (await conn.allow("u1", "pyasync"))["Access"] == "rw"
        assert (await conn.list_permissions(user="u1"))["Device"] == "pyasync"
        assert (await conn.set("CacheSize", "77"))["Value"] == "77"
        assert (await conn.get("CacheSize"))["Value"] == "77"
        assert (await conn.statistics("pyasync"))["Device"] == "pyasync"
        assert (await conn.control("flush"))["Result"]
        assert (await conn.remove("pyasync"))["Device"] == "pyasync"
        reply = await conn.getlog(tmp_path / "a.log")
        assert int(reply["LogSize"]) == (tmp_path / "a.log").stat().st_size
        with pytest.raises(dravolin.CommandError) as caught:
            await conn.get("NoSuchParameter")
        assert caught.value.status == 103
        assert (await conn.logoff()).status == 200
    assert conn.closed
    await conn.close()  # twice


@pytest.mark.asyncio
async def test_200_connections_on_one_loop(server):
    async def one(index: int) -> int:
        conn = await dravolin.aio.connect("127.0.0.1", server.port, timeout=60)
        try:
            if index % 2:
                await conn.login(PLAIN_USER, PLAIN_SECRET)
            else:
                await conn.login(CHAP_USER, CHAP_SECRET, chap=True, encrypt=True)
            replies = await asyncio.gather(*(conn.get("MaxSessions") for _ in range(5)))
            return sum(r["Parameter"] == "MaxSessions" for r in replies)
        finally:
            await conn.close()

    results = await asyncio.gather(*(one(i) for i in range(200)))
    assert results == [5] * 200


@pytest.mark.asyncio
async def test_many_requests_in_flight_on_one_connection(server):
    async with await dravolin.aio.connect("127.0.0.1", server.port) as conn:
        await conn.login(PLAIN_USER, PLAIN_SECRET)
        replies = await asyncio.gather(*(conn.get("MaxSessions") for _ in range(1000)))
        assert all(r["Value"] == replies[0]["Value"] for r in replies) and len(replies) == 1000


@pytest.mark.asyncio
async def test_cancelled_task(make_server):
    # Replies take a moment (think time), so later requests wait in the library's queue.
    s = make_server("--reply-delay-us", "20000")
    async with await dravolin.aio.connect("127.0.0.1", s.port) as conn:
        await conn.login(PLAIN_USER, PLAIN_SECRET)
        tasks = [asyncio.ensure_future(conn.get("MaxSessions")) for _ in range(20)]
        await asyncio.sleep(0)
        for task in tasks[5:]:
            task.cancel()
        outcomes = await asyncio.gather(*tasks, return_exceptions=True)
        assert all(isinstance(o, dravolin.Reply) for o in outcomes[:5])
        assert all(isinstance(o, (dravolin.Reply, asyncio.CancelledError)) for o in outcomes[5:])
        assert any(isinstance(o, asyncio.CancelledError) for o in outcomes[5:])
        # The connection goes on working.
        assert (await conn.get("MaxSessions"))["Parameter"] == "MaxSessions"


@pytest.mark.asyncio
async def test_cancel_an_operation_the_server_never_answers(make_server):
    s = make_server("--fault", "mute,on=statistics")
    # The reply limit lets the close finish at last: the muted reply never comes.
    async with await dravolin.aio.connect("127.0.0.1", s.port, reply_timeout=1.0) as conn:
        await conn.login(PLAIN_USER, PLAIN_SECRET)
        task = asyncio.ensure_future(conn.statistics())
        queued = asyncio.ensure_future(conn.get("MaxSessions"))
        await asyncio.sleep(0.05)
        task.cancel()
        queued.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        with pytest.raises(asyncio.CancelledError):
            await queued
    assert conn.closed


@pytest.mark.asyncio
async def test_wait_for_times_out_and_cancels(make_server):
    s = make_server("--fault", "mute,on=get")
    conn = await dravolin.aio.connect("127.0.0.1", s.port, reply_timeout=1.0)
    await conn.login(PLAIN_USER, PLAIN_SECRET)
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(conn.get("MaxSessions"), 0.2)
    await conn.close()


@pytest.mark.asyncio
async def test_async_exceptions(server, make_server):
    with pytest.raises(dravolin.ConnectionRefused) as refused:
        await dravolin.aio.connect("127.0.0.1", free_port() - 1)
    assert refused.value.reason == dravolin.REASON_CONNECT_FAILED
    with pytest.raises(dravolin.HostNotFound):
        await dravolin.aio.connect("no-such-host.invalid", 3260, timeout=60)
    conn = await dravolin.aio.connect("127.0.0.1", server.port)
    with pytest.raises(dravolin.LoginError) as caught:
        await conn.login(PLAIN_USER, "Wr0ng-S3cret")
    assert caught.value.status == 102
    assert "Wr0ng-S3cret" not in str(caught.value) + repr(caught.value)
    await conn.close()
    with pytest.raises(dravolin.ClosedError):
        await conn.get("MaxSessions")
    silent = make_server("--fault", "mute,on=get")
    conn = await dravolin.aio.connect("127.0.0.1", silent.port, reply_timeout=0.5)
    await conn.login(PLAIN_USER, PLAIN_SECRET)
    with pytest.raises(dravolin.TimeoutError) as timed_out:
        await conn.get("MaxSessions")
    assert (timed_out.value.status, timed_out.value.reason) == (105, dravolin.REASON_TIMED_OUT)
    await conn.close()


def test_completion_after_the_loop_closed_does_not_crash(make_server):
    # The reply arrives after its event loop has gone: the callback on the library's worker
    # thread must swallow that, and the process goes on.
    s = make_server("--reply-delay-us", "300000")
    loop = asyncio.new_event_loop()

    async def start():
        conn = await dravolin.aio.connect("127.0.0.1", s.port)
        await conn.login(PLAIN_USER, PLAIN_SECRET)
        task = asyncio.ensure_future(conn.get("MaxSessions"))
        await asyncio.sleep(0)
        return conn, task

    conn, task = loop.run_until_complete(start())
    loop.close()
    # A new loop and a sync connection still work; the late completion landed meanwhile.
    with dravolin.connect("127.0.0.1", s.port) as other:
        other.login(PLAIN_USER, PLAIN_SECRET)
        other.control("-delay:\"0\"")
        assert other.get("MaxSessions")["Parameter"] == "MaxSessions"
    del conn, task
    gc.collect()


def test_no_secret_in_any_text():
    for secret in SECRETS:
        e = dravolin.LoginError("login", 102, "login refused", 0, "")
        assert secret not in repr(e)


def test_an_exception_in_the_hand_over_never_reaches_the_library(server, capfd):
    import ctypes
    import threading

    from dravolin import _core

    ran = threading.Event()

    class Raising(_core.Completion):
        def deliver(self, failed):
            ran.set()
            raise RuntimeError("raised on the worker thread")

    with dravolin.connect("127.0.0.1", server.port) as conn:
        conn.login(PLAIN_USER, PLAIN_SECRET)
        response = ctypes.c_void_p()
        request_id = ctypes.c_uint32()
        assert _core.native.SendRequest(conn._handle, 7, b"MaxSessions", ctypes.byref(response),
                                        ctypes.byref(request_id), _core.completion_callback) == 0
        _core.track(request_id.value, Raising())
        assert ran.wait(60)
        assert conn.get("MaxSessions")["Parameter"] == "MaxSessions"  # still working
        _core.native.ResponseFree(response)
    assert "Traceback" not in capfd.readouterr().err
