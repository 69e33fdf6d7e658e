"""Model-based test of the typed sequences.

A pure-Python model keeps the storage blocks (lists), and per handle the
block, start, length and capacity.  Random runs of CTor, append, set,
subslice, elem and len over several kinds must agree with it, sharing and
moving appends included.  Growth: an append at length == capacity moves the
sequence alone to a new block of capacity max(2 * length, 4).
"""

from dataclasses import dataclass

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, invariant, rule

import _alphabet as m
from helpers import capacity, op, release

# group -> (kinds that share its storage, zero value, value strategy)
GROUPS = {
    "int": (("int",), 0, st.integers(-(2**63), 2**63 - 1)),
    "string": (
        ("string",),
        "",
        st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\0"), max_size=6),
    ),
    "u8": (("byte", "uint8"), 0, st.integers(0, 255)),
    "bool": (("bool",), False, st.booleans()),
    "float64": (("float64",), 0.0, st.floats(allow_nan=False)),
}


@dataclass
class View:
    group: str
    block: list
    start: int = 0
    length: int = 0
    capacity: int = 0

    def items(self):
        return self.block[self.start : self.start + self.length]


class SequenceModel(RuleBasedStateMachine):
    handles = Bundle("handles")

    def __init__(self):
        super().__init__()
        self.views = {}
        self.baseline = m.NumHandles()

    def kind(self, data, handle):
        return data.draw(st.sampled_from(GROUPS[self.views[handle].group][0]))

    @rule(target=handles, group=st.sampled_from(sorted(GROUPS)), data=st.data())
    def ctor(self, group, data):
        h = op(data.draw(st.sampled_from(GROUPS[group][0])), "CTor")()
        assert h not in self.views
        self.views[h] = View(group, [])
        return h

    @rule(h=handles, data=st.data())
    def append(self, h, data):
        v = self.views[h]
        value = data.draw(GROUPS[v.group][2])
        op(self.kind(data, h), "append")(h, value)
        if v.length == v.capacity:
            new_capacity = max(2 * v.length, 4)
            zero = GROUPS[v.group][1]
            v.block = v.items() + [zero] * (new_capacity - v.length)
            v.start, v.capacity = 0, new_capacity
        v.block[v.start + v.length] = value
        v.length += 1

    @rule(h=handles, data=st.data())
    def set(self, h, data):
        v = self.views[h]
        if v.length == 0:
            return
        idx = data.draw(st.integers(0, v.length - 1))
        value = data.draw(GROUPS[v.group][2])
        op(self.kind(data, h), "set")(h, idx, value)
        v.block[v.start + idx] = value

    @rule(target=handles, h=handles, data=st.data())
    def subslice(self, h, data):
        v = self.views[h]
        ed = data.draw(st.integers(0, v.capacity))
        st_ = data.draw(st.integers(0, ed))
        new = op(self.kind(data, h), "subslice")(h, st_, ed)
        assert new not in self.views
        self.views[new] = View(v.group, v.block, v.start + st_, ed - st_, v.capacity - st_)
        return new

    @rule(h=handles, data=st.data())
    def read(self, h, data):
        v = self.views[h]
        kind = self.kind(data, h)
        assert op(kind, "len")(h) == v.length
        got = [op(kind, "elem")(h, i) for i in range(v.length)]
        assert got == v.items()
        assert [type(x) for x in got] == [type(x) for x in v.items()]

    @rule(h=handles, data=st.data())
    def out_of_bounds(self, h, data):
        v = self.views[h]
        kind = self.kind(data, h)
        idx = data.draw(st.sampled_from([-1, v.length, v.length + 3]))
        bad_ed = v.capacity + data.draw(st.integers(1, 3))
        for call in (
            lambda: op(kind, "elem")(h, idx),
            lambda: op(kind, "set")(h, idx, GROUPS[v.group][1]),
            lambda: op(kind, "subslice")(h, 0, bad_ed),
        ):
            try:
                call()
            except IndexError:
                pass
            else:
                raise AssertionError("out-of-bounds call accepted")

    @rule(h=handles, data=st.data())
    def capacity_matches(self, h, data):
        assert capacity(self.kind(data, h), h) == self.views[h].capacity

    @invariant()
    def registered(self):
        assert m.NumHandles() == self.baseline + len(self.views)

    def teardown(self):
        for h in self.views:
            release(h)
        assert m.NumHandles() == self.baseline


SequenceModel.TestCase.settings = settings(
    max_examples=60,
    stateful_step_count=40,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
TestSequenceModel = SequenceModel.TestCase
