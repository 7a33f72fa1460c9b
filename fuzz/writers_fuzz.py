"""Fuzzes the text writers: random columns (integers, floats of any bits, booleans, text of any code
points) written as tsv, csv and jsonl must read back with Python's csv and json modules as the same
values (text with undecodable bytes escaped, NaN and, in JSON, infinities as null/empty).

Run by fuzz/run.sh under atheris; the tests replay the seeds and the kept regressions through
``check`` without atheris."""
import csv
import io
import json
import math
import sys

import numpy as np

_writers = None
_names = None
_KINDS = ("int32", "float32", "float64", "bool", "text")


def _column(data, kind, rows):
    if kind == "int32":
        return np.array([data.ConsumeIntInRange(-2**31, 2**31 - 1) for _ in range(rows)], np.int32)
    if kind == "float32":
        return np.frombuffer(data.ConsumeBytes(4 * rows).ljust(4 * rows, b"\0"), np.float32).copy()
    if kind == "float64":
        return np.frombuffer(data.ConsumeBytes(8 * rows).ljust(8 * rows, b"\0"), np.float64).copy()
    if kind == "bool":
        return np.array([data.ConsumeBool() for _ in range(rows)])
    return np.array([data.ConsumeUnicodeNoSurrogates(6) if data.ConsumeBool() else data.ConsumeUnicode(6)
                     for _ in range(rows)] or [""])[:rows]


def _same_number(text, value, missing):
    if math.isnan(value):
        return text == missing
    if isinstance(text, str):
        parsed = float(text)
    elif text is None:
        return math.isinf(value)  # JSON has no infinity: written as null
    else:
        parsed = float(text)
    return value.dtype.type(parsed) == value


def _expected_text(value):
    return _names.display_name(str(value))


def _check_cell(cell, value, kind, missing, in_json):
    if kind == "int32":
        assert int(cell) == int(value), (cell, value)
    elif kind == "bool":
        assert cell == (bool(value) if in_json else ("true" if value else "false")), (cell, value)
    elif kind == "text":
        expected = _expected_text(value)
        assert cell == (expected if in_json else expected.replace("\0", "")), (cell, expected)
    else:
        assert _same_number(cell, value, missing), (cell, value)


def _check_table(data):
    rows = data.ConsumeIntInRange(0, 12)
    kinds = [_KINDS[data.ConsumeIntInRange(0, len(_KINDS) - 1)] for _ in range(data.ConsumeIntInRange(1, 5))]
    columns = {f"c{k}": _column(data, kind, rows) for k, kind in enumerate(kinds)}
    for fmt in ("tsv", "csv", "jsonl"):
        out = io.BytesIO()
        writer = _writers.open_writer(out, fmt)
        writer.append(_table(columns))
        writer.close()
        text = out.getvalue().decode("utf-8")
        if fmt == "jsonl":
            records = [json.loads(line) for line in text.split("\n")[:-1]]
            assert len(records) == rows, (len(records), rows)
            for record, r in zip(records, range(rows)):
                assert list(record) == list(columns)
                for (name, values), kind in zip(columns.items(), kinds):
                    _check_cell(record[name], values[r], kind, None, True)
            continue
        lines = list(csv.reader(io.StringIO(text, newline=""), delimiter="\t" if fmt == "tsv" else ","))
        # a line holding one empty field reads as no field at all
        lines = [line or [""] for line in lines]
        assert lines[0] == list(columns) and len(lines) == rows + 1, (fmt, lines)
        for r, line in enumerate(lines[1:]):
            assert len(line) == len(columns), (fmt, line)
            for cell, values, kind in zip(line, columns.values(), kinds):
                _check_cell(cell, values[r], kind, "", False)


def _table(columns):
    from tarnix_tools.table import Table
    return Table(columns)


def _load():
    global _writers, _names
    from tarnix_tools import _names as names, _writers as writers
    _writers, _names = writers, names


def main():
    import atheris

    with atheris.instrument_imports(include=["tarnix_tools"]):
        _load()
    atheris.Setup(sys.argv, lambda raw: _check_table(atheris.FuzzedDataProvider(raw)))
    atheris.Fuzz()


def check(raw):
    """One input, as the fuzzer runs it (needs atheris for its data provider)."""
    import atheris
    _check_table(atheris.FuzzedDataProvider(raw))


if __name__ == "__main__":
    main()
else:
    _load()
