"""Every Python example in the README runs, in order, in one namespace, and its assertions hold."""
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def test_readme_examples_run():
    blocks = BLOCK.findall(README.read_text(encoding="utf-8"))
    assert len(blocks) >= 5
    namespace: dict = {"__name__": "readme"}
    for number, code in enumerate(blocks, 1):
        exec(compile(code, f"README.md example {number}", "exec"), namespace)
