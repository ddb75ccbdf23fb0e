"""Reading and writing rank tables: the published `.tiktoken` format and GPT-2's release files
(`vocab.bpe` and `encoder.json`), from local files or URLs, with tiktoken's cache of downloads."""

import base64
import binascii
import json
import os
import tempfile
import uuid


def read_file(blobpath: str) -> bytes:
    """Returns the bytes of a local file, or of an http(s) URL; other URLs need `blobfile`."""
    if "://" not in blobpath:
        with open(blobpath, "rb") as file:
            return file.read()
    if blobpath.startswith(("http://", "https://")):
        import urllib.request

        with urllib.request.urlopen(blobpath) as response:
            return response.read()
    try:
        import blobfile
    except ImportError as error:
        raise ImportError(
            "blobfile is not installed. Please install it by running `pip install blobfile`."
        ) from error
    with blobfile.BlobFile(blobpath, "rb") as file:
        return file.read()


def check_hash(data: bytes, expected_hash: str) -> bool:
    """Returns whether the SHA-256 of data, in hex, is expected_hash."""
    return _sha256_hex(data) == expected_hash


def read_file_cached(blobpath: str, expected_hash: str | None = None) -> bytes:
    """read_file through tiktoken's cache: a directory ($TIKTOKEN_CACHE_DIR, else
    $DATA_GYM_CACHE_DIR, else data-gym-cache in the temporary directory; an empty setting
    turns it off) holding each file's bytes under the SHA-1 of its path. A cached copy whose
    SHA-256 is not expected_hash is read again; bytes read that do not match raise ValueError."""
    cache_dir = os.environ.get("TIKTOKEN_CACHE_DIR", os.environ.get("DATA_GYM_CACHE_DIR"))
    if cache_dir is None:
        cache_dir = os.path.join(tempfile.gettempdir(), "data-gym-cache")
    if cache_dir == "":
        return read_file(blobpath)
    import hashlib

    cache_path = os.path.join(cache_dir, hashlib.sha1(blobpath.encode()).hexdigest())
    if os.path.exists(cache_path):
        with open(cache_path, "rb") as file:
            data = file.read()
        if expected_hash is None or check_hash(data, expected_hash):
            return data
        try:
            os.remove(cache_path)
        except OSError:
            pass
    contents = read_file(blobpath)
    if expected_hash is not None and not check_hash(contents, expected_hash):
        raise ValueError(
            f"Hash mismatch for data downloaded from {blobpath} (expected {expected_hash}). "
            "This may indicate a corrupted download. Please try again."
        )
    try:
        os.makedirs(cache_dir, exist_ok=True)
        # Written aside and renamed: a reader beside this writer never sees half a file.
        partial = f"{cache_path}.{uuid.uuid4()}.tmp"
        with open(partial, "wb") as file:
            file.write(contents)
        os.rename(partial, cache_path)
    except OSError:
        pass
    return contents


def dump_tiktoken_bpe(bpe_ranks: dict[bytes, int], tiktoken_bpe_file: str) -> None:
    """Writes a rank table as a `.tiktoken` file: "<base64 token> <rank>" per line, by rank."""
    lines = [base64.b64encode(token) + b" " + str(rank).encode() + b"\n"
             for token, rank in sorted(bpe_ranks.items(), key=lambda item: item[1])]
    if "://" in tiktoken_bpe_file:
        import blobfile

        with blobfile.BlobFile(tiktoken_bpe_file, "wb") as file:
            file.write(b"".join(lines))
        return
    with open(tiktoken_bpe_file, "wb") as file:
        file.write(b"".join(lines))


def load_tiktoken_bpe(path, expected_hash=None):
    """Returns the rank table of a `.tiktoken` file: one "<base64 token> <rank>" per line.

    With `expected_hash`, the file's SHA-256 (hex) must equal it. A URL is read through
    read_file_cached; a local file afresh, changed or not. A malformed line raises ValueError
    naming the file and the line.
    """
    contents = _read(path, expected_hash)
    ranks = {}
    for number, line in enumerate(contents.splitlines(), 1):
        if not line:
            continue
        fields = line.split()
        try:
            token, rank = base64.b64decode(fields[0], validate=True), int(fields[1])
            if len(fields) != 2 or not token or rank < 0:
                raise ValueError
        except (ValueError, IndexError, binascii.Error):
            raise ValueError(
                f"{os.fsdecode(path)}, line {number}: expected a base64 token and a rank, "
                f"found {line[:80]!r}"
            ) from None
        ranks[token] = rank
    return ranks


def data_gym_to_mergeable_bpe_ranks(
    vocab_bpe_file,
    encoder_json_file,
    vocab_bpe_hash=None,
    encoder_json_hash=None,
    clobber_one_byte_tokens=False,
):
    """Returns the rank table of a GPT-2 style release: the 256 single bytes, then one token per
    merge line of `vocab_bpe_file`, in order. `encoder_json_file` must assign the same ranks
    (its special tokens aside), else ValueError; with `clobber_one_byte_tokens`, the single
    bytes take the ranks it gives them. Tokens in both files spell each byte as one printable
    character; the hashes, when given, are checked as by `load_tiktoken_bpe`.
    """
    byte_of = _data_gym_byte_of_character()
    ranks = {bytes([byte]): rank for rank, byte in enumerate(byte_of.values())}

    def token(spelled, path):
        try:
            return bytes(byte_of[character] for character in spelled)
        except KeyError as error:
            raise ValueError(f"{os.fsdecode(path)}: {error.args[0]!r} spells no byte") from None

    lines = _read(vocab_bpe_file, vocab_bpe_hash).decode("utf-8").splitlines()
    for number, line in enumerate(lines, 1):
        if not line or (number == 1 and line.startswith("#version")):
            continue
        halves = line.split(" ")
        if len(halves) != 2:
            raise ValueError(
                f"{os.fsdecode(vocab_bpe_file)}, line {number}: expected two tokens, found "
                f"{line[:80]!r}"
            )
        ranks.setdefault(token(halves[0], vocab_bpe_file) + token(halves[1], vocab_bpe_file),
                         len(ranks))
    encoder = json.loads(_read(encoder_json_file, encoder_json_hash))
    for special in ("<|endoftext|>", "<|startoftext|>"):
        encoder.pop(special, None)
    encoded = {token(spelled, encoder_json_file): rank for spelled, rank in encoder.items()}
    if clobber_one_byte_tokens:
        ranks.update({token: rank for token, rank in encoded.items() if len(token) == 1})
    if encoded != ranks:
        raise ValueError(
            f"{os.fsdecode(encoder_json_file)} and {os.fsdecode(vocab_bpe_file)} give different "
            "ranks"
        )
    return ranks


def _data_gym_byte_of_character():
    """GPT-2's spelling of bytes as characters, in rank order: the printable Latin-1 bytes stand
    for themselves, the others for the characters from U+0100 on, in byte order."""
    printable = [*range(ord("!"), ord("~") + 1), *range(ord("¡"), ord("¬") + 1),
                 *range(ord("®"), ord("ÿ") + 1)]
    others = [byte for byte in range(256) if byte not in printable]
    byte_of = {chr(byte): byte for byte in printable}
    byte_of.update({chr(256 + n): byte for n, byte in enumerate(others)})
    return byte_of


def _read(path, expected_hash):
    if "://" in os.fsdecode(path):
        return read_file_cached(os.fsdecode(path), expected_hash)
    with open(path, "rb") as file:
        contents = file.read()
    if expected_hash is not None and _sha256_hex(contents) != expected_hash:
        raise ValueError(f"{os.fsdecode(path)}: SHA-256 differs from the expected {expected_hash}")
    return contents


def _sha256_hex(contents):
    # hashlib loads the system's crypto library, some 4.5 MiB of memory that only a caller
    # checking a hash needs: imported here, not with the package.
    import hashlib

    return hashlib.sha256(contents).hexdigest()
