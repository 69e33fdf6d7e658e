"""What the reliability scripts share: the fuzzers' campaign harness and
command line, the stress runs' threads and report, the integers each kind
holds, and the helpers they share with the Python tests.

A campaign runs episodes seed, seed+1, ... in a child process for a given
time. The child marks the episode and call in progress in a shared file, so
that when it dies or hangs the campaign can still name them, and prints the
command that replays the failing episode.

A stress run starts a few threads that draw seeded operations until a
deadline, then reports a thread still stuck in a call, what the threads
raised, and what the script finds wrong with the shared state afterwards.
"""

import argparse
import faulthandler
import importlib
import json
import mmap
import os
import random
import re
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

# The helpers the Python tests share with these scripts are written once, in
# tests/helpers.py: the installed-wheel run copies tests/ alone.
TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
sys.path.insert(1, TESTS)
helpers = importlib.import_module("helpers")

# The values each integer kind holds, lowest and highest.
INTEGER_RANGES = {
    "byte": (0, 2**8 - 1),
    "uint8": (0, 2**8 - 1),
    "int8": (-(2**7), 2**7 - 1),
    "int16": (-(2**15), 2**15 - 1),
    "uint16": (0, 2**16 - 1),
    "int32": (-(2**31), 2**31 - 1),
    "rune": (-(2**31), 2**31 - 1),
    "uint32": (0, 2**32 - 1),
    "int": (-(2**63), 2**63 - 1),
    "int64": (-(2**63), 2**63 - 1),
    "uint": (0, 2**64 - 1),
    "uint64": (0, 2**64 - 1),
}


class Failure(AssertionError):
    """A breach of the rules the fuzzers check."""


class HostileError(Exception):
    """Raised by the fuzzers' own objects (from __index__, __bool__, read and
    friends); the library must pass it on untouched."""


def show(value, limit=None):
    """repr without object addresses, so that replays print the same text;
    cut after `limit` characters when given."""
    try:
        text = re.sub(r" at 0x[0-9a-f]+", "", repr(value))
    except Exception as exc:  # an object adopted without its state, say
        text = f"<{type(value).__name__}: repr raised {type(exc).__name__}>"
    if limit is None or len(text) <= limit:
        return text
    return text[:limit] + f"...({len(text)} characters)"


class Steps:
    """An episode as steps: `calls` top-level ones, each marked in the
    campaign's progress file (`progress`, None in a replay), and those a
    hostile argument makes, one level deeper, while it is converted."""

    def steps(self, calls, progress, seed):
        for i in range(calls):
            self.top = i
            if progress is not None:
                progress.mark(seed, i)
            self.step()

    def nested(self):
        self.depth += 1
        try:
            self.step()
        finally:
            self.depth -= 1


class Progress:
    """The episode and call in progress, in a shared file, so that the
    campaign can name them after the child died."""

    def __init__(self, path):
        with open(path, "r+b") as f:
            self.map = mmap.mmap(f.fileno(), 16)

    def mark(self, seed, call):
        struct.pack_into("qq", self.map, 0, seed, call)

    @staticmethod
    def read(path):
        with open(path, "rb") as f:
            return struct.unpack("qq", f.read(16))


def add_arguments(parser, calls, calls_help):
    """The options every campaign takes; --calls defaults to `calls`."""
    parser.add_argument("--seed", type=int, default=int(os.environ.get("FUZZ_SEED", "1")))
    parser.add_argument("--calls", type=int, default=calls, help=calls_help)
    parser.add_argument("--time", type=float, help="run episodes for this many seconds")
    parser.add_argument(
        "--hang-timeout",
        type=float,
        default=60.0,
        help="seconds past --time after which the child counts as hung",
    )
    parser.add_argument("-v", "--verbose", action="store_true", help="print every call")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--progress", help=argparse.SUPPRESS)
    parser.add_argument("--summary", help=argparse.SUPPRESS)


def main(doc, calls, calls_help, run_child, run_campaign, run_replay, more_options=None):
    """A fuzzer's command line: the child of a campaign (--child), a campaign
    (--time), else the replay of one episode.  `more_options(parser)` adds
    the fuzzer's own options."""
    parser = argparse.ArgumentParser(description=doc.split("\n")[0])
    add_arguments(parser, calls, calls_help)
    if more_options is not None:
        more_options(parser)
    args = parser.parse_args()
    if args.child:
        return run_child(args)
    if args.time is not None:
        return run_campaign(args)
    return run_replay(args)


def replay_log(args):
    """Where a replay prints every call: standard output with -v, else nowhere."""
    return (lambda line: print(line, flush=True)) if args.verbose else None


def replay(script, args, fuzzer, episode):
    """Replays one episode in this process: `episode()` runs it on `fuzzer`,
    raising Failure on a breach, and gives what the summary line adds."""
    try:
        passed = episode()
    except Failure:
        traceback.print_exc()
        print(f"{script}: FAILED in episode seed {args.seed} at call {fuzzer.top}", file=sys.stderr)
        return 1
    print(f"{script}: episode seed {args.seed}: {fuzzer.calls} calls passed{passed}")
    return 0


def replay_command(script, seed, calls):
    return f"python reliability/{script}.py --seed {seed} --calls {calls} -v"


def run_child(script, args, episode, summary):
    """The child's loop: `episode(seed, progress)` runs one episode and raises
    Failure on a breach; `summary()` gives the counts written at the end."""
    # A deadlock shows as a traceback of every thread instead of a silent hang.
    faulthandler.dump_traceback_later(args.time + args.hang_timeout, exit=True)
    progress = Progress(args.progress)
    deadline = time.monotonic() + args.time
    seed, episodes = args.seed, 0
    while True:
        try:
            episode(seed, progress)
        except Failure:
            _, call = Progress.read(args.progress)
            traceback.print_exc()
            print(
                f"{script}: FAILED in episode seed {seed} at call {call}; replay with\n"
                f"  {replay_command(script, seed, call + 1)}",
                file=sys.stderr,
            )
            return 1
        episodes += 1
        seed += 1
        if time.monotonic() >= deadline:
            break
    with open(args.summary, "w") as f:
        json.dump({"episodes": episodes, **summary()}, f)
    return 0


class Outcome:
    """What a campaign's child left: its exit `code` ("timeout" when it hung),
    its stderr `lines`, the `seed` and `call` in progress, its `summary` (None
    unless it exited with 0) and the `seconds` it took."""

    def failed(self, script, lines):
        """Reports a child that died or hung, with `lines` of its stderr."""
        print("\n".join(lines[-300:]), file=sys.stderr)
        died = "hung" if self.code == "timeout" else f"exited with {self.code}"
        print(
            f"{script}: child {died} in episode seed {self.seed} at call {self.call}; "
            f"replay with\n  {replay_command(script, self.seed, self.call + 1)}",
            file=sys.stderr,
        )
        return 1


def run_campaign(script, args, extra=(), env=None):
    """Runs `script --child` for args.time seconds and collects its Outcome;
    `extra` are further options for the child."""
    outcome = Outcome()
    with tempfile.TemporaryDirectory(prefix=f"{script}-") as tmp:
        progress = os.path.join(tmp, "progress")
        with open(progress, "wb") as f:
            f.write(struct.pack("qq", args.seed, -1))
        summary = os.path.join(tmp, "summary.json")
        errors = os.path.join(tmp, "stderr")
        command = [
            sys.executable,
            os.path.join(os.path.dirname(os.path.abspath(__file__)), f"{script}.py"),
            "--child",
            "--seed",
            str(args.seed),
            "--calls",
            str(args.calls),
            "--time",
            str(args.time),
            "--hang-timeout",
            str(args.hang_timeout),
            "--progress",
            progress,
            "--summary",
            summary,
            *extra,
        ]
        started = time.monotonic()
        with open(errors, "wb") as err:
            child = subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err, env=env
            )
            try:
                outcome.code = child.wait(timeout=args.time + 2 * args.hang_timeout)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
                outcome.code = "timeout"
        outcome.seconds = time.monotonic() - started
        with open(errors, encoding="utf-8", errors="replace") as f:
            outcome.lines = f.read().splitlines()
        outcome.seed, outcome.call = Progress.read(progress)
        outcome.summary = None
        if outcome.code == 0:
            with open(summary) as f:
                outcome.summary = json.load(f)
    return outcome


# ---- Stress runs -------------------------------------------------------------


def stress_options(doc):
    """The options every stress run takes; the script adds its own."""
    parser = argparse.ArgumentParser(description=doc.split("\n")[0])
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument(
        "--timeout",
        type=float,
        default=120.0,
        help="the whole run's bound: then every stack is dumped and it exits",
    )
    return parser


def start_stress(parser):
    """Parses the options and bounds the run: past --timeout every thread's
    stack is dumped and the process ends."""
    args = parser.parse_args()
    faulthandler.dump_traceback_later(args.timeout, exit=True)
    sys.setswitchinterval(0.0005)  # many more lock hand-overs than the default 5 ms
    return args


class Worker:
    """One thread of a stress run: calls its OPERATIONS, drawn by WEIGHTS
    from a generator seeded by the run's seed and its index, until the
    deadline.  What it raises is kept for the main thread to report."""

    OPERATIONS = []
    WEIGHTS = []

    def __init__(self, index, seed, shared, deadline):
        self.index = index
        self.rng = random.Random(seed * 1000 + index)
        self.shared = shared
        self.deadline = deadline
        self.appended = 0
        self.ops = 0
        self.failure = None

    def check(self, condition, what):
        if not condition:
            raise AssertionError(f"thread {self.index}: {what}")

    def run(self):
        try:
            while time.monotonic() < self.deadline:
                self.rng.choices(self.OPERATIONS, self.WEIGHTS)[0](self)
                self.ops += 1
        except BaseException as exc:  # reported by the main thread
            self.failure = exc


def run_workers(script, workers, deadline, timeout, meanwhile=None):
    """Runs each worker in a thread of its own, and `meanwhile()` every 50 ms
    in this one until the deadline; waits for the threads until half the
    run's `timeout` past it.  Reports the threads still running (with every
    stack) and what the workers raised; 1 if there was either, else 0."""
    # Daemon threads: a stuck one must not keep the process from exiting.
    threads = [
        threading.Thread(target=worker.run, name=f"worker-{i}", daemon=True)
        for i, worker in enumerate(workers)
    ]
    for thread in threads:
        thread.start()
    while meanwhile is not None and time.monotonic() < deadline:
        time.sleep(0.05)
        meanwhile()
    join_by = deadline + timeout / 2
    for thread in threads:
        thread.join(timeout=max(0.0, join_by - time.monotonic()))
    stuck = [thread.name for thread in threads if thread.is_alive()]
    if stuck:
        faulthandler.dump_traceback(all_threads=True)
        print(f"{script}: FAILED: still running after the join timeout: {stuck}", file=sys.stderr)
        return 1
    failures = [worker.failure for worker in workers if worker.failure is not None]
    for failure in failures:
        print(f"{script}: FAILED: {type(failure).__name__}: {failure}", file=sys.stderr)
    return 1 if failures else 0


def report(script, summary, problems):
    """Prints the run's summary line, then each problem; 1 if there is any."""
    print(f"{script}: {summary}")
    for problem in problems:
        print(f"{script}: FAILED: {problem}", file=sys.stderr)
    return 1 if problems else 0
