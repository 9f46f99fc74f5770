"""mypy knows the API from the stubs: a user's correct file passes, and the
faults a stub should catch are reported."""

import os
import subprocess
import sys

import pytest

GOOD = '''
import asyncio
import tagproto

values = tagproto.get("127.0.0.1:60000", "TAG_DEV_ID", 9, timeout=0.5, retries=1)
back = tagproto.set("[::1]:60000", {"TAG_DEV_LABEL": "x", 8: 1}, verify=False)
for r in tagproto.poll(["127.0.0.1"], "TAG_DEV_ID", budget=2.0):
    t: str = r.target
    rtt: float | None = r.round_trip
    if isinstance(r.error, tagproto.Mismatch):
        print(r.error.differences, r.error.target, r.error.status)
kind: str = tagproto.tags["TAG_DEV_ID"].kind
tid: int = tagproto.tag("tag_dev_id").id
v = tagproto.parse_value("TAG_DEV_ID", "2A")
label = values["TAG_DEV_LABEL"]
try:
    tagproto.get("127.0.0.1", "TAG_IO_LABEL")
except tagproto.ErrorReply as e:
    errors: dict[str | int, int | float | str | bytes | None] = e.tags

async def main() -> None:
    print(await tagproto.aio.get("127.0.0.1", "TAG_DEV_ID"))
    async for r in tagproto.aio.poll(["127.0.0.1"], 8):
        print(r.status)
'''

BAD = '''
import tagproto
tagproto.get("127.0.0.1", 2.5)
tagproto.set("127.0.0.1", ["TAG_DEV_ID"])
tagproto.get("127.0.0.1", "TAG_DEV_ID", timeout="1")
n: int = tagproto.tags["TAG_DEV_ID"].name
'''


def test_mypy_knows_the_api_from_the_stubs(tmp_path):
    """One run over a correct user file and one with a fault a line."""
    if subprocess.run([sys.executable, "-m", "mypy", "--version"], capture_output=True).returncode != 0:
        pytest.skip("mypy is not installed")
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    env = dict(os.environ, MYPYPATH=os.environ["PYTHONPATH"])
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          "--cache-dir", str(tmp_path / "cache"), "good.py", "bad.py"],
                         capture_output=True, text=True, env=env, cwd=tmp_path)
    errors = [line.split(":")[:2] for line in run.stdout.splitlines() if ": error:" in line]
    assert errors == [["bad.py", "3"], ["bad.py", "4"], ["bad.py", "5"], ["bad.py", "6"]], run.stdout
