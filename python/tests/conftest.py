"""Fixtures: the stand-in server as a child process, and a relay that re-cuts TCP streams.

DRAVOLIN_LIBRARY and DRAVOLIN_TESTSERVER name the library and the server (CTest sets both);
run by hand, the native build folder of the repository is used.
"""

from __future__ import annotations

import os
import random
import socket
import subprocess
import sys
import threading
from typing import Iterator, List, Optional

import pytest
import pytest_asyncio  # noqa: F401 - the async tests need it; fail here rather than skip them

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.dirname(HERE))
os.environ.setdefault(
    "DRAVOLIN_LIBRARY", os.path.join(REPO, "build", "native", "lib", "libDravolinClient.so.1")
)
SERVER = os.environ.get("DRAVOLIN_TESTSERVER") or os.path.join(
    REPO, "build", "native", "bin", "dravolin-testserver"
)

PLAIN_USER, PLAIN_SECRET = "admin", "Pl4in-S3cret-Word"
CHAP_USER, CHAP_SECRET = "chapuser", "Ch4p-S3cret-Word"
PEER_NAME, PEER_SECRET = "srv", "P33r-S3cret-Word"
SECRETS = (PLAIN_SECRET, CHAP_SECRET, PEER_SECRET)


class Server:
    """A dravolin-testserver child; ends when its standard input closes (and after 10 min)."""

    def __init__(self, *options: str) -> None:
        arguments = [
            SERVER, "--exit-on-stdin-close", "--exit-after", "600",
            "--user", "%s:%s" % (PLAIN_USER, PLAIN_SECRET),
            "--chap-user", "%s:%s" % (CHAP_USER, CHAP_SECRET),
            "--peer", "%s:%s" % (PEER_NAME, PEER_SECRET),
        ] + list(options)
        self.process = subprocess.Popen(
            arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL
        )
        assert self.process.stdout is not None
        line = self.process.stdout.readline().decode()
        if not line.startswith("listening "):
            self.stop()
            raise RuntimeError("the stand-in server did not start: %r" % line)
        self.listen_port = int(line.split()[2])
        self.port = self.listen_port - 1  # the service port given to the library

    def stop(self) -> None:
        if self.process.stdin:
            self.process.stdin.close()
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.process.stdout:
            self.process.stdout.close()


@pytest.fixture(scope="module")
def server() -> Iterator[Server]:
    s = Server()
    yield s
    s.stop()


@pytest.fixture
def make_server() -> Iterator:
    started: List[Server] = []

    def make(*options: str) -> Server:
        s = Server(*options)
        started.append(s)
        return s

    yield make
    for s in started:
        s.stop()


class Relay:
    """A loopback relay in front of a server that re-cuts both directions into random pieces
    of 1..max_piece bytes, each in its own send, as a real network's segments do."""

    def __init__(self, target_port: int, max_piece: int = 700, seed: int = 1) -> None:
        self.target = target_port
        self.max_piece = max_piece
        self.seed = seed
        self.pieces = 0
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.listen_port = self.listener.getsockname()[1]
        self.port = self.listen_port - 1
        self.lock = threading.Lock()
        self.sockets: List[socket.socket] = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self) -> None:
        n = 0
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.target))
            for s in (client, upstream):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                self.sockets += [client, upstream]
            n += 1
            for a, b, seed in ((client, upstream, n * 2), (upstream, client, n * 2 + 1)):
                threading.Thread(target=self._pump, args=(a, b, self.seed * 1000 + seed),
                                 daemon=True).start()

    def _pump(self, source: socket.socket, sink: socket.socket, seed: int) -> None:
        rng = random.Random(seed)
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                view = memoryview(data)
                while view:
                    piece = rng.randint(1, self.max_piece)
                    sink.sendall(view[:piece])
                    view = view[piece:]
                    self.pieces += 1
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def close(self) -> None:
        self.listener.close()
        with self.lock:
            for s in self.sockets:
                try:
                    s.close()
                except OSError:
                    pass


@pytest.fixture
def relay(server: Server) -> Iterator[Relay]:
    r = Relay(server.listen_port)
    yield r
    r.close()


def free_port() -> int:
    """A loopback port that nothing listens on (bound, then released)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def run_python(code: str, env: Optional[dict] = None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs *code* in a fresh interpreter with the package on its path."""
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.path.dirname(HERE)
    if env:
        environment.update(env)
    return subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True,
                          text=True, timeout=timeout)
