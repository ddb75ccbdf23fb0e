"""README's install commands, run as written in a copy of the tree: `pip install .` builds the
package with the native module inside, and the `pelnor` command works."""

import os
import re
import shutil
import subprocess
import sys

import pytest

from datafiles import REPO

pytest.importorskip("scikit_build_core")


def readme_install_commands():
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    block = re.search(r"build without isolation:\n\n  ```sh\n(.*?)  ```", readme, re.S).group(1)
    return [line.strip() for line in block.splitlines() if line.strip()]


def test_pip_install_into_a_fresh_venv(tmp_path):
    source = tmp_path / "src"
    tracked = subprocess.run(
        ["git", "ls-files", "-z"], cwd=REPO, capture_output=True, check=True
    ).stdout.decode().split("\0")
    for name in filter(None, tracked):
        target = source / name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(REPO / name, target)
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    *install, count = readme_install_commands()
    for command in install:
        subprocess.run(re.sub(r"^python3 ", f"{sys.executable} ", command), shell=True,
                       cwd=source, env=environment, check=True, capture_output=True)
    result = subprocess.run(count, shell=True, cwd=source, env=environment,
                            capture_output=True, text=True, check=True)
    number, name = result.stdout.split()
    assert name == "README.md" and int(number) > 100
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    venv = source / "venv"
    probe = subprocess.run(
        [venv / "bin" / "python", "-c",
         "import pelnor, pelnor._pelnor as m; print(m.__file__); print(pelnor.Tokenizer.__module__)"],
        cwd=elsewhere, env=environment, capture_output=True, text=True, check=True,
    )
    module_file, module_name = probe.stdout.split()
    assert module_file.startswith(str(venv)) and module_name == "pelnor._pelnor"
