"""examples/convert_folder.py on a small folder: in local worker processes (twice,
with and without tqdm) and on a Dask cluster of two workers; on an empty folder
and on two files that would share an output."""

import os
import pathlib
import subprocess
import sys

import distributed
import pytest
from conftest import DATA, REPO

import velq

SCRIPT = REPO / "examples" / "convert_folder.py"
# Two sample documents (tests/data) and an object of more fields than a
# definition may have.
CONVERTED = {"orders.JSON": "orders.velq", "nested/track.json": "nested/track.velq"}
REFUSED = "nested/wide.json"

# These test the example's orchestration; the conversions are the same dumps
# calls the rest of the suite runs under the sanitizers. There, LeakSanitizer
# replaces every child's exit status, and the runner's script on standard input
# cannot be re-imported by the cluster's spawned workers.
pytestmark = pytest.mark.skipif(
    os.environ.get("VELQ_UNDER_ASAN") == "1", reason="worker processes under the preloaded sanitizer runtime"
)


@pytest.fixture
def source(tmp_path):
    folder = tmp_path / "in"
    (folder / "nested").mkdir(parents=True)
    for name in CONVERTED:
        (folder / name).write_bytes((DATA / pathlib.Path(name).with_suffix(".json").name).read_bytes())
    (folder / REFUSED).write_text("{" + ",".join(f'"f{i}":{i}' for i in range(300)) + "}")
    (folder / "notes.txt").write_text("not a .json file")
    return folder


def run(*args, env=None):
    return subprocess.run(
        [sys.executable, str(SCRIPT), *map(str, args)], capture_output=True, text=True, timeout=300, env=env
    )


def check(result, source, output, kept=()):
    assert result.returncode == 1, result.stderr  # a file was refused
    texts = {name: (source / name).read_text(encoding="utf-8") for name in CONVERTED}
    bytes_in = sum(len(text.encode()) for text in texts.values())
    bytes_out = sum(len(velq.dumps(text)) for text in texts.values())
    with pytest.raises(ValueError) as refusal:
        velq.dumps((source / REFUSED).read_text(encoding="utf-8"))
    assert result.stdout.startswith(f"found: 3 JSON files under {source} (")
    assert f"written: 2 files, {bytes_in:,} bytes of JSON in, {bytes_out:,} bytes of VELQ out" in result.stdout
    summary_end = f"refused: 1 file\n  {REFUSED}: {refusal.value}\n"
    if kept:
        summary_end += "kept from an earlier run: 1 output of a refused file\n" + "".join(f"  {k}\n" for k in kept)
    assert result.stdout.endswith(summary_end)
    # Exactly the converted files: no temporary file, nothing new for the refused one.
    written = sorted(str(path.relative_to(output)) for path in output.rglob("*") if path.is_file())
    assert written == sorted([*CONVERTED.values(), *kept])
    for name, target in CONVERTED.items():
        assert (output / target).read_bytes() == velq.dumps(texts[name])


def test_local_processes_and_a_second_run(source, tmp_path):
    output = tmp_path / "out"
    check(run(source, output, "--workers", "2"), source, output)

    # The second run replaces every output, a damaged one included, names the
    # refused file's output left from an earlier run and leaves it alone;
    # without tqdm it counts plainly.
    (output / "orders.velq").write_bytes(b"damaged")
    earlier = output / pathlib.Path(REFUSED).with_suffix(".velq")
    earlier.write_bytes(b"earlier")
    hidden = tmp_path / "no-tqdm"
    hidden.mkdir()
    (hidden / "tqdm.py").write_text("raise ImportError('hidden for this test')\n")
    result = run(source, output, env={**os.environ, "PYTHONPATH": str(hidden)})
    check(result, source, output, kept=[str(earlier.relative_to(output))])
    assert earlier.read_bytes() == b"earlier"
    assert result.stderr.endswith("3/3 files\n")


def test_empty_folder_and_a_shared_output(tmp_path):
    source, output = tmp_path / "in", tmp_path / "out" / "deeper"
    source.mkdir()
    result = run(source, output, "--workers", "1")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"found: 0 JSON files under {source} (")
    assert output.is_dir()

    # Both would become a.velq: the first in path order is written, the other refused.
    (source / "a.JSON").write_text("[1]")
    (source / "a.json").write_text("[2]")
    result = run(source, output, "--workers", "1")
    assert result.returncode == 1
    assert result.stdout.endswith("refused: 1 file\n  a.json: same output as a.JSON\n")
    assert (output / "a.velq").read_bytes() == velq.dumps("[1]")


def test_dask_cluster(source, tmp_path):
    output = tmp_path / "out"
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
    ) as cluster:
        result = run(source, output, "--dask", cluster.scheduler_address)
    check(result, source, output)
    assert f"(the Dask cluster at {cluster.scheduler_address}, " in result.stdout
