"""A Dask cluster started as the README starts one: a scheduler and workers
run as separate processes by the environment's python. Workers of another
interpreter, which cannot import edgeseg, are refused before any work."""
import contextlib
import os
import re
import shlex
import socket
import subprocess
import sys

import numpy as np
import pytest

import edgeseg
import edgeseg.dask
from support import ROOT

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

SETTINGS = dict(class_count=3, window_size=5, edge_weight=300)
STARTUP_SECONDS = 120
DEBIANS_PYTHON = "/usr/bin/python3"


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def _processes(folder):
    """Starts commands as processes of their own; stops every one at the end."""
    started = []
    # Nothing of the checkout or the test's path reaches the processes.
    environment = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}

    def start(*command):
        log = open(folder / f"process-{len(started)}.log", "w")
        started.append(subprocess.Popen(command, cwd=folder, env=environment, stdout=log, stderr=subprocess.STDOUT))
        log.close()

    try:
        yield start
    finally:
        for process in started:
            process.terminate()
        for process in started:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def _readme_commands():
    """The scheduler's and the workers' commands of the README's Dask section."""
    readme = (ROOT / "README.md").read_text()
    start = readme.index("\n## Volumes larger than one machine")
    section = readme[start:readme.index("```python", start)]
    commands = [shlex.split(command, comments=True)
                for command in re.findall(r"^~/edgeseg-env/bin/python -m .*$", section, re.M)]
    assert [command[2] for command in commands] == ["distributed.cli.dask_scheduler", "distributed.cli.dask_worker"]
    return commands


def _as_run_here(command, python, address):
    """A README command with this environment's python (or another), the
    scheduler's address, and this machine's loopback address."""
    command = [python] + [address if word == "tcp://SCHEDULER:8786" else word for word in command[1:]]
    return command + ["--host", "127.0.0.1", "--no-dashboard"]


def test_workers_started_as_the_readme_says_give_the_one_call_labels_and_others_are_refused(tmp_path):
    port = _free_port()
    address = f"tcp://127.0.0.1:{port}"
    volume = np.random.default_rng(5).integers(0, 255, (6, 24, 32)).astype(np.uint8)
    scheduler, worker = _readme_commands()
    with _processes(tmp_path) as start:
        start(*_as_run_here(scheduler, sys.executable, address), "--port", str(port))
        for _ in range(2):
            start(*_as_run_here(worker, sys.executable, address), "--local-directory", str(tmp_path))
        with distributed.Client(address, timeout=STARTUP_SECONDS) as client:
            client.wait_for_workers(2, timeout=STARTUP_SECONDS)
            labels = edgeseg.dask.sorvik(da.from_array(volume, chunks=(2, -1, -1)), **SETTINGS)
            assert np.array_equal(labels.compute(), edgeseg.sorvik(volume, **SETTINGS))

            start(*_as_run_here(worker, DEBIANS_PYTHON, address), "--local-directory", str(tmp_path))
            client.wait_for_workers(3, timeout=STARTUP_SECONDS)
            stranger = next(name for name, info in client.get_versions(packages=["edgeseg"])["workers"].items()
                            if info["packages"]["edgeseg"] is None)
            fix = f"{sys.executable} -m distributed.cli.dask_worker {address}"
            with pytest.raises(ImportError, match="1 of the cluster's 3 workers cannot import edgeseg") as caught:
                edgeseg.dask.sorvik(da.from_array(volume, chunks=(2, -1, -1)), **SETTINGS)
            assert f"{stranger} (no edgeseg)" in str(caught.value) and fix in str(caught.value)
            with pytest.raises(ImportError, match="cannot import edgeseg"):
                edgeseg.dask.sorvik_batch(da.from_array(volume), **SETTINGS)
