import sys
import sysconfig
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent.parent / "tools"))

import tiktoken_reference  # noqa: E402

# The free-threaded build has no tiktoken: a regular interpreter serves it.
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    tiktoken_reference.install()

ENCODINGS = [
    "gpt2", "r50k_base", "p50k_base", "p50k_edit", "cl100k_base", "o200k_base", "o200k_harmony"
]


def needs(module):
    """Imports module, or skips the test where this Python lacks it (Debian builds numpy and
    tiktoken for 3.14 and 3.15 only; on the free-threaded build a regular interpreter serves
    tiktoken)."""
    version = f"{sys.version_info.major}.{sys.version_info.minor}"
    return pytest.importorskip(module, reason=f"{module} is not installed for Python {version}",
                               exc_type=ImportError)


@pytest.fixture(scope="session")
def tokenizers():
    import pelnor

    return {name: pelnor.Tokenizer(name) for name in ENCODINGS}


@pytest.fixture(scope="session")
def references():
    needs("tiktoken")
    import tiktoken_offline

    return {name: tiktoken_offline.encoding(name) for name in ENCODINGS}


@pytest.fixture(params=ENCODINGS)
def encoding(request):
    return request.param
