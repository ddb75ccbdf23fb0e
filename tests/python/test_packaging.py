"""`pip install .` builds the package with the native module inside, and the script works."""

import os
import shutil
import subprocess
import sys

import pytest

from datafiles import REPO

pytest.importorskip("scikit_build_core")


def test_pip_install_into_a_fresh_venv(tmp_path):
    source = tmp_path / "src"
    tracked = subprocess.run(
        ["git", "ls-files", "-z"], cwd=REPO, capture_output=True, check=True
    ).stdout.decode().split("\0")
    for name in filter(None, tracked):
        target = source / name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(REPO / name, target)
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True)
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    subprocess.run(
        [venv / "bin" / "pip", "install", "-q", "--no-build-isolation", str(source)],
        check=True, env=environment, capture_output=True,
    )
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    shutil.copy2(REPO / "README.md", elsewhere / "README.md")
    result = subprocess.run(
        [venv / "bin" / "pelnor", "count", "README.md"],
        cwd=elsewhere, env=environment, capture_output=True, text=True, check=True,
    )
    count, name = result.stdout.split()
    assert name == "README.md" and int(count) > 100
    probe = subprocess.run(
        [venv / "bin" / "python", "-c",
         "import pelnor, pelnor._pelnor as m; print(m.__file__); print(pelnor.Tokenizer.__module__)"],
        cwd=elsewhere, env=environment, capture_output=True, text=True, check=True,
    )
    module_file, module_name = probe.stdout.split()
    assert module_file.startswith(str(venv)) and module_name == "pelnor._pelnor"
