"""NFC as HF's normalizer applies it, with each character of the result tied to one of the
text, as HF ties them: in order, a character from one of the text ties to it, one composed of
several to the first of them, and the characters a decomposition adds to the character before
them. HF's offsets follow these ties."""

import re
import unicodedata

# ASCII characters are never composed with the character before them: the text can be
# normalized in the stretches between them, each with the character before it.
_NON_ASCII = re.compile(r"[^\x00-\x7f]+")
_compositions: dict[tuple[str, str], str | None] = {}


def nfc(text):
    """Returns (normalized text, ties): ties[i] is the index in text of the character that
    normalized character i is tied to; None where the text is already in NFC."""
    if unicodedata.is_normalized("NFC", text):
        return text, None
    out, ties, done = [], [], 0
    for run in _NON_ASCII.finditer(text):
        start = max(run.start() - 1, done)
        if unicodedata.is_normalized("NFC", text[start : run.end()]):
            continue
        out.append(text[done:start])
        ties.extend(range(done, start))
        chars, tied = _tied_nfc(text, start, run.end())
        out.append(chars)
        ties.extend(tied)
        done = run.end()
    out.append(text[done:])
    ties.extend(range(done, len(text)))
    normalized = "".join(out)
    # The composition below is the standard algorithm; NFC itself has the last word.
    if normalized != unicodedata.normalize("NFC", text):
        raise RuntimeError("pelnor.hf: NFC with ties disagrees with unicodedata")
    return normalized, ties


def _tied_nfc(text, start, end):
    """NFC of text[start:end] and the index in text that each of its characters is tied to.

    Each character carries how many characters of the text it stands for, less one: 0 for a
    character as it was, 1 for one a decomposition added, and one fewer for each character
    composed into it. Canonical reordering moves the counts with the characters; the ties then
    follow from the counts in order.
    """
    decomposed = [(char, int(n > 0)) for i in range(start, end)
                  for n, char in enumerate(unicodedata.normalize("NFD", text[i]))]
    # Canonical order: a stable sort of each run of non-starters by combining class.
    ordered, run = [], []
    for item in decomposed + [("", 0)]:
        if item[0] and unicodedata.combining(item[0]):
            run.append(item)
            continue
        ordered.extend(sorted(run, key=lambda pair: unicodedata.combining(pair[0])))
        run = []
        if item[0]:
            ordered.append(item)
    result = []
    starter = None  # index in result of the last starter
    last_class = -1  # combining class of the last character kept after it; -1: none
    for char, added in ordered:
        ccc = unicodedata.combining(char)
        if starter is not None and (last_class < ccc if last_class >= 0 else True) and (
                ccc != 0 or last_class == -1):
            composed = _compose(result[starter][0], char)
            if composed is not None:
                result[starter] = (composed, result[starter][1] + added - 1)
                continue
        if ccc == 0:
            starter, last_class = len(result), -1
        else:
            last_class = ccc
        result.append((char, added))
    ties, at = [], start
    for _, added in result:
        ties.append(at - 1 if added > 0 else at)
        at += 1 - added
    return "".join(char for char, _ in result), ties


def _compose(first, second):
    """The primary composite of two characters, or None."""
    key = (first, second)
    if key not in _compositions:
        joined = unicodedata.normalize("NFC", first + second)
        _compositions[key] = joined if len(joined) == 1 and joined != first + second else None
    return _compositions[key]
