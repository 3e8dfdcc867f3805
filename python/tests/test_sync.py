"""The synchronous API against the stand-in server: sessions, every command, the exceptions."""

from __future__ import annotations

import socket
import threading

import pytest

import dravolin
from conftest import (CHAP_SECRET, CHAP_USER, PEER_NAME, PEER_SECRET, PLAIN_SECRET, PLAIN_USER,
                      SECRETS, SERVER, free_port)


def session(conn: dravolin.Connection, tag: str) -> None:
    """Every command but shutdown on a logged-in connection."""
    devices = conn.list_devices()
    assert devices.status == 200
    assert devices["Count"] == "3"
    assert devices.getall("Device")[:3] == ["disk0", "disk1", "cdrom0"]
    assert ("Device", "disk0") in devices and "Type" in devices
    assert devices[0] == ("Count", "3")
    assert conn.list_devices("disk0", level=0).getall("Device") == ["disk0"]
    device = "py" + tag
    assert conn.add(device, type="file", size=4096)["Device"] == device
    allowed = conn.allow("someone", device, access="r")
    assert (allowed["User"], allowed["Device"], allowed["Access"]) == ("someone", device, "r")
    permissions = conn.list_permissions(device=device)
    assert permissions.getall("User") == ["someone"]
    assert conn.list_permissions(user="someone", device=device)["Access"] == "r"
    assert conn.set("Alias", "name with blanks " + tag)["Value"] == "name with blanks " + tag
    got = conn.get("Alias")
    assert got["Value"] == "name with blanks " + tag and got.get("Nope") is None
    assert "Commands" in conn.statistics()
    assert conn.statistics(device)["Device"] == device
    assert conn.control("ping")["Action"] == "ping"
    assert conn.remove(device)["Device"] == device
    with pytest.raises(dravolin.CommandError) as caught:
        conn.remove(device)
    assert caught.value.status == 103 and caught.value.reason == dravolin.REASON_NONE
    assert caught.value.reply is not None


def test_plain_session_every_command(server, tmp_path):
    with dravolin.connect("127.0.0.1", server.port, timeout=30, reply_timeout=60) as conn:
        conn.login(PLAIN_USER, PLAIN_SECRET)
        session(conn, "plain")
        reply = conn.getlog(tmp_path / "service.log")
        assert int(reply["LogSize"]) == (tmp_path / "service.log").stat().st_size
        assert conn.logoff().status == 200
        with pytest.raises(dravolin.CommandError) as caught:
            conn.get("MaxSessions")
        assert caught.value.status == 101


@pytest.mark.parametrize("encrypt", [False, True])
def test_chap_mutual_session(server, encrypt):
    with dravolin.connect("127.0.0.1", server.port, timeout=30) as conn:
        conn.login(CHAP_USER, CHAP_SECRET, chap=True, peer=(PEER_NAME, PEER_SECRET), encrypt=encrypt)
        session(conn, "chap%d" % encrypt)


def test_chap_without_peer(server):
    with dravolin.connect("127.0.0.1", server.port) as conn:
        conn.login(CHAP_USER, CHAP_SECRET, chap=True, encrypt=True)
        assert conn.get("MaxSessions")["Parameter"] == "MaxSessions"


def test_getlog_of_several_mib_encrypted(make_server, tmp_path):
    size = 6 * 1024 * 1024 + 77
    s = make_server("--log-size", str(size), "--log-name", "big.log")
    expected = tmp_path / "expected.log"
    import subprocess
    subprocess.run([SERVER, "--log-size", str(size), "--write-log", str(expected)], check=True)
    with dravolin.connect("127.0.0.1", s.port, reply_timeout=120) as conn:
        conn.login(CHAP_USER, CHAP_SECRET, chap=True, peer=(PEER_NAME, PEER_SECRET), encrypt=True)
        target = tmp_path / "copy.log"
        reply = conn.getlog(str(target))
        assert reply["LogFilename"] == "big.log"
        assert target.read_bytes() == expected.read_bytes()
        assert sorted(p.name for p in tmp_path.iterdir()) == ["copy.log", "expected.log"]


def test_shutdown(make_server):
    s = make_server()
    with dravolin.connect("127.0.0.1", s.port) as conn:
        conn.login(PLAIN_USER, PLAIN_SECRET)
        assert conn.shutdown().status == 200


# ---------------------------------------------------------------- exceptions


def test_unknown_host():
    with pytest.raises(dravolin.HostNotFound) as caught:
        dravolin.connect("no-such-host.invalid", 3260, timeout=60)
    e = caught.value
    assert isinstance(e, dravolin.ConnectError) and isinstance(e, dravolin.Error)
    assert (e.status, e.reason) == (105, dravolin.REASON_HOST_NOT_FOUND)
    assert e.operation == "connect"


def test_refused_port():
    with pytest.raises(dravolin.ConnectionRefused) as caught:
        dravolin.connect("127.0.0.1", free_port() - 1, timeout=60)
    assert (caught.value.status, caught.value.reason) == (105, dravolin.REASON_CONNECT_FAILED)
    assert isinstance(caught.value, dravolin.ConnectError)


def test_connect_timeout_on_a_server_that_never_greets():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    try:
        with pytest.raises(dravolin.ConnectTimeout) as caught:
            dravolin.connect("127.0.0.1", listener.getsockname()[1] - 1, timeout=0.5)
        assert isinstance(caught.value, dravolin.TimeoutError)
        assert isinstance(caught.value, dravolin.ConnectError)
        assert caught.value.reason == dravolin.REASON_TIMED_OUT
    finally:
        listener.close()


@pytest.mark.parametrize("chap", [False, True])
def test_wrong_secret(server, chap):
    wrong = "Wr0ng-S3cret-Word"
    with dravolin.connect("127.0.0.1", server.port) as conn:
        with pytest.raises(dravolin.LoginError) as caught:
            conn.login(CHAP_USER if chap else PLAIN_USER, wrong, chap=chap)
        e = caught.value
        assert e.status == 102 and e.reason == dravolin.REASON_NONE and e.operation == "login"
        for text in (str(e), repr(e), repr(e.args)):
            assert wrong not in text
            for secret in SECRETS:
                assert secret not in text
        conn.login(PLAIN_USER, PLAIN_SECRET)  # the connection is still usable
        assert conn.get("MaxSessions").status == 200


def test_wrong_peer_secret_fails_the_mutual_login(server):
    with dravolin.connect("127.0.0.1", server.port) as conn:
        with pytest.raises(dravolin.LoginError) as caught:
            conn.login(CHAP_USER, CHAP_SECRET, chap=True, peer=(PEER_NAME, "not-the-peer"))
        e = caught.value
        assert e.status == 105 and e.reason == dravolin.REASON_LOGIN
        assert "not-the-peer" not in str(e) + repr(e) and CHAP_SECRET not in str(e) + repr(e)


def test_encryption_not_offered(make_server):
    s = make_server("--no-crypt")
    with dravolin.connect("127.0.0.1", s.port) as conn:
        with pytest.raises(dravolin.LoginError) as caught:
            conn.login(CHAP_USER, CHAP_SECRET, chap=True, encrypt=True)
        assert caught.value.status in (104, 105)


def test_silent_server_past_the_reply_timeout(make_server):
    s = make_server("--fault", "mute,on=get")
    with dravolin.connect("127.0.0.1", s.port, timeout=30, reply_timeout=0.5) as conn:
        conn.login(PLAIN_USER, PLAIN_SECRET)
        with pytest.raises(dravolin.TimeoutError) as caught:
            conn.get("MaxSessions")
        e = caught.value
        assert (e.status, e.reason, e.operation) == (105, dravolin.REASON_TIMED_OUT, "get")
        assert "timed out" in e.reason_text
        # The connection closed behind the time-out: later requests fail as lost.
        with pytest.raises(dravolin.ConnectionLost) as lost:
            conn.list_devices()
        assert lost.value.reason == dravolin.REASON_CONNECTION_LOST
        assert isinstance(lost.value, dravolin.ProtocolError)


def test_connection_lost(make_server):
    s = make_server("--fault", "close,on=get")
    with dravolin.connect("127.0.0.1", s.port) as conn:
        conn.login(PLAIN_USER, PLAIN_SECRET)
        with pytest.raises(dravolin.ConnectionLost):
            conn.get("MaxSessions")


def test_set_reply_timeout(make_server):
    s = make_server("--fault", "mute,on=statistics")
    with dravolin.connect("127.0.0.1", s.port) as conn:
        conn.login(PLAIN_USER, PLAIN_SECRET)
        conn.set_reply_timeout(0.5)
        with pytest.raises(dravolin.TimeoutError):
            conn.statistics()
        with pytest.raises(ValueError):
            conn.set_reply_timeout(-1)


# ---------------------------------------------------------------- arguments, close, threads


def commands_seen(conn: dravolin.Connection) -> int:
    return int(conn.statistics()["Commands"])


def test_wrong_arguments_raise_before_anything_is_sent(server):
    with dravolin.connect("127.0.0.1", server.port) as conn:
        conn.login(PLAIN_USER, PLAIN_SECRET)
        before = commands_seen(conn)
        for call, error in [
            (lambda: conn.get(7), TypeError),
            (lambda: conn.get(""), ValueError),
            (lambda: conn.get("a b"), ValueError),
            (lambda: conn.get("x\nshutdown"), ValueError),
            (lambda: conn.get("x\0y"), ValueError),
            (lambda: conn.get("x" * 5000), ValueError),
            (lambda: conn.control("p" * 4090), ValueError),
            (lambda: conn.add('a"b'), ValueError),
            (lambda: conn.add("d", size=1.5), TypeError),
            (lambda: conn.list_devices(level="1"), TypeError),
            (lambda: conn.allow("u", None), TypeError),
            (lambda: conn.login(PLAIN_USER, PLAIN_SECRET, encrypt=True), ValueError),
            (lambda: conn.login(PLAIN_USER, PLAIN_SECRET, peer=("a", "b")), ValueError),
            (lambda: conn.login(CHAP_USER, CHAP_SECRET, chap=True, peer="ab"), TypeError),
            (lambda: conn.login(CHAP_USER, b"bytes", chap=True), TypeError),
            (lambda: dravolin.connect("127.0.0.1", "3260"), TypeError),
            (lambda: dravolin.connect("127.0.0.1", 70000), ValueError),
            (lambda: dravolin.connect("127.0.0.1", 3260, timeout=-1), ValueError),
        ]:
            with pytest.raises(error):
                call()
        # Only the two statistics commands reached the server.
        assert commands_seen(conn) == before + 1


def test_close_twice_and_use_after_close(server):
    conn = dravolin.connect("127.0.0.1", server.port)
    with conn:
        conn.login(PLAIN_USER, PLAIN_SECRET)
    assert conn.closed
    conn.close()
    conn.close()
    with conn:
        pass
    with pytest.raises(dravolin.ClosedError) as caught:
        conn.get("MaxSessions")
    assert caught.value.reason == dravolin.REASON_ENDED
    assert "closed" in repr(conn)


def test_threads_share_one_connection(server):
    errors = []
    counts = []
    with dravolin.connect("127.0.0.1", server.port) as conn:
        conn.login(PLAIN_USER, PLAIN_SECRET)

        def work(index: int) -> None:
            try:
                n = 0
                for k in range(40):
                    if k % 2:
                        n += conn.get("MaxSessions")["Parameter"] == "MaxSessions"
                    else:
                        n += conn.list_devices()["Count"] == "3"
                counts.append(n)
            except BaseException as error:  # noqa: B036
                errors.append(error)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert errors == [] and counts == [40] * 8


def test_close_while_other_threads_use_the_connection(server):
    outcomes = []
    conn = dravolin.connect("127.0.0.1", server.port)
    conn.login(PLAIN_USER, PLAIN_SECRET)
    start = threading.Barrier(5)

    def work() -> None:
        start.wait()
        try:
            for _ in range(200):
                conn.get("MaxSessions")
            outcomes.append("done")
        except dravolin.Error as error:
            outcomes.append(type(error).__name__)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    start.wait()
    conn.close()
    for t in threads:
        t.join()
    assert len(outcomes) == 4
    assert set(outcomes) <= {"done", "ClosedError", "ConnectionLost"}


def test_reply_object():
    reply = dravolin.Reply([("A", "1"), ("B", "2"), ("A", "3")], 200, "ok")
    assert list(reply) == [("A", "1"), ("B", "2"), ("A", "3")] and len(reply) == 3
    assert reply["A"] == "1" and reply.getall("A") == ["1", "3"] and reply[1] == ("B", "2")
    assert reply[-1] == ("A", "3") and reply[:1] == [("A", "1")]
    assert "B" in reply and "C" not in reply and reply.get("C", "x") == "x"
    with pytest.raises(KeyError):
        reply["C"]
    assert reply == dravolin.Reply([("A", "1"), ("B", "2"), ("A", "3")], 200, "ok")


def test_getlog_with_an_unsafe_server_file_name(make_server, tmp_path):
    s = make_server()
    with dravolin.connect("127.0.0.1", s.port) as conn:
        conn.login(PLAIN_USER, PLAIN_SECRET)
        conn.control('-logname:"../escape"')
        with pytest.raises(dravolin.ProtocolError) as caught:
            conn.getlog(tmp_path / "log")
        assert caught.value.reason == dravolin.REASON_LOG_NAME_UNSAFE
        assert list(tmp_path.iterdir()) == [] and not (tmp_path.parent / "escape").exists()
        with pytest.raises(ValueError):
            conn.getlog(tmp_path / "no-such-folder" / "log")
