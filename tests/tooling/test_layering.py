"""The include rule's checker (scripts/check-layering.py) on made-up files."""

import pytest

from helpers import script

check_layering = script("scripts/check-layering.py")


@pytest.mark.parametrize(
    "path, include, allowed",
    [
        ("sequences/operations.h", '"handles/registry.h"', True),
        ("sequences/operations.h", '"sequences/status.h"', True),
        ("sequences/operations.h", '"bindings/errors.h"', False),
        ("sequences/storage.h", "<Python.h>", False),
        ("alphabet/alphabet.h", '"handles/registry.h"', False),  # same layer
        ("handles/registry.h", '"alphabet/value.h"', False),
        ("bindings/gil.h", "<Python.h>", True),
        ("bindings/text.h", '"module/wrap.h"', False),
        ("module/methods.def", '"sequences/kinds.def"', True),
        ("native/kernels.cc", '"bindings/sequence_functions.h"', True),
        ("native/kernels.cc", '"module/wrap.h"', False),
        ("module/module.cc", '"native/kernels.h"', False),
        ("bench/floor.cc", "<Python.h>", True),
        ("reliability/concurrency_test.cc", '"handles/registry.h"', True),
        ("reliability/concurrency_test.cc", "<Python.h>", False),
        ("handles/registry.h", "<tsl/robin_map.h>", True),
        ("handles/registry.cc", "<module/wrap.h>", False),  # brackets are no way round
        ("native/codec.cc", '"handles/registry.h"', False),  # only through the flat functions
        ("native/codec.cc", '"alphabet/alphabet.h"', False),
        ("native/codec.cc", '"kernels/translate.h"', True),
        ("sequences/x.h", '"gizmo/gizmo.h"', False),  # no such layer
        ("gizmo/gizmo.cc", "<vector>", False),  # a folder without a layer
        # The native module's rooms: each includes from its own and lower ranks.
        ("native/codec/codec.cc", '"native/common/guard.h"', True),
        ("native/io/reader.cc", '"native/codec/codec.h"', True),
        ("native/codec/codec.cc", '"native/objects/held.h"', False),  # the same rank
        ("native/io/reader.cc", '"native/sequences/kind_rows.h"', False),
        ("native/common/ref.h", '"native/codec/codec.h"', False),  # upward
        ("native/module.cc", '"native/io/reader.h"', True),  # the module entry
        ("native/codec/codec.cc", '"native/flat_api.h"', False),  # in no room
        ("native/gizmo/x.cc", '"native/common/ref.h"', False),  # no such room
        ("native/codec/symbol_table.h", '"alphabet/hash.h"', True),  # the keyed hash only
        ("native/codec/symbol_table.h", '"alphabet/code_table.h"', False),
    ],
)
def test_includes_only_go_down(path, include, allowed):
    found = check_layering.breaches(path, f"// a file\n#  include {include}  // why\n")
    assert (found == []) is allowed, found
