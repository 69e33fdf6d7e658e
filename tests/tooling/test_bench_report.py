"""The benchmark suite's report: verdicts, the table and the C++ figures.

Nothing here times anything; the benchmarks themselves run only through
`make bench`.
"""

import os
import sys

import pytest

from helpers import ROOT

BENCH = str(ROOT / "bench")
if not os.path.isdir(BENCH):
    pytest.skip("needs the source tree's bench/", allow_module_level=True)
sys.path.insert(0, BENCH)

from common import (  # noqa: E402
    Figure,
    best_interleaved,
    format_ratio,
    format_table,
    missed,
    parse_core_tsv,
    parse_kernels_tsv,
)


@pytest.mark.parametrize(
    "figure, ratio, met",
    [
        # measured against baseline: the ratio is measured / baseline
        (Figure("slow", 130, "ns", 100, limit=1.3), 1.3, True),
        (Figure("slower", 131, "ns", 100, limit=1.3), 1.31, False),
        (Figure("faster than baseline", 50, "ns", 100, limit=1.3), 0.5, True),
        # strict: "faster than" is not met by a tie
        (Figure("tie", 100, "ms", 100, limit=1.0, strict=True), 1.0, False),
        (Figure("below", 99, "ms", 100, limit=1.0, strict=True), 0.99, True),
        # "at least 20x faster" is a ratio of at most 0.05
        (Figure("bulk", 10, "ms", 250, limit=0.05), 0.04, True),
        (Figure("bulk, too slow", 10, "ms", 150, limit=0.05), 10 / 150, False),
        # without a baseline the limit bounds the measured value itself
        (Figure("memory", 128, "B", limit=128), None, True),
        (Figure("memory, over", 129, "B", limit=128), None, False),
        (Figure("handles left", 1, "handles", limit=0), None, False),
        # without a limit there is no verdict
        (Figure("report only", 70, "ms", 400), 70 / 400, None),
    ],
    ids=lambda value: value.name if isinstance(value, Figure) else None,
)
def test_verdicts(figure, ratio, met):
    assert figure.ratio == (None if ratio is None else pytest.approx(ratio))
    assert figure.met is met
    assert missed([figure]) == ([figure] if met is False else [])


def test_table_marks_each_figure_under_its_part():
    parts = [
        ("first part", [Figure("row one", 131, "ns", 100, "floor", limit=1.3),
                        Figure("row two", 120, "ns", 100, "floor", limit=1.3)]),
        ("second part", [Figure("bulk", 4, "ms", 1000, "loop", limit=0.05, note="250x faster"),
                         Figure("memory", 97, "B", limit=128),
                         Figure("report", 70, "ms", 400, "map")]),
    ]  # fmt: skip
    lines = format_table(parts).splitlines()
    assert lines[1] == "-- first part" and lines[4] == "-- second part"
    row = {line.split("  ")[0]: line for line in lines if not line.startswith("-- ")}
    assert row["row one"].split()[-1] == "MISSED" and "1.31" in row["row one"]
    assert row["row two"].split()[-1] == "ok"
    # A small ratio keeps its digits instead of printing as 0.00.
    assert "0.004" in row["bulk"] and row["bulk"].endswith("ok  250x faster")
    assert "<= 128 B" in row["memory"] and row["memory"].endswith("ok")
    assert "MISSED" not in row["report"] and " ok" not in row["report"]
    # Columns line up: every ratio ends where the header's does.
    end = lines[0].index("ratio") + len("ratio")
    assert row["row one"][end - 4 : end] == "1.31" and row["row two"][end - 4 : end] == "1.20"


def test_best_interleaved_alternates_and_keeps_the_least():
    calls = []
    times = {"a": iter([3.0, 1.0, 2.0]), "b": iter([5.0, 6.0, 4.0])}

    def run(name):
        def measured():
            calls.append(name)
            return next(times[name])

        return measured

    assert best_interleaved(3, run("a"), run("b")) == [1.0, 4.0]
    assert calls == ["a", "b"] * 3


def test_core_figures_from_tsv():
    output = (
        "C++ NewAlphabet, 1,000,000 symbols\t64.5\t369.0\tms\tunordered_map fill\t-\n"
        "\n"
        "C++ NewAlphabet, seeded hash\t64.5\t58.0\tms\tthe same, unseeded hash\t1.10\n"
        "C++ NewAlphabet, 12,000 crafted symbols\t0.3\t0.2\tms\t12,000 ordinary symbols\t2\n"
    )
    plain, seeded, crafted = parse_core_tsv(output)
    assert (plain.name, plain.unit) == ("C++ NewAlphabet, 1,000,000 symbols", "ms")
    assert plain.ratio == pytest.approx(64.5 / 369.0)
    assert plain.baseline_name == "unordered_map fill" and plain.met is None
    assert seeded.baseline_name == "the same, unseeded hash"
    assert (seeded.limit, seeded.met) == (1.1, False)
    assert (crafted.limit, crafted.met) == (2.0, True)
    assert "<= 2.00" in format_table([("core", [crafted])])


@pytest.mark.parametrize(
    "output",
    ["", "\n", "NewAlphabet 64.5 369.0 ms\n",
     # four fields: no baseline name, no goal
     "C++ NewAlphabet, 1,000,000 symbols\t64.5\t369.0\tms\n",
     "C++ NewAlphabet\t64.5\t369.0\tms\tmap fill\tsoon\n"],
)  # fmt: skip
def test_core_output_without_figures_is_refused(output):
    with pytest.raises(ValueError):
        parse_core_tsv(output)


@pytest.mark.parametrize(
    "ratio, limit, shown",
    [(1.2345, 1.3, "1.23"), (1.5031, 1.5, "1.503"), (1.5083, 1.5, "1.51"), (1.4951, 1.5, "1.495"), (1.5, 1.5, "1.50"),
     (0.0046, 0.05, "0.005"), (0.25, None, "0.25")],
)  # fmt: skip
def test_a_ratio_never_prints_as_its_limit_unless_equal(ratio, limit, shown):
    assert format_ratio(ratio, limit) == shown


def test_kernel_figures_from_tsv():
    text = ("encode 10M DNA symbols [avx2]\t2.5\t1.0\tms\tmemcpy of 10 MB\t3.000000\t0.25 ns\n"
            "decode [scalar]\t4.0\t1.0\tms\tmemcpy of 10 MB\t-\t\n")  # fmt: skip
    encode, decode = parse_kernels_tsv(text)
    assert (encode.name, encode.unit, encode.baseline_name) == (
        "encode 10M DNA symbols [avx2]",
        "ms",
        "memcpy of 10 MB",
    )
    assert encode.ratio == pytest.approx(2.5) and encode.limit == 3.0 and encode.met is True
    assert encode.note == "0.25 ns"
    assert decode.limit is None and decode.met is None


@pytest.mark.parametrize("output", ["", "\n", "encode\t2.5\t1.0\tms\n"])
def test_kernel_output_without_figures_is_refused(output):
    with pytest.raises(ValueError):
        parse_kernels_tsv(output)
