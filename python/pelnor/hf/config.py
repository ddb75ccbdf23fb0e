"""What pelnor reads of a tokenizer.json: a BPE model over the byte-level alphabet with the
normalizer, pre-tokenizers, post-processors and decoder that published byte-level models use.
Anything else is refused at load with ValueError naming the component."""

from dataclasses import dataclass, field

from ..patterns import R50K_PATTERN_GPT2
from .onig import literal_to_pcre2, to_pcre2

# Patterns whose hand-written rules split text as HF's Split does with them (tested on random
# text): GPT-2's, which ByteLevel's own regex is. cl100k's rules, in either order of their
# whitespace rules, and o200k's part from HF on contractions such as 'ſ.
_HAND_WRITTEN = {R50K_PATTERN_GPT2: "r50k"}
_BEHAVIORS = {
    "Removed": "removed",
    "Isolated": "isolated",
    "MergedWithPrevious": "merged_with_previous",
    "MergedWithNext": "merged_with_next",
    "Contiguous": "contiguous",
}


@dataclass(frozen=True)
class AddedToken:
    id: int
    content: str
    single_word: bool = False
    lstrip: bool = False
    rstrip: bool = False
    normalized: bool = True
    special: bool = False


@dataclass(frozen=True)
class Template:
    """TemplateProcessing's single-sequence template: (ids, token strings, type id) for each
    special item, in order, with the sequence's own type id where it stands."""

    before: tuple[tuple[int, str, int], ...]
    after: tuple[tuple[int, str, int], ...]
    type_id: int

    @property
    def added(self):
        return len(self.before) + len(self.after)


@dataclass(frozen=True)
class Trim:
    """ByteLevel's post-processing of offsets, which leaves spaces out of each token's span."""

    add_prefix_space: bool


@dataclass
class Config:
    vocab: dict[str, int]
    merges: list[tuple[str, str]]
    ignore_merges: bool
    added_tokens: list[AddedToken]
    nfc: bool
    prefix_space: bool  # ByteLevel's, before the first split: a space before each segment
    # Native splitting levels: (rules, behavior, invert, PCRE2 pattern), outermost first.
    levels: list[tuple[str, str, bool, str]]
    post: list[Template | Trim] = field(default_factory=list)
    truncation: dict | None = None
    padding: dict | None = None


def _refuse(kind, value):
    name = value.get("type", "without a type") if isinstance(value, dict) else repr(value)
    raise ValueError(f"pelnor.hf: {kind} {name} is not supported: pelnor reads BPE models over "
                      "the byte-level alphabet (see pelnor.hf's documentation)")


def _type(value, kind):
    if not isinstance(value, dict) or "type" not in value:
        _refuse(kind, value)
    return value["type"]


def read_config(data: dict) -> Config:
    """Returns the Config of a parsed tokenizer.json; raises ValueError for what pelnor cannot
    reproduce."""
    if not isinstance(data, dict):
        raise ValueError("pelnor.hf: a tokenizer.json holds a JSON object")
    model = data.get("model")
    vocab, merges, ignore_merges = _model(model)
    prefix_space, levels = _pre_tokenizer(data.get("pre_tokenizer"))
    _decoder(data.get("decoder"))
    config = Config(
        vocab=vocab,
        merges=merges,
        ignore_merges=ignore_merges,
        added_tokens=[_added_token(entry) for entry in data.get("added_tokens") or []],
        nfc=_normalizer(data.get("normalizer")),
        prefix_space=prefix_space,
        levels=levels,
        truncation=data.get("truncation"),
        padding=data.get("padding"),
    )
    config.post = _post_processor(data.get("post_processor"))
    return config


def _model(model):
    if _type(model, "model") != "BPE":
        _refuse("model", model)
    for key, allowed in (("dropout", (None, 0, 0.0)), ("continuing_subword_prefix", (None, "")),
                         ("end_of_word_suffix", (None, "")), ("byte_fallback", (None, False))):
        if model.get(key) not in allowed:
            raise ValueError(f"pelnor.hf: BPE with {key}={model.get(key)!r} is not supported")
    vocab = model.get("vocab")
    if not isinstance(vocab, dict):
        raise ValueError("pelnor.hf: the BPE model has no vocab")
    entries = model.get("merges") or []
    # "a b" in older files, ["a", "b"] in newer ones.
    merges = [tuple(e.split(" ")) if type(e) is str else tuple(e) for e in entries]
    if not all(len(pair) == 2 for pair in merges):
        bad = next(entry for entry, pair in zip(entries, merges) if len(pair) != 2)
        raise ValueError(f"pelnor.hf: a merge must be two tokens, not {bad!r}")
    return vocab, merges, bool(model.get("ignore_merges", False))


def _added_token(entry):
    try:
        return AddedToken(
            id=int(entry["id"]),
            content=str(entry["content"]),
            single_word=bool(entry.get("single_word", False)),
            lstrip=bool(entry.get("lstrip", False)),
            rstrip=bool(entry.get("rstrip", False)),
            normalized=bool(entry.get("normalized", True)),
            special=bool(entry.get("special", False)),
        )
    except (KeyError, TypeError, ValueError):
        raise ValueError(f"pelnor.hf: a malformed added token: {entry!r}") from None


def _normalizer(normalizer):
    """Returns whether the text is normalized to NFC."""
    if normalizer is None:
        return False
    kind = _type(normalizer, "normalizer")
    if kind == "NFC":
        return True
    if kind == "Sequence":
        parts = [_normalizer(part) for part in normalizer.get("normalizers") or []]
        if len(parts) > 1:
            raise ValueError("pelnor.hf: a normalizer Sequence of more than one NFC")
        return any(parts)
    _refuse("normalizer", normalizer)


def _pre_tokenizer(pre_tokenizer):
    """Returns (prefix_space, levels) of the pre-tokenizer, which must hold one ByteLevel."""
    steps = [pre_tokenizer] if pre_tokenizer is not None else []
    if steps and _type(pre_tokenizer, "pre_tokenizer") == "Sequence":
        steps = pre_tokenizer.get("pretokenizers") or []
    byte_levels = [step for step in steps if _type(step, "pre_tokenizer") == "ByteLevel"]
    if len(byte_levels) != 1:
        raise ValueError("pelnor.hf: the pre-tokenizer must hold exactly one ByteLevel, which "
                          "maps text to the byte-level alphabet of the vocabulary")
    prefix_space = False
    levels = []
    for position, step in enumerate(steps):
        kind = step["type"]
        if kind == "ByteLevel":
            if step.get("add_prefix_space", True):
                # ByteLevel puts a space before every piece it is given.
                if position != 0:
                    raise ValueError("pelnor.hf: ByteLevel with add_prefix_space after another "
                                      "pre-tokenizer")
                prefix_space = True
            if step.get("use_regex", True):
                levels.append(("r50k", "isolated", False, ""))
        elif kind == "Split":
            levels.append(_split(step))
        elif kind == "Digits":
            pattern = r"\p{N}" if step.get("individual_digits", False) else r"\p{N}+"
            levels.append(("regex", "isolated", False, pattern))
        else:
            _refuse("pre-tokenizer", step)
    return prefix_space, levels


def _split(step):
    pattern = step.get("pattern")
    behavior = _BEHAVIORS.get(step.get("behavior"))
    if behavior is None:
        raise ValueError(f"pelnor.hf: Split behavior {step.get('behavior')!r}")
    invert = bool(step.get("invert", False))
    if isinstance(pattern, dict) and "Regex" in pattern:
        source = pattern["Regex"]
        rules = _HAND_WRITTEN.get(source)
        # A hand-written rule's pieces cover the text: they are the pattern's matches.
        if rules is not None:
            return rules, behavior, invert, ""
        return "regex", behavior, invert, to_pcre2(source)
    if isinstance(pattern, dict) and "String" in pattern and pattern["String"]:
        return "regex", behavior, invert, literal_to_pcre2(pattern["String"])
    raise ValueError(f"pelnor.hf: a Split pattern must be a Regex or a String, not {pattern!r}")


def _decoder(decoder):
    if decoder is None or _type(decoder, "decoder") != "ByteLevel":
        _refuse("decoder", decoder)


def _post_processor(processor):
    if processor is None:
        return []
    kind = _type(processor, "post_processor")
    if kind == "Sequence":
        return [step for part in processor.get("processors") or []
                for step in _post_processor(part)]
    if kind == "ByteLevel":
        return [Trim(bool(processor.get("add_prefix_space", True)))] if processor.get(
            "trim_offsets", True) else []
    if kind == "TemplateProcessing":
        return [_template(processor)]
    _refuse("post_processor", processor)


def _template(processor):
    specials = processor.get("special_tokens") or {}
    before, after, type_id = [], [], None
    for item in processor.get("single") or []:
        if "Sequence" in item:
            if type_id is not None or item["Sequence"].get("id") != "A":
                raise ValueError("pelnor.hf: a single template with other than one $A")
            type_id = int(item["Sequence"].get("type_id", 0))
            continue
        name = item.get("SpecialToken", {}).get("id")
        if name not in specials:
            raise ValueError(f"pelnor.hf: the template's special token {name!r} is not defined")
        entry = specials[name]
        part = after if type_id is not None else before
        part.extend((int(i), str(t), int(item["SpecialToken"].get("type_id", 0)))
                    for i, t in zip(entry["ids"], entry["tokens"]))
    if type_id is None:
        raise ValueError("pelnor.hf: a single template without $A")
    return Template(tuple(before), tuple(after), type_id)
