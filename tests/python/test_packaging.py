"""README's install commands, run as written in a copy of the tree: `pip install .` builds the
package with the native module inside, and the `pelnor` command works."""

import os
import re
import shutil
import subprocess
import sys
import tarfile

import pytest

from datafiles import REPO

pytest.importorskip("scikit_build_core")


def readme_install_commands():
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    block = re.search(r"build without isolation:\n\n  ```sh\n(.*?)  ```", readme, re.S).group(1)
    return [line.strip() for line in block.splitlines() if line.strip()]


def tracked_files(repo):
    listed = subprocess.run(["git", "ls-files", "-z"], cwd=repo, capture_output=True, check=True)
    return [name for name in listed.stdout.decode().split("\0") if name]


def test_pip_install_into_a_fresh_venv(tmp_path):
    source = tmp_path / "src"
    for name in tracked_files(REPO):
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


def test_the_sdist_holds_exactly_the_tracked_files_a_build_needs(tmp_path):
    pytest.importorskip("build")
    tree = tmp_path / "tree"
    for name in tracked_files(REPO):
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(REPO / name, tree / name)
    subprocess.run(["git", "init", "-q"], cwd=tree, check=True)
    subprocess.run(["git", "add", "-A"], cwd=tree, check=True)
    (tree / "scratch.txt").write_text("a developer's notes, half written")
    (tree / "src" / "half_written.cpp").write_text("int f(")
    # The build is no code of the module's: it runs without the sanitizer the suite may run under.
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    subprocess.run([tree / "tools" / "build_wheel", sys.executable, tmp_path / "out",
                    "--sdist-only"], check=True, capture_output=True, env=environment)
    (sdist,) = (tmp_path / "out").glob("pelnor-*.tar.gz")
    with tarfile.open(sdist) as archive:
        files = {member.name.split("/", 1)[1] for member in archive.getmembers() if member.isfile()}
    needed = {name for name in tracked_files(tree)
              if name.split("/")[0] in ("src", "python", "data")
              or name in ("CMakeLists.txt", "pyproject.toml", "README.md")}
    assert files == needed | {"PKG-INFO"}
