"""Columns of NumPy arrays rendered as delimited text or JSON lines, a column at a time.

Every part of a row (a sign, the digits of a number, a text, a separator) is a uint8
matrix with one column per table row (rows of the matrix are byte positions, so they
are written contiguously), in which NUL bytes mean "nothing here". Stacking a chunk's
parts, transposing and dropping the NULs joins the rows end to end, so parts can keep
fixed positions: digits right-aligned, a sign or a quote in its own position. No Python code runs per cell, except for the rare texts that need
JSON escapes. (A NUL inside a tsv or csv text is dropped; JSON escapes it.)
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from ._names import display_name

Array = npt.NDArray[Any]

_POW10 = 10 ** np.arange(20, dtype=np.uint64)
_ZERO = ord("0")

# float32 values in this range print positionally from their shortest digits, the rest
# (and inf) through NumPy's shortest repr: the same text NumPy gives for all of them.
_POSITIONAL_MIN = 1e-4
_POSITIONAL_MAX = 1e6


def _column(mask: Array, byte: int) -> Array:
    """One column holding `byte` where mask is true."""
    return np.where(mask, np.uint8(byte), np.uint8(0))[None, :]


def _constant(text: bytes) -> Array:
    return np.frombuffer(text, np.uint8)[:, None]


def _right_aligned_digits(values: Array) -> Array:
    """Decimal digits of non-negative integers (uint64), right-aligned, at least one."""
    width = max(int(np.searchsorted(_POW10, values.max(initial=0), side="right")), 1)
    matrix = np.empty((width, len(values)), np.uint8)
    rest, digit = np.divmod(values, np.uint64(10))
    matrix[-1] = digit + _ZERO
    for position in range(width - 2, -1, -1):
        matrix[position] = np.where(rest > 0, rest % np.uint64(10) + _ZERO, 0)
        rest //= np.uint64(10)
    return matrix


def _fraction_digits(fraction: Array, decimals: Array) -> Array:
    """`decimals` digits of each fraction (zero-padded on the left), left-aligned."""
    width = int(decimals.max(initial=0))
    scaled = fraction * _POW10[width - decimals]
    matrix = np.empty((width, len(fraction)), np.uint8)
    for position in range(width - 1, -1, -1):
        scaled, digit = np.divmod(scaled, np.uint64(10))
        matrix[position] = np.where(position < decimals, digit + _ZERO, 0)
    return matrix


def _used_lengths(matrix: Array) -> Array:
    """Code points before the trailing zero padding of each row."""
    if matrix.shape[1] == 0:
        return np.zeros(len(matrix), np.int64)
    nonzero = matrix[:, ::-1] != 0
    return np.where(nonzero.any(axis=1), matrix.shape[1] - nonzero.argmax(axis=1), 0)


def _code_points(text: Array) -> Array:
    width = text.dtype.itemsize // 4
    return np.ascontiguousarray(text).view(np.uint32).reshape(len(text), width)


def _utf8(text: Array) -> Array:
    """UTF-8 bytes of a 'U' array, NUL-padded (trailing NULs are NumPy's padding)."""
    codes = _code_points(text)
    if codes.max(initial=0) < 128:
        return codes.T.astype(np.uint8)
    encoded = np.char.encode(text, "utf-8")
    return encoded.view(np.uint8).reshape(len(text), encoded.dtype.itemsize).T


def _replace_rows(text: Array, rows: Array, replacements: Array) -> Array:
    width = max(text.dtype.itemsize, replacements.dtype.itemsize) // 4
    out = text.astype(f"U{width}")
    out[rows] = replacements
    return out


def _as_text(values: Array) -> Array:
    """Text as a 'U' array, with surrogates (undecodable bytes of a name) escaped."""
    if values.dtype.kind == "S":
        return values.astype(f"U{max(values.dtype.itemsize, 1)}")
    codes = _code_points(values)
    rows: Array = np.asarray(((codes >= 0xD800) & (codes <= 0xDFFF)).any(axis=1))
    if rows.any():
        escaped = np.array([display_name(s) for s in values[rows].tolist()])
        values = _replace_rows(values, rows, escaped)
    return values


def _csv_text(text: Array, separator: str) -> list[Array]:
    """Quote fields a reader would split or trim: separators, quotes, line breaks,
    leading or trailing blanks (a blank code stays a visible, quoted space)."""
    codes = _code_points(text)
    lengths = _used_lengths(codes)
    special = np.isin(codes, [ord(separator), ord('"'), ord("\n"), ord("\r")]).any(axis=1)
    last = codes[np.arange(len(text)), np.maximum(lengths - 1, 0)]
    blank_edge = (lengths > 0) & (np.isin(codes[:, 0], [32, 9]) | np.isin(last, [32, 9]))
    quote = special | blank_edge
    doubled = quote & (codes == ord('"')).any(axis=1)
    if doubled.any():
        # replace keeps the width it is given: room for every quote doubled
        wide = text[doubled].astype(f"U{2 * codes.shape[1]}")
        text = _replace_rows(text, doubled, np.char.replace(wide, '"', '""'))
    return [_column(quote, ord('"')), _utf8(text), _column(quote, ord('"'))]


def _json_text(text: Array) -> list[Array]:
    codes = _code_points(text)
    in_text = np.arange(codes.shape[1]) < _used_lengths(codes)[:, None]
    rows = (((codes < 0x20) & in_text) | (codes == ord('"')) | (codes == ord("\\"))).any(axis=1)
    if rows.any():
        escaped = np.array([json.dumps(s, ensure_ascii=False)[1:-1] for s in text[rows].tolist()])
        text = _replace_rows(text, rows, escaped)
    return [_constant(b'"'), _utf8(text), _constant(b'"')]


def _integer_parts(values: Array) -> list[Array]:
    if values.dtype.kind == "u":
        magnitude, negative = values.astype(np.uint64), np.zeros(len(values), bool)
    else:
        signed = values.astype(np.int64)
        negative = signed < 0
        # two's complement magnitude, right for the most negative value too
        as_unsigned = signed.astype(np.uint64)
        magnitude = np.where(negative, ~as_unsigned + np.uint64(1), as_unsigned)
    return [_column(negative, ord("-")), _right_aligned_digits(magnitude)]


def _shortest_decimals(values: Array) -> tuple[Array, Array, Array]:
    """For float32 values: (q, d, found) with float32(q / 10**d) == value, d >= 1 and the
    fewest decimals d, where found. The check divides in float64, which is how readers of
    the text parse it before narrowing to float32. Below 1e6 every integer is a float32,
    so a non-integer never prints with fewer decimals than it needs; d = 0 is written as
    one decimal, "100.0"."""
    with np.errstate(invalid="ignore"):  # signalling NaNs
        wide = np.abs(values.astype(np.float64))
        target = np.abs(values)
    found = (wide == 0) | ((wide >= _POSITIONAL_MIN) & (wide < _POSITIONAL_MAX))
    wide[~found] = 0
    safe = np.where(wide > 0, wide, 1.0)
    # nine significant digits always round-trip a float32; one more covers log10's rounding
    low = np.zeros(len(values), np.int64)
    high = np.maximum(9 - np.floor(np.log10(safe)).astype(np.int64), 1)
    # fewest decimals that round-trip, by bisection (more decimals never hurt)
    while True:
        open_ = low < high
        if not open_.any():
            break
        middle = (low + high) // 2
        scale = _POW10[middle].astype(np.float64)
        back = (np.rint(wide * scale) / scale).astype(np.float32)
        fits = back == target
        high = np.where(open_ & fits, middle, high)
        low = np.where(open_ & ~fits, middle + 1, low)
    decimals = np.maximum(low, 1)
    q = np.rint(wide * _POW10[decimals].astype(np.float64)).astype(np.uint64)
    return q, decimals, found


def _float_parts(values: Array, missing: str) -> list[Array]:
    rows = len(values)
    if values.dtype == np.float32:
        q, decimals, found = _shortest_decimals(values)
    else:
        q, decimals, found = (np.zeros(rows, np.uint64), np.ones(rows, np.int64),
                              np.zeros(rows, bool))
    power = _POW10[decimals]
    whole = _right_aligned_digits(q // power)
    whole[:, ~found] = 0
    fraction = _fraction_digits(q % power, np.where(found, decimals, 0))
    return [_column(np.signbit(values) & found, ord("-")), whole,
            _column(found, ord(".")), fraction,
            _utf8(_fallback_floats(values, ~found, missing))]


def _fallback_floats(values: Array, rows: Array, missing: str) -> Array:
    """NumPy's shortest repr for the given rows; `missing` for NaN (and inf in JSON)."""
    text = np.full(len(values), "", "U1")
    if rows.any():
        chosen = values[rows]
        shown = chosen.astype(str)
        absent = np.isnan(chosen) | (np.isinf(chosen) & (missing == "null"))
        shown[absent] = missing
        shown = shown.astype(f"U{max(int(np.char.str_len(shown).max()), 1)}")
        text = _replace_rows(text, rows, shown)
    return text


def _value_parts(values: Array, missing: str, text_parts: Callable[[Array], list[Array]]) -> list[Array]:
    kind = values.dtype.kind
    if kind in "iu":
        return _integer_parts(values)
    if kind == "f":
        return _float_parts(values, missing)
    if kind == "b":
        return [_utf8(np.where(values, "true", "false"))]
    return text_parts(_as_text(values))


def _join_rows(parts: list[Array], rows: int) -> bytes:
    if rows == 0:
        return b""
    stacked = np.empty((sum(len(p) for p in parts), rows), np.uint8)
    position = 0
    for part in parts:
        stacked[position:position + len(part)] = part
        position += len(part)
    flat = np.ascontiguousarray(stacked.T).reshape(-1)
    joined: bytes = flat[flat != 0].tobytes()
    return joined


def render_delimited(columns: Mapping[str, Array], separator: str) -> bytes:
    """Rows (each ending in a newline) of tab- or comma-separated text; NaN is empty."""
    rows = len(next(iter(columns.values()))) if columns else 0
    parts = []
    for position, values in enumerate(columns.values()):
        if position:
            parts.append(_constant(separator.encode()))
        parts += _value_parts(values, "", lambda text: _csv_text(text, separator))
    parts.append(_constant(b"\n"))
    return _join_rows(parts, rows)


def render_jsonl(columns: Mapping[str, Array]) -> bytes:
    """One JSON object per row and line; NaN becomes null."""
    rows = len(next(iter(columns.values()))) if columns else 0
    parts = []
    opening = b"{"
    for name, values in columns.items():
        parts.append(_constant(opening + json.dumps(str(name), ensure_ascii=False).encode() + b":"))
        opening = b","
        parts += _value_parts(values, "null", _json_text)
    parts.append(_constant(b"}\n" if columns else b"{}\n"))
    return _join_rows(parts, rows)


def delimited_header(names: Iterable[str], separator: str) -> bytes:
    """The header line: the column names, quoted like any text."""
    return render_delimited({name: np.array([str(name)]) for name in names}, separator)
