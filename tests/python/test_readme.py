"""The README's Python examples, run as they stand."""

import doctest
import re

from conftest import needs
from datafiles import REPO


def test_readme_python_examples_give_what_they_show():
    needs("numpy")  # one example returns arrays
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"```python\n(.*?)```", readme, re.S)
    assert blocks
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report, session = [], {}  # the blocks read as one session
    for number, block in enumerate(blocks):
        test = parser.get_doctest(block, session, f"README python block {number}", "README.md", 0)
        runner.run(test, out=report.append, clear_globs=False)
        session = test.globs
    assert runner.summarize(verbose=False).failed == 0, "".join(report)


def test_readme_command_line_examples_print_what_they_show():
    import subprocess
    import sys

    readme = (REPO / "README.md").read_text(encoding="utf-8")
    block = re.search(r"## The command line\n\n```sh\n(.*?)```", readme, re.S)
    examples = re.findall(r"^\$ (.*?)(?:\s+#[^\n]*)?\n((?:[^$\n][^\n]*\n)*)", block.group(1), re.M)
    shown = [(command, output) for command, output in examples if output]
    assert len(shown) >= 3
    pelnor = f"{sys.executable} -m pelnor"
    for command, output in shown:
        runnable = re.sub(r"(^|\| )pelnor ", lambda m: f"{m.group(1)}{pelnor} ", command)
        result = subprocess.run(runnable, shell=True, cwd=REPO,
                                capture_output=True, text=True)
        assert (result.returncode, result.stdout) == (0, output), command


def test_readme_names_every_native_method():
    import pelnor

    readme = (REPO / "README.md").read_text(encoding="utf-8")
    table = re.search(r"\| Method \| What it returns \|\n(.*?)\n\n", readme, re.S).group(1)
    assert [name for name in dir(pelnor.Tokenizer)
            if not name.startswith("_") and not re.search(rf"\b{name}\b", table)] == []
