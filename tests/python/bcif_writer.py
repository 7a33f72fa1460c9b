"""BinaryCIF test files made from mmCIF text with biotite, each column written with encodings
chosen here so that every decoder of the reader is exercised."""

import io

import numpy as np
from biotite.structure.io import pdbx

# Plans: how each kind of column is encoded. Encodings are listed in the order they are applied.
PLANS = ("archive", "plain", "biotite")


def _ints(plan, values):
    if plan == "archive":
        # Serial and residue numbers as deposited files hold them.
        return [pdbx.DeltaEncoding(), pdbx.RunLengthEncoding(), pdbx.IntegerPackingEncoding(byte_count=2),
                pdbx.ByteArrayEncoding()]
    return [pdbx.ByteArrayEncoding(type=pdbx.TypeCode.INT32)]


def _reals(plan, decimals):
    if plan == "archive":
        return [pdbx.FixedPointEncoding(factor=10**decimals, src_type=pdbx.TypeCode.FLOAT64), pdbx.DeltaEncoding(),
                pdbx.IntegerPackingEncoding(byte_count=2), pdbx.ByteArrayEncoding()]
    return [pdbx.ByteArrayEncoding(type=pdbx.TypeCode.FLOAT32)]


def _texts(plan, index):
    if plan == "archive":
        # Alternate the index chains so both shapes occur; offsets as run lengths or packed deltas.
        indices = ([pdbx.RunLengthEncoding(), pdbx.IntegerPackingEncoding(byte_count=1), pdbx.ByteArrayEncoding()]
                   if index % 2 else [pdbx.IntegerPackingEncoding(byte_count=1), pdbx.ByteArrayEncoding()])
        offsets = ([pdbx.DeltaEncoding(), pdbx.RunLengthEncoding(), pdbx.ByteArrayEncoding(type=pdbx.TypeCode.INT32)]
                   if index % 2 else [pdbx.DeltaEncoding(), pdbx.IntegerPackingEncoding(byte_count=1),
                                      pdbx.ByteArrayEncoding()])
        return [pdbx.StringArrayEncoding(data_encoding=indices, offset_encoding=offsets)]
    return [pdbx.StringArrayEncoding(data_encoding=[pdbx.ByteArrayEncoding(type=pdbx.TypeCode.INT32)],
                                     offset_encoding=[pdbx.RunLengthEncoding(),
                                                      pdbx.ByteArrayEncoding(type=pdbx.TypeCode.INT32)])]


def _typed(strings, present):
    """The column as int32, float64 (with its most decimals) or text, as its present values allow."""
    values = strings[present]
    try:
        ints = np.array([int(v) for v in values], dtype=np.int64)
        if len(ints) and np.abs(ints).max() < 2**31:
            out = np.zeros(len(strings), dtype=np.int32)
            out[present] = ints
            return out, None
    except ValueError:
        pass
    try:
        reals = np.array([float(v) for v in values], dtype=np.float64)
        decimals = max((len(v.partition(".")[2]) for v in values), default=0)
        out = np.zeros(len(strings), dtype=np.float64)
        out[present] = reals
        return out, decimals
    except ValueError:
        pass
    out = strings.astype(str).copy()
    out[~present] = ""
    return out, None


def _column(plan, text_column, index):
    strings = text_column.as_array(str)
    mask = text_column.mask.array if text_column.mask is not None else np.zeros(len(strings), dtype=np.uint8)
    mask = np.asarray(mask, dtype=np.uint8)
    present = mask == 0
    array, decimals = _typed(strings, present)
    if plan == "biotite":
        encoding = None
    elif array.dtype.kind == "i":
        encoding = _ints(plan, array)
    elif array.dtype.kind == "f":
        encoding = _reals(plan, decimals)
    else:
        encoding = _texts(plan, index)
    data = pdbx.BinaryCIFData(array, encoding=encoding)
    if present.all():
        return pdbx.BinaryCIFColumn(data)
    mask_encoding = None if plan == "biotite" else [pdbx.RunLengthEncoding(),
                                                    pdbx.ByteArrayEncoding(type=pdbx.TypeCode.INT32)]
    return pdbx.BinaryCIFColumn(data, mask=pdbx.BinaryCIFData(mask, encoding=mask_encoding))


def from_mmcif(text, plan="archive", atom_site=None):
    """BinaryCIF bytes holding the same _atom_site data as the mmCIF text.

    atom_site, when given, maps column names to encodings to use instead of the plan's.
    """
    cif = pdbx.CIFFile.read(io.StringIO(text))
    block_name, block = next(iter(cif.items()))
    categories = {}
    for name, category in block.items():
        if name != "atom_site":
            continue
        columns = {}
        for index, (column_name, column) in enumerate(category.items()):
            columns[column_name] = _column(plan, column, index)
            if atom_site and column_name in atom_site:
                columns[column_name] = pdbx.BinaryCIFColumn(pdbx.BinaryCIFData(
                    columns[column_name].data.array, encoding=atom_site[column_name]), mask=columns[column_name].mask)
        categories[name] = pdbx.BinaryCIFCategory(columns, row_count=category.row_count)
    out = pdbx.BinaryCIFFile({block_name: pdbx.BinaryCIFBlock(categories)})
    if plan == "biotite":
        out = pdbx.compress(out)
    stream = io.BytesIO()
    out.write(stream)
    return stream.getvalue()
