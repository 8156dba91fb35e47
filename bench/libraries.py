"""Every library the jobs can measure, by name: the peers, and dralm itself."""

from __future__ import annotations

from engine import Engine
from peers import PEERS


def engine(name: str, dim: int, metric: str, threads: int) -> Engine:
    if name == "dralm":
        from ours import DralmEngine  # imported lazily: the peers run without the build
        return DralmEngine(dim, metric, threads)
    if name not in PEERS:
        raise ValueError(f"unknown library {name!r}")
    return PEERS[name](dim, metric, threads)
