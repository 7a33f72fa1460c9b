from __future__ import annotations
import numpy as np
class Table:
    def __init__(self, columns):
        self.columns = dict(columns)
    def __len__(self):
        return len(next(iter(self.columns.values()))) if self.columns else 0
    @classmethod
    def concat(cls, tables):
        tables = list(tables)
        return cls({k: np.concatenate([t.columns[k] for t in tables]) for k in tables[0].columns})
