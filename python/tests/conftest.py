"""Real tagagent processes on loopback for the tests, on ports the agent takes
free itself (-p 0) and tells on its first line. TAGAGENT names the binary."""

import os
import socket
import subprocess

import pytest


class Agent:
    """A tagagent child process; ``targets`` lists its devices as HOST:PORT."""

    def __init__(self, *options: str, devices: int = 0, tmp_path=None) -> None:
        args = [os.environ["TAGAGENT"], "-p", "0", "-t", "120", *options]
        self.targets = []
        listing = None
        if devices:
            listing = os.path.join(str(tmp_path), f"fleet{id(self)}.txt")
            args += ["--devices", str(devices), "--targets-file", listing]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        first = self.process.stdout.readline()
        assert first.startswith("listening on "), first
        self.port = int(first.rsplit(":", 1)[1])
        host = "[::1]" if "::1" in options else "127.0.0.1"
        self.target = f"{host}:{self.port}"
        if listing:
            with open(listing) as f:
                self.targets = [line.strip() for line in f if line.strip()]

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(10)


@pytest.fixture
def agent_factory(tmp_path):
    started = []

    def start(*options: str, devices: int = 0) -> Agent:
        a = Agent(*options, devices=devices, tmp_path=tmp_path)
        started.append(a)
        return a

    yield start
    for a in started:
        a.stop()


@pytest.fixture
def agent(agent_factory):
    return agent_factory()


def free_udp_port(family=socket.AF_INET, host="127.0.0.1") -> int:
    """A UDP port of loopback nobody listens on (a moment ago)."""
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


@pytest.fixture
def silent_port():
    """A bound UDP socket on 127.0.0.1 that reads nothing: requests to it are
    never answered (and never refused)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    yield s.getsockname()[1]
    s.close()
