"""Reading rank tables from local files: the published `.tiktoken` format and GPT-2's release
files (`vocab.bpe` and `encoder.json`)."""

import base64
import binascii
import json
import os


def load_tiktoken_bpe(path, expected_hash=None):
    """Returns the rank table of a `.tiktoken` file: one "<base64 token> <rank>" per line.

    With `expected_hash`, the file's SHA-256 (hex) must equal it. A malformed line raises
    ValueError naming the file and the line.
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
    vocab_bpe_file, encoder_json_file, vocab_bpe_hash=None, encoder_json_hash=None
):
    """Returns the rank table of a GPT-2 style release: the 256 single bytes, then one token per
    merge line of `vocab_bpe_file`, in order. `encoder_json_file` must assign the same ranks
    (its special tokens aside), else ValueError. Tokens in both files spell each byte as one
    printable character; the hashes, when given, are checked as by `load_tiktoken_bpe`.
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
    if {token(spelled, encoder_json_file): rank for spelled, rank in encoder.items()} != ranks:
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
