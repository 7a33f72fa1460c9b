import pathlib

import numpy as np
import pytest

import tarnix

BACKBONE = np.zeros((3, 4, 3), dtype=np.float32)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: tarnix.assign(), "assign() missing 1 required positional argument: 'path'"),
        (lambda: tarnix.assign_batch(), "assign_batch() missing 1 required positional argument: 'paths'"),
        (lambda: tarnix.assign("a", True, 3, 4), "assign() takes from 1 to 3 positional arguments but 4 were given"),
        (
            lambda: tarnix.assign_from_coords(1, 2, 3, 4, 5),
            "assign_from_coords() takes from 1 to 3 positional arguments but 5 were given",
        ),
        # the positional count is checked before the keywords, unknown keywords before duplicates
        (lambda: tarnix.assign(1, 2, 3, 4, bogus=1), "assign() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: tarnix.assign("a", path="b", bogus=1), "assign() got an unexpected keyword argument 'bogus'"),
        (lambda: tarnix.assign("a", path="b"), "assign() got multiple values for argument 'path'"),
        (lambda: tarnix.assign(ppii_stretch=3), "assign() missing 1 required positional argument: 'path'"),
        (lambda: tarnix.assign(path=1, bogus=2), "assign() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: tarnix.assign(pathlib.Path("x.pdb")), "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
        (lambda: tarnix.assign(b"x.pdb"), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: tarnix.assign("x", 1), "argument 'calculate_sasa': 'int' object cannot be converted to 'PyBool'"),
        (lambda: tarnix.assign("x", None), "argument 'calculate_sasa': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda: tarnix.assign("x", np.int64(1)), "argument 'calculate_sasa': 'int64' object cannot be converted to 'PyBool'"),
        (lambda: tarnix.assign("x", True, 2.0), "argument 'ppii_stretch': 'float' object cannot be interpreted as an integer"),
        (lambda: tarnix.assign("x", True, "3"), "argument 'ppii_stretch': 'str' object cannot be interpreted as an integer"),
        (lambda: tarnix.assign_from_coords([[[0.0] * 3] * 4]), "argument 'coords': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: tarnix.assign_from_coords(BACKBONE.astype(np.float64)), "argument 'coords': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: tarnix.assign_from_coords(BACKBONE[0]), "argument 'coords': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: tarnix.assign_from_coords(BACKBONE.astype(">f4")), "argument 'coords': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: tarnix.assign_from_coords(BACKBONE, 7), "argument 'chain_id': 'int' object cannot be converted to 'PyString'"),
        # conversion runs in parameter order: the first failure wins
        (lambda: tarnix.assign_from_coords(BACKBONE[0], 7, 1), "argument 'coords': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: tarnix.assign_batch("a.pdb"), "argument 'paths': Can't extract `str` to `Vec`"),
        (lambda: tarnix.assign_batch(p for p in ["a"]), "argument 'paths': 'generator' object cannot be converted to 'Sequence'"),
        (lambda: tarnix.assign_batch({"a": 1}), "argument 'paths': 'dict' object cannot be converted to 'Sequence'"),
        (lambda: tarnix.assign_batch({"a"}), "argument 'paths': 'set' object cannot be converted to 'Sequence'"),
        (lambda: tarnix.assign_batch(["a", 1]), "argument 'paths': 'int' object cannot be converted to 'PyString'"),
        (lambda: tarnix.assign_batch(["a"], 1.5), "argument 'n_threads': 'float' object cannot be interpreted as an integer"),
        (lambda: tarnix.assign_batch(["a"], 0, 0), "argument 'calculate_sasa': 'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_conversion_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_prefixed_error_takes_the_underlying_cause():
    class Index:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("bad index") from inner

    with pytest.raises(TypeError) as info:
        tarnix.assign("x", True, Index())
    assert str(info.value) == "argument 'ppii_stretch': bad index"
    assert isinstance(info.value.__cause__, KeyError)

    # without an underlying cause the cause is still set (to None), as after `raise ... from None`
    with pytest.raises(TypeError) as info:
        try:
            raise KeyError("handled")
        except KeyError:
            tarnix.assign("x", True, 2.5)
    assert info.value.__cause__ is None and info.value.__suppress_context__


def test_type_error_subclasses_propagate_unprefixed():
    class IndexFailure(TypeError):
        pass

    class Index:
        def __index__(self):
            raise IndexFailure("bad index")

    class Paths(list):
        def __iter__(self):
            raise IndexFailure("no iteration")

    for call, message in [(lambda: tarnix.assign("x", True, Index()), "bad index"),
                          (lambda: tarnix.assign_batch(["a"], Index()), "bad index"),
                          (lambda: tarnix.assign_batch(Paths(["a"])), "no iteration")]:
        with pytest.raises(IndexFailure) as info:
            call()
        assert str(info.value) == message


def test_iteration_errors_propagate():
    class Broken(list):
        def __iter__(self):
            raise TypeError("no iteration")

    with pytest.raises(TypeError, match=r"^argument 'paths': no iteration$"):
        tarnix.assign_batch(Broken(["a"]))

    class Failing(list):
        def __iter__(self):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="^boom$"):
        tarnix.assign_batch(Failing(["a"]))


@pytest.mark.parametrize("length", [ValueError("no length"), 2**40, 2**62])
def test_path_sequence_length_is_only_a_hint(length):
    class Paths:
        def __len__(self):
            if isinstance(length, Exception):
                raise length
            return length

        def __getitem__(self, i):
            if i < 2:
                return "missing.pdb"
            raise IndexError(i)

    assert tarnix.assign_batch(Paths()) == [None, None]


@pytest.mark.parametrize("value", [-1, 2**64])
def test_out_of_range_integers_raise_unprefixed_overflow(value):
    with pytest.raises(OverflowError) as info:
        tarnix.assign("x", True, value)
    assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        tarnix.assign_batch([], value)


def test_lone_surrogate_raises_unicode_error_unchanged():
    with pytest.raises(UnicodeEncodeError):
        tarnix.assign("\udc80.pdb")
    with pytest.raises(UnicodeEncodeError):
        tarnix.assign_from_coords(np.zeros((1, 4, 3), np.float32), "\udc80")


def test_numpy_bools_are_accepted_and_ints_are_not():
    coords = np.zeros((2, 4, 3), np.float32)
    assert len(tarnix.assign_from_coords(coords, "A", np.True_)) == 2
    assert len(tarnix.assign_from_coords(coords, "A", np.bool_(False))) == 2
    with pytest.raises(TypeError):
        tarnix.assign_from_coords(coords, "A", 0)


def test_shape_error_comes_after_all_conversions():
    bad_shape = np.zeros((2, 3, 3), np.float32)
    with pytest.raises(TypeError, match="calculate_sasa"):
        tarnix.assign_from_coords(bad_shape, "A", 1)
    for shape in [(2, 3, 3), (2, 4, 4), (0, 5, 3)]:
        with pytest.raises(ValueError) as info:
            tarnix.assign_from_coords(np.zeros(shape, np.float32))
        assert str(info.value) == "coords must have shape (L, 4, 3) where 4 is N, CA, C, O"
