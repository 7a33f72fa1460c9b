"""Names shown in the tables. A name from the file system, an archive or a list is bytes and need
not be UTF-8; every table, writer and converter shows its undecodable bytes as ``\\xNN`` escapes
(and a lone surrogate in a caller's text as ``\\uNNNN``), so all formats show the same text."""

from __future__ import annotations


def display_name(name: str | bytes) -> str:
    """`name` as text every output takes: bytes decoded as UTF-8 with the bytes that are not
    escaped; text as it is, save surrogates (undecodable bytes from os.fsdecode, or lone ones)."""
    if isinstance(name, bytes):
        return name.decode("utf-8", "backslashreplace")
    if not has_surrogates(name):
        return name
    return "".join(_escaped(c) if "\ud800" <= c <= "\udfff" else c for c in name)


def has_surrogates(text: str) -> bool:
    try:
        text.encode()
    except UnicodeEncodeError:
        return True
    return False


def _escaped(surrogate: str) -> str:
    code = ord(surrogate)
    return f"\\x{code - 0xDC00:02x}" if 0xDC80 <= code <= 0xDCFF else f"\\u{code:04x}"
