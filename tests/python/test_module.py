import inspect
import subprocess
import sys
import textwrap

import tarnix

NAMES = ["assign", "assign_from_coords", "assign_batch", "TarnixResult", "ResidueInfo"]

DOCS = {
    "assign": (
        "(path, calculate_sasa=True, ppii_stretch=3)",
        "Assign secondary structure from a PDB file\n\nArgs:\n"
        "    path: Path to PDB or mmCIF file\n"
        "    calculate_sasa: Whether to calculate surface accessibility (default: True)\n"
        "    ppii_stretch: Minimum PPII helix stretch length (default: 3)\n\n"
        "Returns:\n    TarnixResult containing secondary structure assignment",
    ),
    "assign_from_coords": (
        "(coords, chain_id='A', calculate_sasa=True)",
        "Assign secondary structure from coordinate array\n\nArgs:\n"
        "    coords: Numpy array of shape (L, 4, 3) containing N, CA, C, O coordinates\n"
        '    chain_id: Chain identifier (default: "A")\n'
        "    calculate_sasa: Whether to calculate surface accessibility (default: True)\n\n"
        "Returns:\n    TarnixResult containing secondary structure assignment",
    ),
    "assign_batch": (
        "(paths, n_threads=0, calculate_sasa=True)",
        "Assign secondary structure to multiple PDB files in parallel\n\nArgs:\n"
        "    paths: List of paths to PDB/mmCIF files\n"
        "    n_threads: Number of threads (0 = auto)\n"
        "    calculate_sasa: Whether to calculate surface accessibility\n\n"
        "Returns:\n    List of TarnixResult or None for failed files",
    ),
}


def test_registration_order_and_docs():
    assert tarnix.__all__ == NAMES
    assert tarnix.__doc__ == "Python module for tarnix"
    for name, (signature, doc) in DOCS.items():
        function = getattr(tarnix, name)
        assert str(inspect.signature(function)) == signature
        assert function.__doc__ == doc
        assert function.__module__ == "tarnix"
    assert tarnix.TarnixResult.__doc__ == "TARNIX calculation result"
    assert tarnix.ResidueInfo.__doc__ == "Information about a single residue"
    assert tarnix.TarnixResult.__module__ == "tarnix"


def test_second_initialisation_returns_cached_module():
    import importlib.util

    module_spec = importlib.util.find_spec("tarnix")
    again = importlib.util.module_from_spec(module_spec)
    assert again is tarnix


def test_imports_without_numpy():
    script = textwrap.dedent(
        """
        import sys
        sys.modules["numpy"] = None  # any import of numpy now fails
        import tarnix
        print(tarnix.__all__)
        try:
            tarnix.assign_from_coords([[[0.0] * 3] * 4])
        except ImportError:
            print("needs numpy")
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [str(NAMES), "needs numpy"]


def test_second_interpreter_is_refused():
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        import pytest

        pytest.skip("no subinterpreter support")
    script = textwrap.dedent(
        """
        try:
            import tarnix
        except ImportError:
            pass
        else:
            raise SystemExit("imported in a second interpreter")
        """
    )
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, script)
    finally:
        interpreters.destroy(interp)


def test_type_stub_matches_the_module():
    import ast
    import pathlib

    stub = pathlib.Path(__file__).resolve().parents[2] / "src" / "bindings" / "tarnix" / "tarnix-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text())
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert sorted(functions) + sorted(classes) == sorted(NAMES[:3]) + sorted(NAMES[3:])
    for name, node in functions.items():
        parameters = [a.arg for a in node.args.args]
        defaults = [ast.literal_eval(d) for d in node.args.defaults]
        signature = inspect.signature(getattr(tarnix, name))
        assert parameters == list(signature.parameters)
        assert defaults == [p.default for p in signature.parameters.values()][1:]
    for name, node in classes.items():
        declared = [f.name for f in node.body if isinstance(f, ast.FunctionDef) and not f.name.startswith("__")]
        assert declared == [n for n in vars(getattr(tarnix, name)) if not n.startswith("__")]
