"""Token ids in the command line's formats, read and written a block at a time."""

import array
import json
import struct
import sys

# Input is read this many bytes at a time, so that memory is bounded by the block, not the input.
READ_BYTES = 1 << 20
_NPY_MAGIC = b"\x93NUMPY"
_NPY_ALIGN = 64


class IdsError(Exception):
    """Input that holds no valid ids; the message says why."""


def ids_of_buffer(buffer):
    """The uint32 ids of a little-endian buffer, as an array."""
    ids = array.array("I")
    ids.frombytes(buffer)
    if sys.byteorder == "big":
        ids.byteswap()
    return ids


def npy_header(count):
    """The .npy (version 1.0) header of a one-dimensional little-endian uint32 array."""
    header = f"{{'descr': '<u4', 'fortran_order': False, 'shape': ({count},), }}"
    padding = -(len(_NPY_MAGIC) + 4 + len(header) + 1) % _NPY_ALIGN
    header = (header + " " * padding + "\n").encode("latin-1")
    return _NPY_MAGIC + b"\x01\x00" + struct.pack("<H", len(header)) + header


def _blocks(stream):
    while block := stream.read(READ_BYTES):
        yield block


def text_rows(stream):
    """Yields (ids, b""): the ids of text separated by any whitespace."""
    pending = b""
    for block in _blocks(stream):
        pending += block
        # Words are cut at whitespace only; a word may still go on in the next block.
        cut = max(pending.rfind(b" "), pending.rfind(b"\n"), pending.rfind(b"\t"))
        if cut >= 0:
            yield _words(pending[:cut]), b""
            pending = pending[cut:]
    yield _words(pending), b""


def line_rows(stream):
    """Yields (ids, ending) per line: its ids and its line end (b"\\r\\n", b"\\n" or b"")."""
    pending = b""
    for block in _blocks(stream):
        pending += block
        cut = pending.rfind(b"\n") + 1
        if cut:
            yield from _lines(pending[:cut])
            pending = pending[cut:]
    if pending:
        yield from _lines(pending)


def _lines(data):
    for line in data.splitlines(keepends=True):
        ending = b"\r\n" if line.endswith(b"\r\n") else b"\n" if line.endswith(b"\n") else b""
        yield _words(line[: len(line) - len(ending)]), ending


def _words(data):
    words = data.decode("utf-8", "replace").split()
    try:
        return list(map(int, words))
    except ValueError:
        bad = next(word for word in words if not _is_int(word))
        raise IdsError(f"invalid token id: {bad!r}") from None


def _is_int(word):
    try:
        int(word)
    except ValueError:
        return False
    return True


def json_rows(stream):
    """Yields (ids, b"") from one or more JSON lists of ids, one after another, parsed a comma-cut
    slice at a time."""
    pending, inside, after_comma = "", False, False
    for block in _blocks(stream):
        pending += block.decode("utf-8", "replace")
        while True:
            if not inside:
                rest = pending.lstrip()
                if not rest:
                    pending = ""
                    break
                if rest[0] != "[":
                    raise IdsError("invalid JSON ids: a list of integers must start with '['")
                pending, inside, after_comma = rest[1:], True, False
            end = pending.find("]")
            cut = end if end >= 0 else pending.rfind(",")
            if cut < 0:
                break
            part = pending[:cut]
            # "[]" is the one list with nothing between its delimiters.
            if not part.strip() and (after_comma or end < 0):
                raise IdsError("invalid JSON ids: a missing value between commas")
            yield _json_ids(part), b""
            pending, inside, after_comma = pending[cut + 1 :], end < 0, end < 0
    if inside or pending.strip():
        raise IdsError("invalid JSON ids: the list is not closed")


def _json_ids(part):
    try:
        return json.loads(f"[{part}]")
    except json.JSONDecodeError as error:
        raise IdsError(f"invalid JSON ids: {error.msg}") from None


def raw_rows(stream):
    """Yields (ids, b"") of little-endian uint32 ids."""
    pending = b""
    for block in _blocks(stream):
        pending += block
        whole = len(pending) - len(pending) % 4
        yield ids_of_buffer(pending[:whole]), b""
        pending = pending[whole:]
    if pending:
        raise IdsError("raw input must be a whole number of little-endian uint32 ids")


def npy_rows(stream, numpy):
    """Yields (ids, b"") of one or more one-dimensional integer .npy arrays, one after another."""
    from numpy.lib import format as npy_format

    arrays = 0
    while magic := stream.read(len(_NPY_MAGIC)):
        if magic != _NPY_MAGIC:
            raise IdsError("npy input must be .npy arrays of ids, as encode --format npy writes")
        major = stream.read(2)[:1]
        read_header = {b"\x01": npy_format.read_array_header_1_0,
                       b"\x02": npy_format.read_array_header_2_0}.get(major)
        if read_header is None:
            raise IdsError("invalid npy ids: an unknown .npy version")
        try:
            shape, _, dtype = read_header(stream)
        except ValueError as error:
            raise IdsError(f"invalid npy ids: {error}") from None
        if len(shape) != 1 or dtype.kind not in "iu":
            raise IdsError("npy ids must be a one-dimensional array of integers")
        left = shape[0] * dtype.itemsize
        while left:
            data = stream.read(min(left, READ_BYTES - READ_BYTES % dtype.itemsize))
            if not data or len(data) % dtype.itemsize:
                raise IdsError("invalid npy ids: the array is cut short")
            left -= len(data)
            yield numpy.frombuffer(data, dtype).astype(numpy.int64).tolist(), b""
        arrays += 1
    if not arrays:
        raise IdsError("npy input must be .npy arrays of ids, as encode --format npy writes")
