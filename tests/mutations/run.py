"""Plants each fault of mutations.toml in a scratch copy of the tree, rebuilds what it touches,
runs the tests named for it and reports whether they caught it.

    python tests/mutations/run.py            # every fault
    python tests/mutations/run.py NAME ...   # some of them

Run it before a release and after writing a test against a fault: a fault the tests miss means a
test that checks less than it seems. The working tree is never touched; the scratch copy, its
builds and its virtual environment live in build/mutations (the first run builds them, later runs
are incremental). Exit status 0 when every fault is caught.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tomllib
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
WORK = REPO / "build" / "mutations"
TREE = WORK / "tree"
VENV = WORK / "venv"
PYTHON = VENV / "bin" / "python"
CPP_BUILD = WORK / "cpp"
TEST_TIME_LIMIT = 1800


@dataclass(frozen=True)
class Mutation:
    name: str
    file: str
    find: str
    replace: str
    cpp: str  # a GoogleTest filter, or empty
    py: tuple[str, ...]  # pytest node ids, relative to the tree


def load(path: Path) -> list[Mutation]:
    with path.open("rb") as file:
        entries = tomllib.load(file)["mutation"]
    return [Mutation(e["name"], e["file"], e["find"], e["replace"], e.get("cpp", ""), tuple(e.get("py", ())))
            for e in entries]


def run(command: list[str], **kwargs: object) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, text=True, capture_output=True, timeout=TEST_TIME_LIMIT, **kwargs)  # type: ignore[call-overload]


def copy_tree() -> None:
    """The tracked and untracked-but-not-ignored files of the working tree, as they are now."""
    listed = run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=REPO).stdout
    wanted = {name for name in listed.split("\0") if name and (REPO / name).is_file()}
    TREE.mkdir(parents=True, exist_ok=True)
    for name in wanted:
        source, target = REPO / name, TREE / name
        if target.exists() and target.read_bytes() == source.read_bytes():
            continue  # unchanged files keep their times, so the builds stay incremental
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target)


def prepare() -> None:
    copy_tree()
    if not PYTHON.exists():
        subprocess.run([sys.executable, "-m", "venv", str(VENV)], check=True)
        subprocess.run([str(PYTHON), "-m", "pip", "install", "-q", "--upgrade", "pip", "scikit-build-core"],
                       check=True)
        subprocess.run([str(PYTHON), "-m", "pip", "install", "-q", f"{TREE}[test]"], check=True)
    subprocess.run(["cmake", "-S", str(TREE), "-B", str(CPP_BUILD), "-DTARNIX_BUILD_PYTHON=OFF",
                    "-DTARNIX_BUILD_TESTS=ON"], check=True, stdout=subprocess.DEVNULL)


def build(cpp: bool, py: bool) -> str | None:
    """Rebuilds the C++ tests, the installed package or both; the build's error output when it fails."""
    steps = []
    if cpp:
        steps.append(["cmake", "--build", str(CPP_BUILD), "-j", "2"])
    if py:
        steps.append([str(PYTHON), "-m", "pip", "install", "-q", "--no-deps", "--no-build-isolation",
                      "-C", f"build-dir={WORK / 'py'}", str(TREE)])
    for step in steps:
        done = run(step)
        if done.returncode != 0:
            return done.stdout[-2000:] + done.stderr[-2000:]
    return None


def caught(mutation: Mutation) -> bool:
    """Whether a named test fails with the fault in place."""
    if mutation.cpp:
        done = run([str(CPP_BUILD / "tarnix_tests"), "--gtest_brief=1", f"--gtest_filter={mutation.cpp}"])
        if done.returncode != 0:
            return True
    if mutation.py:
        done = run([str(PYTHON), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *mutation.py], cwd=TREE)
        if done.returncode not in (0, 1):
            raise RuntimeError(f"{mutation.name}: pytest could not run the tests:\n{done.stdout[-2000:]}")
        if done.returncode == 1:
            return True
    return False


def plant(mutation: Mutation) -> str:
    """Plants the fault and returns the file's text before it."""
    path = TREE / mutation.file
    text = path.read_text()
    count = text.count(mutation.find)
    if count != 1:
        raise RuntimeError(f"{mutation.name}: the text to change occurs {count} times in {mutation.file}")
    path.write_text(text.replace(mutation.find, mutation.replace))
    return text


def main() -> int:
    parser = argparse.ArgumentParser(description="Plant known faults and see the tests catch them.")
    parser.add_argument("names", nargs="*", help="the mutations to run (default: all)")
    args = parser.parse_args()
    mutations = load(Path(__file__).with_name("mutations.toml"))
    unknown = set(args.names) - {m.name for m in mutations}
    if unknown:
        parser.error(f"no such mutation: {', '.join(sorted(unknown))}")
    chosen = [m for m in mutations if not args.names or m.name in args.names]
    prepare()
    missed = 0
    for mutation in chosen:
        original = plant(mutation)
        try:
            failure = build(bool(mutation.cpp), bool(mutation.py))
            verdict = "build failed" if failure else "caught" if caught(mutation) else "MISSED"
        finally:
            (TREE / mutation.file).write_text(original)
        missed += verdict != "caught"
        print(f"{verdict:12} {mutation.name}", flush=True)
        if failure:
            print(failure, file=sys.stderr)
    # Leave the builds as the unmutated tree has them.
    build(any(m.cpp for m in chosen), any(m.py for m in chosen))
    print(f"{len(chosen) - missed} of {len(chosen)} caught")
    return 0 if missed == 0 else 1


if __name__ == "__main__":
    os.umask(0o022)
    sys.exit(main())
