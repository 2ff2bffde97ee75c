"""The README's Python examples run, in order, in one session."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples_run(restore_architectures):
    text = README.read_text()
    blocks = list(re.finditer(r"```python\n(.*?)```", text, re.S))
    assert len(blocks) >= 8
    namespace = {}
    for block in blocks:
        # Padded to its line in the README, so that a failure points there.
        padding = "\n" * text.count("\n", 0, block.start(1))
        exec(compile(padding + block.group(1), str(README), "exec"), namespace)
