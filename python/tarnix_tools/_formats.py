"""The input formats, as the engine lists them: names, descriptions and file-name suffixes."""

from __future__ import annotations

from tarnix_tools import _native

NAMES: tuple[str, ...] = tuple(name for name, _, _ in _native.FORMATS)
# Lower case; a file name matches in any letter case, optionally followed by GZIP_SUFFIX.
SUFFIXES: tuple[str, ...] = tuple(suffix for _, _, suffixes in _native.FORMATS for suffix in suffixes)
GZIP_SUFFIX: str = _native.GZIP_SUFFIX


def strip_suffixes(name: str) -> str:
    """The name without its .gz and format suffixes, in any letter case."""
    for suffix in (GZIP_SUFFIX, *SUFFIXES):
        if name.lower().endswith(suffix):
            name = name[:-len(suffix)]
    return name


def suffix_list() -> str:
    """The suffixes for help texts: ".pdb/.ent/.cif/..."."""
    return "/".join(SUFFIXES)


def describe() -> str:
    """The formats for help texts: "pdb (PDB), mmcif (mmCIF), ..."."""
    return ", ".join(f"{name} ({description})" for name, description, _ in _native.FORMATS)


def check(format: object) -> None:
    """Raises ValueError unless format is None or a format's name."""
    if format is not None and format not in NAMES:
        choices = ", ".join(repr(name) for name in NAMES)
        raise ValueError(f"format must be None or one of {choices}, got {format!r}")
