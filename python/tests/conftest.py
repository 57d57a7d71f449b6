"""Fixtures: the library, and simulated units started on loopback addresses of their own."""

from __future__ import annotations

import os
import random
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

PYTHON_DIR = Path(__file__).resolve().parent.parent
REPO = PYTHON_DIR.parent
sys.path.insert(0, str(PYTHON_DIR))

import zel_api  # noqa: E402

UNIT_PORT = 6653
SIM = os.environ.get("ZEL_UNIT_SIM", str(REPO / "build" / "zel-unit-sim"))
# The table entry the tests give to Unit.from_table.
TABLE_INDEX = 7


def _random_loopback() -> str:
    return f"127.{random.randint(1, 254)}.{random.randint(0, 255)}.{random.randint(1, 254)}"


def _wait_until_listening(proc: subprocess.Popen, address: str, deadline: float) -> bool:
    """Retry a TCP connect until the unit accepts; False when the simulator exited first."""
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection((address, UNIT_PORT), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.02)
    raise TimeoutError(f"zel-unit-sim did not listen on {address}:{UNIT_PORT}")


@pytest.fixture(scope="session")
def lib():
    """The library under test, made the one Unit objects use."""
    loaded = zel_api.load_library()
    zel_api.use_library(loaded)
    return loaded


def _start_simulators(tmp_path) -> Iterator[Callable[..., List[str]]]:
    procs: List[subprocess.Popen] = []

    def start(*options: str, units: int = 1) -> List[str]:
        if not os.access(SIM, os.X_OK):
            pytest.fail(f"no simulator at {SIM} (set ZEL_UNIT_SIM)")
        for _ in range(10):  # another test run may hold the address
            first = _random_loopback()
            net, host = first.rsplit(".", 1)
            addresses = [f"{net}.{(int(host) + i - 1) % 254 + 1}" for i in range(units)]
            log = tmp_path / f"sim-{first}.log"
            listen = [arg for a in addresses for arg in ("--listen", a)]
            with log.open("wb") as err:
                proc = subprocess.Popen([SIM, *listen, *options], stdout=subprocess.DEVNULL, stderr=err)
            procs.append(proc)
            deadline = time.monotonic() + 10
            if all(_wait_until_listening(proc, a, deadline) for a in addresses):
                return addresses
        raise RuntimeError(f"zel-unit-sim would not start: {log.read_text(errors='replace')}")

    yield start
    for proc in procs:
        if proc.poll() is None:
            proc.terminate()
    for proc in procs:
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@pytest.fixture
def start_sim(lib, tmp_path) -> Iterator[Callable[..., str]]:
    """start_sim(*options) runs a simulated unit with extra command-line options on a random
    loopback address and returns the address; every unit is stopped at teardown. What the
    simulator writes to stderr (its log, with --verbose) goes to ``sim_log(address)``."""
    starter = _start_simulators(tmp_path)
    start = next(starter)
    yield lambda *options: start(*options)[0]
    next(starter, None)


@pytest.fixture
def start_units(lib, tmp_path) -> Iterator[Callable[..., List[str]]]:
    """start_units(count, *options): one simulator process serving `count` units, each on an
    address of its own (consecutive on one random 127.x.y network); returns the addresses."""
    starter = _start_simulators(tmp_path)
    start = next(starter)
    yield lambda count, *options: start(*options, units=count)
    next(starter, None)


@pytest.fixture
def sim_log(tmp_path) -> Callable[[str], str]:
    """sim_log(address): what the simulator started there has written to stderr so far."""
    return lambda address: (tmp_path / f"sim-{address}.log").read_text(errors="replace")


def accepted_connections(read_log: Callable[[], str], at_least: int = 0) -> int:
    """Connections a simulator started with --verbose has accepted, from its log. The log line
    follows the accept a little later: wait (up to 5 s) for ``at_least`` of them."""
    deadline = time.monotonic() + 5
    while True:
        count = sum(1 for line in read_log().splitlines()
                    if " connection from " in line and not line.endswith(" ended"))
        if count >= at_least or time.monotonic() > deadline:
            return count
        time.sleep(0.02)


@pytest.fixture
def sim(start_sim) -> str:
    """A simulated unit with factory settings."""
    return start_sim()


def open_unit(family: str, address: str, **options) -> zel_api.Unit:
    """A unit of the given family ("instance" or "table"), not yet connected."""
    if family == "instance":
        return zel_api.Unit(address, **options)
    return zel_api.Unit.from_table(TABLE_INDEX, address, **options)


@pytest.fixture(params=["instance", "table"])
def family(request) -> str:
    return request.param


@pytest.fixture
def unit(sim) -> Iterator[zel_api.Unit]:
    """A connected unit (its own instance) on a factory-fresh simulated unit."""
    with zel_api.Unit(sim) as u:
        yield u


@pytest.fixture
def any_unit(family, sim) -> Iterator[zel_api.Unit]:
    """A connected unit of each family on a factory-fresh simulated unit, for the operations
    both families offer."""
    with open_unit(family, sim) as u:
        yield u
