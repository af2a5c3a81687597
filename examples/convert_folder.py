"""Convert every .json file under a folder into a .velq file in an output folder.

    python examples/convert_folder.py SOURCE OUTPUT [--workers N]
    python examples/convert_folder.py SOURCE OUTPUT --dask tcp://scheduler:8786

Relative paths are kept: SOURCE/a/b.json becomes OUTPUT/a/b.velq. The suffix
is matched in any case (b.JSON too); a file whose output one before it in path
order already has (a.json after a.JSON) is refused. Every velq call holds the
interpreter lock, so the files are converted in worker processes, one per core
by default. With --dask they go to the workers of a Dask cluster instead
(`pip install "dask[distributed]"` where this runs); those workers need velq
installed and must see SOURCE and OUTPUT at the same paths, on a shared file
system.

Each output is written to a temporary file in its own folder and renamed into
place, so a file that fails leaves no partial output (an output of it from an
earlier run stays as it was), and running again replaces the outputs cleanly.
The closing summary counts the JSON files found, written and refused, gives
the bytes read and written, each refused file with velq's own message, and the
outputs of refused files that an earlier run left in place. The exit status is
1 when a file was refused.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import secrets
import sys
import time
from concurrent.futures import ProcessPoolExecutor, as_completed
from typing import NamedTuple

import velq


class Outcome(NamedTuple):
    source: str
    target: str
    bytes_in: int
    bytes_out: int
    error: str | None  # None when the file was written
    earlier_output: bool = False  # refused, and the target exists from an earlier run


def convert_file(source: str, target: str) -> Outcome:
    """Converts one JSON file into a VELQ file; runs in a worker process."""

    def refused(bytes_in: int, error: str) -> Outcome:
        return Outcome(source, target, bytes_in, 0, error, os.path.lexists(target))

    try:
        raw = pathlib.Path(source).read_bytes()
    except OSError as error:
        return refused(0, f"cannot read the file: {error}")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        return refused(len(raw), f"not UTF-8 text: {error}")

    folder, name = os.path.split(target)
    temporary = os.path.join(folder, f".{name}.{os.getpid()}.{secrets.token_hex(4)}.tmp")
    try:
        os.makedirs(folder, exist_ok=True)
        # dump compiles first and creates the file only once the bytes exist.
        velq.dump(text, temporary)
        written = os.stat(temporary).st_size
        os.replace(temporary, target)
    except (ValueError, OSError) as error:
        return refused(len(raw), str(error))
    finally:
        try:
            os.remove(temporary)
        except FileNotFoundError:
            pass
    return Outcome(source, target, len(raw), written, None)


def find_jobs(source: pathlib.Path, output: pathlib.Path) -> tuple[list[tuple[str, str]], list[Outcome]]:
    """(JSON file, VELQ file) pairs in path order, the suffix in any case, and the
    refusals of files whose output an earlier one in that order already has
    (a.json beside a.JSON)."""
    jobs: list[tuple[str, str]] = []
    clashes: list[Outcome] = []
    claimed: dict[str, pathlib.Path] = {}
    for path in sorted(source.rglob("*.json", case_sensitive=False)):
        if not path.is_file():
            continue
        target = str(output / path.relative_to(source).with_suffix(".velq"))
        if target in claimed:
            clashes.append(Outcome(str(path), target, 0, 0, f"same output as {claimed[target]}"))
        else:
            claimed[target] = path.relative_to(source)
            jobs.append((str(path), target))
    return jobs, clashes


class Counter:
    """The progress display when tqdm is not installed."""

    def __init__(self, total: int) -> None:
        self.total, self.done = total, 0
        self._show()

    def update(self, count: int) -> None:
        self.done += count
        self._show()

    def close(self) -> None:
        sys.stderr.write("\n")

    def _show(self) -> None:
        sys.stderr.write(f"\r{self.done}/{self.total} files")
        sys.stderr.flush()


def progress(total: int):
    try:
        from tqdm import tqdm
    except ImportError:
        return Counter(total)
    return tqdm(total=total, unit="file")


def run_local(jobs: list[tuple[str, str]], workers: int | None) -> list[Outcome]:
    outcomes = []
    bar = progress(len(jobs))
    try:
        with ProcessPoolExecutor(max_workers=workers) as pool:
            futures = [pool.submit(convert_file, source, target) for source, target in jobs]
            for future in as_completed(futures):
                outcomes.append(future.result())
                bar.update(1)
    finally:
        bar.close()
    return outcomes


def run_dask(jobs: list[tuple[str, str]], address: str) -> list[Outcome]:
    from distributed import Client, as_completed as dask_completed

    outcomes = []
    bar = progress(len(jobs))
    try:
        with Client(address) as client:
            sources = [source for source, _ in jobs]
            targets = [target for _, target in jobs]
            # pure=False: converting writes a file, so equal arguments must still run.
            futures = client.map(convert_file, sources, targets, pure=False)
            for future in dask_completed(futures):
                outcomes.append(Outcome(*future.result()))
                bar.update(1)
    finally:
        bar.close()
    return outcomes


def default_workers() -> int:
    if hasattr(os, "process_cpu_count"):
        return os.process_cpu_count() or 1
    return len(os.sched_getaffinity(0))


def plural(count: int, noun: str, nouns: str | None = None) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {nouns or noun + 's'}"


def summarize(outcomes: list[Outcome], source: pathlib.Path, output: pathlib.Path) -> str:
    written = [o for o in outcomes if o.error is None]
    refused = sorted((o for o in outcomes if o.error is not None), key=lambda o: o.source)
    kept = [o for o in refused if o.earlier_output]
    bytes_in = sum(o.bytes_in for o in written)
    bytes_out = sum(o.bytes_out for o in written)
    ratio = f" ({bytes_out / bytes_in:.1%})" if bytes_in else ""
    lines = [
        f"written: {plural(len(written), 'file')}, {bytes_in:,} bytes of JSON in, {bytes_out:,} bytes of VELQ out{ratio}",
        f"refused: {plural(len(refused), 'file')}",
    ]
    lines += [f"  {pathlib.Path(o.source).relative_to(source)}: {o.error}" for o in refused]
    if kept:
        # Left alone: this run has nothing to put in their place.
        outputs = plural(len(kept), "output of a refused file", "outputs of refused files")
        lines.append(f"kept from an earlier run: {outputs}")
        lines += [f"  {pathlib.Path(o.target).relative_to(output)}" for o in kept]
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Convert every .json file under a folder into .velq files.")
    parser.add_argument("source", type=pathlib.Path, help="folder searched for .json files (in any case), subfolders included")
    parser.add_argument("output", type=pathlib.Path, help="folder for the .velq files (created if missing)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, help="worker processes on this machine (default: one per core)")
    where.add_argument("--dask", metavar="ADDRESS", help="run on the Dask cluster whose scheduler is at ADDRESS")
    args = parser.parse_args(argv)
    if not args.source.is_dir():
        parser.error(f"{args.source} is not a folder")
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")

    source, output = args.source.resolve(), args.output.resolve()
    try:
        output.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        parser.error(f"cannot create {output}: {error}")
    jobs, clashes = find_jobs(source, output)
    started = time.perf_counter()
    if args.dask:
        outcomes = run_dask(jobs, args.dask)
        engine = f"the Dask cluster at {args.dask}"
    else:
        workers = args.workers or default_workers()
        outcomes = run_local(jobs, workers)
        engine = plural(workers, "worker process", "worker processes")
    elapsed = time.perf_counter() - started
    outcomes += clashes

    print(f"found: {plural(len(outcomes), 'JSON file')} under {source} ({engine}, {elapsed:.2f} s)")
    print(summarize(outcomes, source, output))
    return 1 if any(o.error is not None for o in outcomes) else 0


if __name__ == "__main__":
    sys.exit(main())
