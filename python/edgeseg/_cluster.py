"""The distributed client the Dask drivers run on, and the check that its
workers can run them."""
import sys

import dask.base


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
