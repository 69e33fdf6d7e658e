"""examples/encode_folder.py: a Dask cluster of worker processes gives the
same files as the serial run."""

import gzip
import importlib.util
import os
import pathlib
import random

import pytest

import alphabet as ab

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def example():
    path = EXAMPLES / "encode_folder.py"
    if not path.exists():
        pytest.skip("the examples are not beside the tests")
    found = importlib.util.spec_from_file_location("encode_folder", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture
def folder(tmp_path):
    rng = random.Random(7)
    source = tmp_path / "in"
    source.mkdir()
    for n in range(5):
        records = [(f"f{n}r{i}", "".join(rng.choices("ACGTNacgt", k=rng.randrange(0, 90))))
                   for i in range(rng.randrange(1, 60))]  # fmt: skip
        suffix = ".fq.gz" if n % 2 else ".fastq.gz"
        with gzip.open(source / f"sample{n}{suffix}", "wb") as out:
            ab.write(out, [(rid, seq, "I" * len(seq)) for rid, seq in records])
    (source / "notes.txt").write_text("not an input")
    return tmp_path


def contents(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


def test_the_serial_run_writes_each_files_codes(folder):
    encode_folder = example()
    results = encode_folder.encode_folder(str(folder / "in"), str(folder / "serial"))
    written = contents(folder / "serial")
    assert list(written) == [f"sample{n}.codes" for n in range(5)]
    coder = ab.Alphabet("ACGTN", ignore_case=True)
    for (name, data), (records, codes) in zip(written.items(), results, strict=True):
        source = next((folder / "in").glob(name.replace(".codes", ".*gz")))
        expected = b"".join(
            len(r.sequence).to_bytes(8, "little") + r.sequence
            for r in ab.read(source, alphabet=coder)
        )
        assert data == expected and len(data) == 8 * records + codes


def test_a_local_cluster_of_processes_writes_the_same_files(folder, monkeypatch):
    distributed = pytest.importorskip("dask.distributed")
    encode_folder = example()
    encode_folder.encode_folder(str(folder / "in"), str(folder / "serial"))
    # Worker processes import the example by name, as a cluster's workers
    # import an installed module.
    path = os.pathsep.join(filter(None, [str(EXAMPLES), os.environ.get("PYTHONPATH")]))
    monkeypatch.setenv("PYTHONPATH", path)
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import encode_folder as by_name

    try:
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=None)  # fmt: skip
    except Exception as error:  # no processes, no sockets: nothing to test here
        pytest.skip(f"dask cannot start workers here: {error}")
    with cluster, distributed.Client(cluster) as client:
        by_name.encode_folder(str(folder / "in"), str(folder / "cluster"), client)
        pids = set(client.run(os.getpid).values())
    assert len(pids) == 2 and os.getpid() not in pids
    assert contents(folder / "cluster") == contents(folder / "serial")
