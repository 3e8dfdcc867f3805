"""examples/list_devices_async.py against three stand-in servers (one with CHAP users only)."""

from __future__ import annotations

import os
import subprocess
import sys

from conftest import HERE, PLAIN_SECRET, REPO, free_port

EXAMPLE = os.path.join(REPO, "examples", "list_devices_async.py")


def test_example_lists_devices_of_several_servers(server, make_server):
    other = make_server()
    refused = free_port() - 1
    targets = ["127.0.0.1:%d" % server.port, "127.0.0.1:%d" % other.port]
    environment = dict(os.environ, PYTHONPATH=os.path.dirname(HERE), DRAVOLIN_PASSWORD=PLAIN_SECRET)
    result = subprocess.run([sys.executable, EXAMPLE, "--timeout", "60"] + targets,
                            env=environment, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    for target in targets:
        assert "%s disk0 file 1073741824 online" % target in lines
        assert "%s cdrom0 image 734003200 offline" % target in lines
    result = subprocess.run([sys.executable, EXAMPLE, targets[0], "127.0.0.1:%d" % refused],
                            env=environment, capture_output=True, text=True, timeout=120)
    assert result.returncode == 1
    assert "%s disk0" % targets[0] in result.stdout
    assert "status 105" in result.stderr and PLAIN_SECRET not in result.stderr
