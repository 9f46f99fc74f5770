"""Peers for another protocol, for bench/python_calls.sh (never a test):
Debian's python3-easysnmp and python3-pysnmp4 against a local snmpd, timed
as python_calls.py times tagproto, so that the figures stand side by side.

python3 python_peers.py steady PORT CALLS
    one steady GET of sysServices.0 by each: median microseconds
python3 python_peers.py fleet PORT DEVICES RUNS
    DEVICES reads at once by each (easysnmp has no concurrent API: one
    after the other, a session each; pysnmp by its concurrent API): median
    wall milliseconds and the fewest answered

snmpd listens on one address, so the "devices" are that many sessions to
the one agent. pysnmp4's asyncio API does not import on Python 3.11 (it is
written with asyncio.coroutine, which 3.11 removed); its callback API, on
asyncore, is the concurrent one that runs.
"""

import statistics
import sys
import time
import warnings

warnings.simplefilter("ignore")  # asyncore's deprecation, from pysnmp

from easysnmp import Session  # noqa: E402
from pysnmp.hlapi import asyncore as pysnmp_async  # noqa: E402
from pysnmp.hlapi import (CommunityData, ContextData, ObjectIdentity, ObjectType, SnmpEngine,  # noqa: E402
                          UdpTransportTarget, getCmd)

OID = "1.3.6.1.2.1.1.7.0"  # sysServices.0, an integer as TAG_DEV_ID is
HOST = "127.0.0.1"


def per_call(call, calls: int, batch: int) -> float:
    """Median microseconds of one call, over batches."""
    times = []
    for _ in range(max(1, calls // batch)):
        start = time.perf_counter()
        for _ in range(batch):
            call()
        times.append((time.perf_counter() - start) / batch * 1e6)
    return statistics.median(times)


def steady(port: int, calls: int) -> None:
    session = Session(hostname=HOST, remote_port=port, community="public", version=2, use_numeric=True)

    def easy() -> None:
        if session.get(OID).value != "72":
            raise SystemExit("easysnmp: unexpected sysServices")

    engine = SnmpEngine()
    args = (engine, CommunityData("public", mpModel=1), UdpTransportTarget((HOST, port)), ContextData(),
            ObjectType(ObjectIdentity(OID)))

    def pysnmp() -> None:
        error, status, _, _ = next(getCmd(*args))
        if error or status:
            raise SystemExit(f"pysnmp: {error or status}")

    for _ in range(200):
        easy()
        pysnmp()
    # pysnmp is several times slower: a tenth of the calls, in smaller batches.
    easy_us = statistics.median(per_call(easy, calls // 5, 100) for _ in range(5))
    pysnmp_us = statistics.median(per_call(pysnmp, calls // 50, 20) for _ in range(5))
    print(f"easysnmp {easy_us:.1f} pysnmp {pysnmp_us:.1f}")


def easy_fleet(port: int, devices: int) -> int:
    answered = 0
    for _ in range(devices):
        session = Session(hostname=HOST, remote_port=port, community="public", version=2, use_numeric=True,
                          timeout=2, retries=2)
        try:
            answered += session.get(OID).value == "72"
        except Exception:  # easysnmp raises its own for a timeout; counted as unanswered
            pass
    return answered


def pysnmp_fleet(port: int, devices: int) -> int:
    engine = pysnmp_async.SnmpEngine()
    answered = [0]

    def done(_engine, _handle, error, status, _index, binds, _context) -> None:
        if not error and not status and int(binds[0][1]) == 72:
            answered[0] += 1

    for _ in range(devices):
        pysnmp_async.getCmd(engine, pysnmp_async.CommunityData("public", mpModel=1),
                            pysnmp_async.UdpTransportTarget((HOST, port), timeout=2, retries=2),
                            pysnmp_async.ContextData(), pysnmp_async.ObjectType(pysnmp_async.ObjectIdentity(OID)),
                            cbFun=done)
    engine.transportDispatcher.runDispatcher()
    engine.transportDispatcher.closeDispatcher()
    return answered[0]


def fleet(port: int, devices: int, runs: int) -> None:
    for name, way in (("easysnmp-sequential", easy_fleet), ("pysnmp-concurrent", pysnmp_fleet)):
        walls = []
        for _ in range(runs):
            start = time.perf_counter()
            answered = way(port, devices)
            walls.append(((time.perf_counter() - start) * 1e3, answered))
            time.sleep(0.2)
        print(f"{name} {statistics.median(w for w, _ in walls):.2f} {min(a for _, a in walls)}")


if __name__ == "__main__":
    numbers = [int(a) for a in sys.argv[2:]]
    {"steady": steady, "fleet": fleet}[sys.argv[1]](*numbers)
