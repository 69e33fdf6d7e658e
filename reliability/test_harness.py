"""The harness's own tests: a stand-in for _alphabet with one planted fault,
and the harness must report it (with a replay that reproduces it, for the
fuzzer).  Run on the plain build: `make selftest`."""

import os
import re
import subprocess
import sys
import textwrap
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

# Every callable of the real module, in table order, with the fault's
# replacement wrapped around the real function (same name and docstring).
# Helpers are deleted so that the module holds exactly the 122 methods.
STANDIN = """
import functools as _functools
import os as _os
import threading as _threading
import time as _time

import _alphabet as _real


def _plant(fault):
    g = globals()
    for name, fn in vars(_real).items():
        if callable(fn):
            g[name] = fn
    calls = [0]
    lock = _threading.Lock()

    def replace(name):
        def decorate(body):
            real = getattr(_real, name)
            g[name] = _functools.wraps(real)(lambda *a, **k: body(real, *a, **k))
        return decorate

    def value_of(a, k, position, keyword):
        return a[position] if len(a) > position else k.get(keyword)

    if fault == "leaked-registration":
        @replace("alphabet_Alphabet_Symbols")
        def _(real, *a, **k):
            result = real(*a, **k)
            if result > 0:
                _real.Slice_bool_CTor()  # registered and never handed out
            return result
    elif fault == "undocumented-exception":
        @replace("Slice_int16_set")
        def _(real, *a, **k):
            if value_of(a, k, 2, "value") == -1:
                raise SystemError("planted")
            return real(*a, **k)
    elif fault == "wrong-kind-accepted":
        @replace("Slice_float64_len")
        def _(real, *a, **k):
            try:
                return real(*a, **k)
            except TypeError as exc:
                if "does not name" in str(exc):
                    return 0
                raise
    elif fault == "crash":
        @replace("Slice_uint16_append")
        def _(real, *a, **k):
            if value_of(a, k, 1, "value") == 65535:
                _os.abort()
            return real(*a, **k)
    elif fault == "hang":
        @replace("alphabet_Alphabet_Decode")
        def _(real, *a, **k):
            if value_of(a, k, 1, "code") == "-1":
                _time.sleep(3600)
            return real(*a, **k)
    elif fault == "hoard":
        kept = []

        @replace("Slice_string_elem")
        def _(real, *a, **k):
            result = real(*a, **k)
            kept.append(bytearray(64 * 1024))
            return result
    elif fault == "lost-append":
        @replace("Slice_int64_append")
        def _(real, *a, **k):
            calls[0] += 1
            if calls[0] % 50 == 0:
                return None
            return real(*a, **k)
    elif fault == "deadlock":
        @replace("alphabet_Alphabet_Symbols")
        def _(real, *a, **k):
            calls[0] += 1
            if calls[0] == 20:
                lock.acquire()
                lock.acquire()  # never returns
            return real(*a, **k)
    else:
        raise ValueError(fault)


_plant(_os.environ["PLANTED_FAULT"])
del _plant
"""


def runner(folder, planted_file, source, fault_variable, **fixed_env):
    """Runs a reliability script with `source` planted as `planted_file` in
    `folder` (first on the path) and the fault named in `fault_variable`."""
    (folder / planted_file).write_text(textwrap.dedent(source))

    def run(script, args, fault, timeout=120, **env):
        environ = dict(
            os.environ,
            PYTHONPATH=os.pathsep.join([str(folder), os.environ["PYTHONPATH"]]),
            **fixed_env,
            **{fault_variable: fault},
            **env,
        )
        return subprocess.run(
            [sys.executable, os.path.join(HERE, script), *args],
            env=environ,
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run


@pytest.fixture
def run(tmp_path):
    return runner(
        tmp_path, "faulty_alphabet.py", STANDIN, "PLANTED_FAULT", ALPHABET_MODULE="faulty_alphabet"
    )


def test_the_standin_has_the_real_table(run):
    proc = run("fuzz.py", ["--seed", "3", "--calls", "200"], "lost-append")
    assert proc.returncode == 0, proc.stderr


def test_replay_is_the_same_whatever_the_hash_seed(run):
    outputs = [
        run(
            "fuzz.py",
            ["--seed", "11", "--calls", "400", "-v"],
            "lost-append",
            PYTHONHASHSEED=str(hash_seed),
        ).stdout
        for hash_seed in (1, 2)
    ]
    assert outputs[0].count("\n") > 400
    assert outputs[0] == outputs[1]


REPLAY = re.compile(r"python reliability/fuzz.py --seed (\d+) --calls (\d+) -v")


@pytest.mark.parametrize(
    "fault, report, culprit",
    [
        ("leaked-registration", "NumHandles is", "alphabet_Alphabet_Symbols"),
        ("undocumented-exception", "undocumented exception SystemError", "Slice_int16_set"),
        ("wrong-kind-accepted", "expected TypeError", "Slice_float64_len"),
        ("crash", "child exited with -6", "Slice_uint16_append"),
        ("hang", "child exited with 1", "alphabet_Alphabet_Decode"),
    ],
)
def test_fuzz_reports_the_fault_with_a_replay_that_reproduces_it(run, fault, report, culprit):
    proc = run("fuzz.py", ["--seed", "1", "--time", "3", "--hang-timeout", "4"], fault)
    assert proc.returncode == 1, proc.stderr[-3000:]
    assert report in proc.stderr, proc.stderr[-3000:]
    seed, calls = REPLAY.findall(proc.stderr)[-1]
    try:
        replay = run("fuzz.py", ["--seed", seed, "--calls", calls, "-v"], fault, timeout=15)
    except subprocess.TimeoutExpired as exc:
        assert fault == "hang"
        printed = exc.stdout.decode() if isinstance(exc.stdout, bytes) else exc.stdout
    else:
        assert fault != "hang"
        assert replay.returncode != 0
        printed = replay.stdout
    # The replay makes the campaign's calls up to the failing one, and fails
    # in the planted method (which may run nested in another call's argument).
    top_level = [line for line in printed.splitlines() if re.match(r"\d+: ", line)]
    assert len(top_level) == int(calls)
    assert top_level[-1].startswith(f"{int(calls) - 1}: ")
    if fault in ("crash", "hang"):
        last = [line for line in printed.splitlines() if re.match(r"\d+(>\d+)?: ", line)][-1]
        assert re.match(rf"{int(calls) - 1}(>\d+)?: {culprit}\(", last)
    else:
        assert f"Failure: {culprit}" in replay.stderr


def test_leaks_reports_a_handle_left_registered(run):
    proc = run("leaks.py", ["--rounds", "2", "--objects", "20"], "leaked-registration")
    assert proc.returncode == 1
    assert "NumHandles" in proc.stderr and "after round 0" in proc.stderr


def test_leaks_reports_memory_that_keeps_growing(run):
    proc = run("leaks.py", ["--rounds", "5", "--objects", "100", "--rss-limit", "8"], "hoard")
    assert proc.returncode == 1
    assert "RSS grew" in proc.stderr


def test_threads_reports_lost_appends(run):
    proc = run("threads.py", ["--seconds", "1", "--symbols", "200"], "lost-append")
    assert proc.returncode == 1
    assert "appended" in proc.stderr


def test_threads_ends_a_deadlock_within_its_timeout(run):
    started = time.monotonic()
    proc = run(
        "threads.py",
        ["--seconds", "1", "--symbols", "200", "--timeout", "6"],
        "deadlock",
        timeout=60,
    )
    assert proc.returncode != 0
    assert time.monotonic() - started < 30
    # The stuck thread's stack names the call it is stuck in.
    assert "symbols" in proc.stderr and "worker-" in proc.stderr + proc.stdout


# The package's faults are planted by a sitecustomize module, which every
# interpreter the scripts start imports before anything else.
PACKAGE_FAULTS = """
import functools
import os

fault = os.environ.get("PLANTED_PACKAGE_FAULT")
if fault:
    import _alphabet
    import alphabet
    from alphabet import _alphabets, _sequences

    def wrap(owner, name):
        def decorate(body):
            real = getattr(owner, name)
            setattr(owner, name, functools.wraps(real)(lambda *a, **k: body(real, *a, **k)))
        return decorate

    if fault == "wrong-kmers":
        @wrap(_alphabets, "_kmers")
        def _(real, codes, k, base):
            result = real(codes, k, base)
            if len(result) > 2:
                result[-1] ^= 1
            return result
    elif fault == "leaked-entry":
        @wrap(alphabet.Alphabet, "extend")
        def _(real, *a, **k):
            _alphabet.Slice_bool_CTor()  # registered and never handed out
            return real(*a, **k)
    elif fault == "undocumented-exception":
        @wrap(alphabet.Alphabet, "decode_all")
        def _(real, self, codes):
            if isinstance(codes, list) and len(codes) >= 2:
                raise SystemError("planted")
            return real(self, codes)
    elif fault == "crash":
        @wrap(alphabet, "sequence")
        def _(real, kind, *a, **k):
            if kind == "uint16":
                os.abort()
            return real(kind, *a, **k)
    elif fault == "lost-append":
        cls = _sequences.KIND_CLASSES["int64"]
        calls = [0]
        real_append = cls.append

        def append(self, value):
            calls[0] += 1
            if calls[0] % 50:
                real_append(self, value)

        cls.append = append
"""


@pytest.fixture
def run_package(tmp_path):
    return runner(tmp_path, "sitecustomize.py", PACKAGE_FAULTS, "PLANTED_PACKAGE_FAULT")


def test_package_fuzz_replay_is_the_same_whatever_the_hash_seed(run_package):
    # An episode whose first 80 actions draw no timer's Ctrl-C: whether that
    # lands inside its call or after it is up to the clock, not the seed.
    outputs = [
        run_package(
            "package_fuzz.py",
            ["--seed", "4", "--calls", "80", "-v"],
            "none",
            PYTHONHASHSEED=str(hash_seed),
        )
        for hash_seed in (1, 2)
    ]
    assert outputs[0].returncode == 0, outputs[0].stderr[-3000:]
    assert outputs[0].stdout.count("\n") > 80
    assert outputs[0].stdout == outputs[1].stdout


PACKAGE_REPLAY = re.compile(r"python reliability/package_fuzz.py --seed (\d+) --calls (\d+) -v")


@pytest.mark.parametrize(
    "fault, report, culprit",
    [
        ("wrong-kmers", "kmers gives", ".kmers("),
        ("leaked-entry", "NumHandles is", None),
        ("undocumented-exception", "undocumented exception SystemError", ".decode_all(["),
        ("crash", "child exited with -6", "sequence('uint16'"),
    ],
)
def test_package_fuzz_reports_the_fault_with_a_replay_that_reproduces_it(
    run_package, fault, report, culprit
):
    proc = run_package("package_fuzz.py", ["--seed", "1", "--time", "5"], fault)
    assert proc.returncode == 1, proc.stderr[-3000:]
    assert report in proc.stderr, proc.stderr[-3000:]
    seed, calls = PACKAGE_REPLAY.findall(proc.stderr)[-1]
    replay = run_package("package_fuzz.py", ["--seed", seed, "--calls", calls, "-v"], fault)
    assert replay.returncode != 0
    # The replay runs the campaign's actions up to the failing one, and fails
    # in it (nested calls carry their action's number).
    numbered = [line for line in replay.stdout.splitlines() if re.match(r"\d+(>\d+)?: ", line)]
    assert numbered[-1].startswith(f"{int(calls) - 1}")
    if culprit is not None:
        assert culprit in "\n".join(
            line for line in numbered if line.startswith(f"{int(calls) - 1}")
        )
    if fault != "crash":
        assert report in replay.stderr


def test_package_threads_reports_lost_appends(run_package):
    proc = run_package("package_threads.py", ["--seconds", "1"], "lost-append")
    assert proc.returncode == 1
    assert "appended" in proc.stderr
