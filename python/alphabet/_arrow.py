"""RecordBatch.to_arrow: a batch as a pyarrow.RecordBatch, sharing its
memory.  pyarrow is optional: it is imported only here, when asked for."""

from __future__ import annotations

from typing import Any

from . import _native

_CODE_TYPES = {"B": "uint8", "H": "uint16", "I": "uint32"}


def batch_to_arrow(batch: _native.RecordBatch) -> Any:
    """Columns id and description (string), sequence (large_string of the
    text, or large_list of the codes' unsigned type) and, for FASTQ,
    quality (large_string, or large_list<uint8> of Phred scores).  The
    sequences', qualities' and offsets' buffers are the batch's own."""
    try:
        import pyarrow as pa
    except ImportError as error:
        raise ImportError("RecordBatch.to_arrow needs pyarrow (pip install pyarrow)") from error
    count = len(batch)
    offsets = pa.py_buffer(batch.offsets)

    def column(values: _native.BatchBuffer, coded: bool) -> Any:
        data = pa.py_buffer(values)
        if not coded:
            return pa.Array.from_buffers(pa.large_string(), count, [None, offsets, data])
        items = pa.Array.from_buffers(
            getattr(pa, _CODE_TYPES[values.format])(), len(values), [None, data]
        )
        starts = pa.Array.from_buffers(pa.int64(), count + 1, [None, offsets])
        return pa.LargeListArray.from_arrays(starts, items)

    arrays = [
        pa.array(batch.ids, pa.string()),
        pa.array(batch.descriptions, pa.string()),
        column(batch.sequences, batch.coded),
    ]
    names = ["id", "description", "sequence"]
    if batch.qualities is not None:
        arrays.append(column(batch.qualities, batch.phred is not None))
        names.append("quality")
    return pa.RecordBatch.from_arrays(arrays, names=names)
