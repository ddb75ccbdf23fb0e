"""tokenizer.json files built with HF tokenizers itself, in the configurations published
byte-level models use: GPT-2's vocabulary from pelnor's built-in ranks, and small models that
HF's trainer learns from the test corpus."""

import functools
from pathlib import Path

CORPUS = Path(__file__).resolve().parent.parent / "corpus"
README = Path(__file__).resolve().parent.parent.parent / "README.md"

LLAMA3_PATTERN = (
    r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*"
    r"|\s*[\r\n]+|\s+(?!\S)|\s+"
)
QWEN2_PATTERN = (
    r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*"
    r"|\s*[\r\n]+|\s+(?!\S)|\s+"
)
DEEPSEEK_SPLITS = (
    r"\p{N}{1,3}",
    r"[一-龥\u3040-ゟ゠-ヿ]+",
    r"[!\"#$%&'()*+,\-./:;<=>?@\[\\\]^_`{|}~][A-Za-z]+|[^\r\n\p{L}\p{P}\p{S}]?[\p{L}\p{M}]+"
    r"| ?[\p{P}\p{S}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+",
)


def corpus_text():
    return "\n\n".join(path.read_text(encoding="utf-8") for path in sorted(CORPUS.glob("*.txt")))


def training_texts():
    """The corpus, the README and generated words: enough for a few thousand merges."""
    texts = [corpus_text(), README.read_text(encoding="utf-8")]
    return texts * 3


def merges_of_ranks(ranks):
    """The merge of each token of a rank table, in rank order: the two parts that merging its
    bytes by rank joins last."""
    merges = []
    for token, rank in sorted(ranks.items(), key=lambda item: item[1]):
        if len(token) < 2:
            continue
        parts = [token[i : i + 1] for i in range(len(token))]
        while len(parts) > 2:
            best = min((ranks.get(a + b, 1 << 30), i) for i, (a, b) in enumerate(zip(parts,
                                                                                     parts[1:])))
            if best[0] >= rank:
                break
            i = best[1]
            parts[i : i + 2] = [parts[i] + parts[i + 1]]
        if len(parts) == 2 and ranks.get(parts[0] + parts[1]) == rank:
            merges.append((parts[0], parts[1]))
    return merges


@functools.cache
def byte_level_names():
    from tokenizers import pre_tokenizers

    alphabet = pre_tokenizers.ByteLevel.alphabet()
    # GPT-2's spelling: the printable bytes as themselves, the others from U+0100 on.
    printable = [*range(ord("!"), ord("~") + 1), *range(ord("¡"), ord("¬") + 1),
                 *range(ord("®"), ord("ÿ") + 1)]
    spelling = {b: chr(b) for b in printable}
    spelling.update({b: chr(256 + n) for n, b in enumerate(b for b in range(256)
                                                              if b not in printable)})
    assert set(spelling.values()) == set(alphabet)
    return spelling


def spelled(data):
    names = byte_level_names()
    return "".join(names[b] for b in data)


def gpt2_json(ranks, merges, add_prefix_space=False, trim_offsets=True, extra_specials=()):
    """GPT-2 as HF builds it from its vocabulary and merges (merges_of_ranks of the ranks)."""
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, processors

    vocab = {spelled(token): rank for token, rank in ranks.items()}
    merges = [(spelled(a), spelled(b)) for a, b in merges]
    tokenizer = Tokenizer(models.BPE(vocab, merges))
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=add_prefix_space)
    tokenizer.decoder = decoders.ByteLevel()
    tokenizer.post_processor = processors.ByteLevel(trim_offsets=trim_offsets)
    tokenizer.add_special_tokens(["<|endoftext|>", *extra_specials])
    return tokenizer.to_str()


def trained_json(pre_tokenizer, normalizer=None, post=None, vocab_size=3000, specials=(),
                 ignore_merges=False, bos=None):
    """A byte-level BPE that HF's trainer learns from the test texts."""
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, processors, trainers

    tokenizer = Tokenizer(models.BPE(ignore_merges=ignore_merges))
    tokenizer.pre_tokenizer = pre_tokenizer
    if normalizer is not None:
        tokenizer.normalizer = normalizer
    tokenizer.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, special_tokens=list(specials),
                                  initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
                                  show_progress=False)
    tokenizer.train_from_iterator(training_texts(), trainer)
    steps = [] if post is None else [post]
    if bos is not None:
        steps.append(processors.TemplateProcessing(
            single=f"{bos} $A", special_tokens=[(bos, tokenizer.token_to_id(bos))]))
    if len(steps) == 1:
        tokenizer.post_processor = steps[0]
    elif steps:
        tokenizer.post_processor = processors.Sequence(steps)
    return tokenizer.to_str()
