"""Real networks cut and merge TCP writes: sessions through a relay that re-cuts both
directions into random small pieces, and through the stand-in's split and coalesce faults."""

from __future__ import annotations

import asyncio
import subprocess

import pytest

import dravolin
from conftest import (CHAP_SECRET, CHAP_USER, PEER_NAME, PEER_SECRET, PLAIN_SECRET, PLAIN_USER,
                      SERVER, Relay)
from test_sync import session


def test_encrypted_session_and_big_getlog_through_a_recutting_relay(make_server, tmp_path):
    size = 4 * 1024 * 1024 + 13
    s = make_server("--log-size", str(size), "--frame-text", "3000")
    expected = tmp_path / "expected.log"
    subprocess.run([SERVER, "--log-size", str(size), "--write-log", str(expected)], check=True)
    relay = Relay(s.listen_port, max_piece=700, seed=7)
    try:
        with dravolin.connect("127.0.0.1", relay.port, timeout=60, reply_timeout=120) as conn:
            conn.login(CHAP_USER, CHAP_SECRET, chap=True, peer=(PEER_NAME, PEER_SECRET),
                       encrypt=True)
            session(conn, "relay")
            conn.getlog(tmp_path / "copy.log")
            assert (tmp_path / "copy.log").read_bytes() == expected.read_bytes()
        with dravolin.connect("127.0.0.1", relay.port, timeout=60, reply_timeout=120) as conn:
            conn.login(PLAIN_USER, PLAIN_SECRET)
            conn.getlog(tmp_path / "plain.log")
            assert (tmp_path / "plain.log").read_bytes() == expected.read_bytes()
    finally:
        relay.close()
    assert relay.pieces > 2 * size // 700


@pytest.mark.asyncio
async def test_async_connections_through_a_recutting_relay(server):
    relay = Relay(server.listen_port, max_piece=5, seed=3)
    try:
        async def one(index: int) -> str:
            async with await dravolin.aio.connect("127.0.0.1", relay.port, timeout=60) as conn:
                await conn.login(CHAP_USER, CHAP_SECRET, chap=True, peer=(PEER_NAME, PEER_SECRET),
                                 encrypt=bool(index % 2))
                replies = await asyncio.gather(conn.list_devices(), conn.get("MaxSessions"))
                return replies[0]["Count"] + replies[1]["Parameter"]

        assert await asyncio.gather(*(one(i) for i in range(20))) == ["3MaxSessions"] * 20
    finally:
        relay.close()


@pytest.mark.parametrize("fault", ["split,size=3,gap=0,times=0", "coalesce,times=0",
                                   "split,size=1448,gap=0,times=0"])
@pytest.mark.parametrize("encrypt", [False, True])
def test_split_and_coalesced_replies(make_server, tmp_path, fault, encrypt):
    s = make_server("--fault", fault, "--log-size", str(3 * 1024 * 1024 + 5), "--frame-text",
                    "1000")
    with dravolin.connect("127.0.0.1", s.port, timeout=60, reply_timeout=120) as conn:
        conn.login(CHAP_USER, CHAP_SECRET, chap=True, peer=(PEER_NAME, PEER_SECRET),
                   encrypt=encrypt)
        session(conn, "fault%d" % encrypt)
        if not fault.startswith("split,size=3"):
            reply = conn.getlog(tmp_path / "log")
            assert int(reply["LogSize"]) == (tmp_path / "log").stat().st_size
