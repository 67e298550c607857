"""The distributed client the Dask drivers run on, the check that its
workers can run them, and the driver's waits for results, which end with an
error where the cluster can no longer produce them."""
import sys
import time

import dask
import dask.base

# How long the driver waits for results while no running worker has any task
# to run (every worker paused for memory, none left, or tasks the scheduler
# no longer hands out) before it gives up with a RuntimeError; and how often
# it looks.
STALL_SECONDS = 120.0
LOOK_SECONDS = 2.0


def active_client():
    """The distributed client that dask.persist and dask.compute run on, or
    None for another scheduler."""
    client = getattr(dask.base.get_scheduler(), "__self__", None)
    return client if type(client).__name__ == "Client" else None


def checked_client():
    """The active client, once its workers are known to run edgeseg (see
    require_edgeseg_on_workers); None for another scheduler."""
    client = active_client()
    if client is not None:
        require_edgeseg_on_workers(client)
    return client


def require_edgeseg_on_workers(client):
    """Refuses (ImportError) a cluster with a worker that cannot import
    edgeseg at this process's version: its tasks would fail there, and Dask
    would report them far from the cause. A worker started by another
    interpreter than the one edgeseg is installed for (Debian's
    /usr/bin/dask beside a virtual environment) is the usual case."""
    from . import __version__

    workers = client.get_versions(packages=["edgeseg"])["workers"]
    found = {address: info["packages"].get("edgeseg") for address, info in workers.items()}
    wrong = {address: version for address, version in found.items() if version != __version__}
    if not wrong:
        return
    described = ", ".join(f"{address} ({'no edgeseg' if version is None else 'edgeseg ' + version})"
                          for address, version in sorted(wrong.items()))
    scheduler = client.scheduler.address
    raise ImportError(
        f"{len(wrong)} of the cluster's {len(found)} workers cannot import edgeseg {__version__}: {described}. Start "
        f"each worker with the Python environment edgeseg is installed in: {sys.executable} -m "
        f"distributed.cli.dask_worker {scheduler} (with the options it had)."
    )


def computed(*collections):
    """dask.compute(*collections); on a distributed client through
    `gathered`, so that a cluster that cannot finish them raises instead of
    leaving the caller waiting."""
    client = active_client()
    if client is None:
        return dask.compute(*collections)
    return tuple(gathered(client, client.compute(list(collections))))


def results(persisted):
    """The values of persisted Dask objects (each with one key), in order.
    On a cluster they are gathered directly (computing them again would
    resubmit a graph), through `gathered`."""
    client = active_client()
    if client is None:
        return dask.compute(*persisted)
    from distributed import Future

    return gathered(client, [Future(item.key, client) for item in persisted])


def gathered(client, futures):
    """The futures' results, waiting as long as some running worker has
    tasks. A cluster on which none has for STALL_SECONDS on end, the futures
    unfinished, cannot go on by itself: every worker paused for memory, none
    left, or tasks stranded when all workers were lost at once, which the
    scheduler then hands to none. That ends the wait with a RuntimeError
    saying which."""
    from distributed import TimeoutError, wait

    idle_since = None
    while True:
        try:
            wait(futures, timeout=LOOK_SECONDS)
            return client.gather(futures)
        except TimeoutError:
            pass
        workers = client.scheduler_info()["workers"]
        if _working(client, workers):
            idle_since = None
        elif idle_since is None:
            idle_since = time.monotonic()
        elif time.monotonic() - idle_since >= STALL_SECONDS:
            raise RuntimeError(_stalled(workers, sum(not future.done() for future in futures)))


def _working(client, workers):
    """Whether some worker runs a task, or some running (not paused) worker
    has tasks to run."""
    if any(worker.get("metrics", {}).get("task_counts", {}).get("executing") for worker in workers.values()):
        return True
    running = [address for address, worker in workers.items() if worker.get("status") == "running"]
    return bool(running) and any(client.processing(workers=running).values())


def _stalled(workers, unfinished):
    """Why a run's results stopped coming, from the workers' states."""
    waited = f"{STALL_SECONDS:g} s"
    if not workers:
        why = f"the cluster has had no worker for {waited}"
    elif all(worker.get("status") == "paused" for worker in workers.values()):
        why = (f"all {len(workers)} workers have been paused for {waited}: their memory is above "
               "distributed.worker.memory.pause of their memory limit; give them more memory (dask worker "
               "--memory-limit) or use smaller chunks")
    else:
        why = (f"no worker has run a task for {waited}: the scheduler no longer hands the run's tasks to any worker, "
               "as happens after every worker was lost at once; see the workers' logs for why they were lost")
    return f"the Dask run cannot finish ({unfinished} of its results outstanding): {why}."
