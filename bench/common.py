"""What every benchmark script shares: the Figure record, its table, and timing.

A figure is one measurement set against its baseline, measured in the same
run, with the goal it must meet.  Timing helpers measure the two sides in
alternation and keep the best round of each: a busy machine only ever adds
time, and alternating lets a change of load weigh on both sides alike.
"""

from __future__ import annotations

import argparse
import math
import threading
import time
import timeit
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass


@dataclass(frozen=True)
class Figure:
    """One row of the table.

    `ratio` is measured / baseline (None without a baseline).  The goal is an
    upper bound, on the ratio when there is a baseline and on the measured
    value otherwise; `strict` makes it "below" instead of "at most".  A
    figure without a limit is reported with no verdict.  `note` says what is
    worth knowing beside the numbers (e.g. "221x faster").
    """

    name: str
    measured: float
    unit: str
    baseline: float | None = None
    baseline_name: str = ""
    limit: float | None = None
    strict: bool = False
    note: str = ""

    @property
    def ratio(self) -> float | None:
        if self.baseline is None:
            return None
        if self.baseline <= 0:
            return math.inf
        return self.measured / self.baseline

    @property
    def met(self) -> bool | None:
        if self.limit is None:
            return None
        value = self.measured if self.baseline is None else self.ratio
        assert value is not None
        return value < self.limit if self.strict else value <= self.limit

    @property
    def goal(self) -> str:
        if self.limit is None:
            return "-"
        bound = f"{self.limit:g}" if self.baseline is None else f"{self.limit:.2f}"
        unit = f" {self.unit}" if self.baseline is None else ""
        return f"{'<' if self.strict else '<='} {bound}{unit}"

    @property
    def verdict(self) -> str:
        return {None: "", True: "ok", False: "MISSED"}[self.met]


def format_amount(value: float, unit: str) -> str:
    if value >= 100 or isinstance(value, int):
        return f"{value:,.0f} {unit}"
    return f"{value:.1f} {unit}" if value >= 10 else f"{value:.2f} {unit}"


def format_ratio(ratio: float, limit: float | None) -> str:
    """Two decimals; three for a small ratio, and for one that would print
    as its limit without being equal to it (1.503 against 1.5)."""
    text = f"{ratio:.2f}"
    if ratio < 0.1 or (limit is not None and ratio != limit and float(text) == limit):
        text = f"{ratio:.3f}"
    return text


HEADER = ("figure", "measured", "baseline", "", "ratio", "goal", "")


def table_rows(figures: Iterable[Figure]) -> list[tuple[str, ...]]:
    rows: list[tuple[str, ...]] = []
    for f in figures:
        baseline = "" if f.baseline is None else format_amount(f.baseline, f.unit)
        ratio = "" if f.ratio is None else format_ratio(f.ratio, f.limit)
        verdict = f.verdict + (f"  {f.note}" if f.note else "")
        rows.append(
            (f.name, format_amount(f.measured, f.unit), baseline, f.baseline_name, ratio, f.goal,
             verdict)
        )  # fmt: skip
    return rows


def format_table(parts: Sequence[tuple[str, Sequence[Figure]]]) -> str:
    """One table of every part's figures, a title line above each part."""
    all_rows = [HEADER] + [row for _, figures in parts for row in table_rows(figures)]
    widths = [max(len(row[i]) for row in all_rows) for i in range(len(HEADER))]
    right = {1, 2, 4}  # numbers are right-aligned

    def line(row: tuple[str, ...]) -> str:
        cells = [
            cell.rjust(width) if i in right else cell.ljust(width)
            for i, (cell, width) in enumerate(zip(row, widths, strict=True))
        ]
        return "  ".join(cells).rstrip()

    out = [line(HEADER)]
    for title, figures in parts:
        out.append(f"-- {title}")
        out.extend(line(row) for row in table_rows(figures))
    return "\n".join(out)


def parse_core_tsv(text: str) -> list[Figure]:
    """Figures from alphabet_core_bench --tsv, one per line: figure, measured,
    baseline, unit, baseline name, and goal (the greatest ratio allowed, or
    "-" for none)."""
    figures = []
    for line in text.splitlines():
        if not line.strip():
            continue
        name, measured, baseline, unit, baseline_name, goal = line.split("\t")
        limit = None if goal == "-" else float(goal)
        figures.append(Figure(name, float(measured), unit, float(baseline), baseline_name, limit))
    if not figures:
        raise ValueError("alphabet_core_bench --tsv printed no figure")
    return figures


def parse_kernels_tsv(text: str) -> list[Figure]:
    """Figures from kernels_bench --tsv: figure, measured, baseline, unit,
    baseline name, goal on the ratio ("-" for none) and note per line."""
    figures = []
    for line in text.splitlines():
        if not line.strip():
            continue
        name, measured, baseline, unit, baseline_name, limit, note = line.split("\t")
        figures.append(Figure(name, float(measured), unit, float(baseline), baseline_name,
                              limit=None if limit == "-" else float(limit), note=note))  # fmt: skip
    if not figures:
        raise ValueError("kernels_bench --tsv printed no figure")
    return figures


def missed(figures: Iterable[Figure]) -> list[Figure]:
    return [f for f in figures if f.met is False]


def best_interleaved(rounds: int, *runs: Callable[[], float]) -> list[float]:
    """The least of `rounds` results of each run, the runs called in turn
    (a, b, a, b, ...).  Each run returns the seconds it measured itself, so
    that it can keep its own preparation off the clock."""
    best = [math.inf] * len(runs)
    for _ in range(rounds):
        for which, run in enumerate(runs):
            best[which] = min(best[which], run())
    return best


def per_call(
    stmt: str, setup: str, namespace: dict[str, object], number: int
) -> Callable[[], float]:
    """A run for best_interleaved: seconds per execution of `stmt` over `number` executions."""

    def run() -> float:
        timer = timeit.Timer(stmt, setup=setup, globals=namespace)
        return timer.timeit(number) / number

    return run


def clocked(work: Callable[[], object]) -> float:
    """Seconds that one call of `work` takes."""
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def run_part(title: str, figures: Callable[[bool], list[Figure]]) -> None:
    """main() of a benchmark script: its own figures, as a table."""
    parser = argparse.ArgumentParser(description=title)
    parser.add_argument("--quick", action="store_true", help="smaller sizes, fewer rounds")
    quick = parser.parse_args().quick
    start = time.perf_counter()
    print(format_table([(title, figures(quick))]))
    print(f"\n{time.perf_counter() - start:.1f} s")


def on_threads(count: int, work: Callable[[int], object]) -> tuple[float, float]:
    """Wall time of `count` threads running work(i), started together, and the
    processor time the process spent meanwhile."""
    barrier = threading.Barrier(count + 1)

    def run(i: int) -> None:
        barrier.wait()
        work(i)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    barrier.wait()
    began, cpu = time.perf_counter(), time.process_time()
    for thread in threads:
        thread.join()
    return time.perf_counter() - began, time.process_time() - cpu
