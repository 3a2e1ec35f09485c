"""Runs mypy --strict (with the project's configuration) over misuses.py and checks that it rejects
exactly the lines marked `# rejected`, and that the typed example passes."""
import pathlib
import re
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]


def mypy(path):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--config-file", str(ROOT / "pyproject.toml"), str(path)],
                          capture_output=True, text=True, cwd=ROOT)


def main():
    misuses = HERE / "misuses.py"
    expected = {n for n, line in enumerate(misuses.read_text().splitlines(), 1) if re.search(r"#\s*rejected:", line)}
    done = mypy(misuses)
    rejected = {int(m.group(1)) for m in re.finditer(r"misuses\.py:(\d+): error", done.stdout)}
    example = mypy(ROOT / "examples" / "typed_usage.py")
    ok = rejected == expected and example.returncode == 0
    if not ok:
        print(done.stdout, example.stdout, sep="\n")
        print(f"expected errors on lines {sorted(expected)}, got {sorted(rejected)}")
    print(f"typing: {len(rejected & expected)} of {len(expected)} misuses rejected, typed example "
          f"{'passes' if example.returncode == 0 else 'fails'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
