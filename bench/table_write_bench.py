"""Writing a million residue rows as tsv and jsonl: tarnix's NumPy-only writers beside the
writers of pandas, polars and pyarrow on the same rows (converted to their frames beforehand,
outside the timing). Also the cost of to_arrow / to_polars / to_pandas.

    python bench/table_write_bench.py [--rows 1000000] [--repeats 3]
"""

import argparse
import os
import pathlib
import tempfile

import numpy as np

import tarnix_tools
from tarnix_tools.table import Table
from timing import median_seconds

CORPUS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "structures"


def residue_rows(rows):
    """The corpus's residue table, repeated up to `rows` rows."""
    files = sorted(p for p in CORPUS.iterdir() if p.suffix in (".pdb", ".cif"))
    residues = tarnix_tools.annotate(files, threads=2).residues
    repeats = -(-rows // len(residues))
    return Table({n: np.tile(v, repeats)[:rows] for n, v in residues.columns.items()})




def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    options = parser.parse_args()

    import pandas as pd
    import polars as pl
    import pyarrow.csv

    table = residue_rows(options.rows)
    frame, polars_frame, arrow = table.to_pandas(), table.to_polars(), table.to_arrow()
    print(f"{len(table):,} rows x {len(table.columns)} columns; medians of {options.repeats}")
    with tempfile.TemporaryDirectory() as scratch:
        def path(name):
            return os.path.join(scratch, name)

        cases = {
            "tsv": {
                "tarnix Table.write": lambda: table.write(path("t.tsv")),
                "pandas to_csv": lambda: frame.to_csv(path("p.tsv"), sep="\t", index=False),
                "polars write_csv": lambda: polars_frame.write_csv(path("l.tsv"), separator="\t"),
                "pyarrow write_csv": lambda: pyarrow.csv.write_csv(
                    arrow, path("a.tsv"), pyarrow.csv.WriteOptions(delimiter="\t")),
            },
            "jsonl": {
                "tarnix Table.write": lambda: table.write(path("t.jsonl")),
                "pandas to_json(lines)": lambda: frame.to_json(path("p.jsonl"), orient="records", lines=True),
                "polars write_ndjson": lambda: polars_frame.write_ndjson(path("l.jsonl")),
            },
            "conversion": {
                "to_arrow": table.to_arrow,
                "to_polars": table.to_polars,
                "to_pandas": table.to_pandas,
                "pd.DataFrame(columns)": lambda: pd.DataFrame(table.columns),
                "pl.DataFrame(columns)": lambda: pl.DataFrame(table.columns),
            },
        }
        for group, actions in cases.items():
            print(f"\n{group}")
            ours = None
            for label, action in actions.items():
                seconds = median_seconds(action, options.repeats)
                ours = ours or seconds
                print(f"  {label:<24} {seconds:7.2f} s  {len(table) / seconds / 1e6:6.2f} M rows/s"
                      f"  {seconds / ours:5.2f}x tarnix's time" if group != "conversion" else
                      f"  {label:<24} {seconds:7.3f} s")


if __name__ == "__main__":
    main()
