#!/usr/bin/env python3
"""Lists the devices of several servers at once, with asyncio and the dravolin package.

    DRAVOLIN_PASSWORD=secret python3 list_devices_async.py [--user admin] [--chap]
        [--timeout 5] HOST:PORT [HOST:PORT ...]

PORT is the service port (the library connects to PORT + 1). The password comes from the
environment variable DRAVOLIN_PASSWORD (or is asked for), never from the command line. One
line per device, "HOST:PORT DEVICE TYPE SIZE STATUS"; a server that fails gets one line on
standard error and the exit status 1, the others are still listed.
"""

import argparse
import asyncio
import getpass
import os
import sys

import dravolin


async def list_one(target, user, password, chap, timeout):
    host, _, port = target.rpartition(":")
    conn = await dravolin.aio.connect(host, int(port), timeout=timeout, reply_timeout=timeout)
    async with conn:
        await conn.login(user, password, chap=chap, encrypt=chap)
        reply = await conn.list_devices()
    # The records come in server order: Count, then Device, Type, Size, Status per device.
    devices = []
    for name, value in reply:
        if name == "Device":
            devices.append({"Device": value})
        elif devices:
            devices[-1][name] = value
    return devices


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("targets", nargs="+", metavar="HOST:PORT")
    parser.add_argument("--user", default="admin")
    parser.add_argument("--chap", action="store_true", help="CHAP login with encryption")
    parser.add_argument("--timeout", type=float, default=5.0, help="seconds (connect, replies)")
    args = parser.parse_args()
    password = os.environ.get("DRAVOLIN_PASSWORD")
    if password is None:
        password = getpass.getpass("password for %s: " % args.user)

    results = await asyncio.gather(
        *(list_one(t, args.user, password, args.chap, args.timeout) for t in args.targets),
        return_exceptions=True,
    )
    status = 0
    for target, result in zip(args.targets, results):
        if isinstance(result, dravolin.Error):
            print("%s: %s" % (target, result), file=sys.stderr)
            status = 1
        elif isinstance(result, BaseException):
            raise result
        else:
            for d in result:
                print(target, d["Device"], d.get("Type", "-"), d.get("Size", "-"),
                      d.get("Status", "-"))
    return status


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
