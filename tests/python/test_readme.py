"""Every Python example in the README runs, in order, in one namespace, and its assertions hold."""
import gc
import pathlib
import re
import sys
import types

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def test_readme_examples_run():
    blocks = BLOCK.findall(README.read_text(encoding="utf-8"))
    assert len(blocks) >= 5
    # A module of its own, so that pickle finds the classes the examples define.
    module = types.ModuleType("readme")
    sys.modules["readme"] = module
    # The examples make their records in id order; ids are reused, so no collection may free one
    # of an earlier test's records between two of theirs.
    gc.collect()
    gc.disable()
    try:
        for number, code in enumerate(blocks, 1):
            exec(compile(code, f"README.md example {number}", "exec"), module.__dict__)
    finally:
        gc.enable()
        del sys.modules["readme"]
