"""The splitting patterns pelnor has hand-written rules for, under the spellings that
vocabularies publish; any other pattern is run by PCRE2."""

# tiktoken's cl100k_base spelling, with possessive quantifiers.
CL100K_PATTERN = (
    r"'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+"
    r"|\s++$|\s*[\r\n]|\s+(?!\S)|\s"
)
# The older spelling of cl100k's rule, which vocabularies built on cl100k's publish (Llama 3). It
# has no `\s++$`: a run of white space at the text's end is cut after its last line break, as
# o200k's is.
CL100K_PATTERN_OLD = (
    r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*"
    r"|\s*[\r\n]+|\s+(?!\S)|\s+"
)
# tiktoken's spelling of the GPT-2 family's rule (r50k_base, p50k_base, gpt2).
R50K_PATTERN = (
    r"'(?:[sdmt]|ll|ve|re)| ?\p{L}++| ?\p{N}++| ?[^\s\p{L}\p{N}]++|\s++$|\s+(?!\S)|\s"
)
# The same rule as GPT-2's release spells it.
R50K_PATTERN_GPT2 = r"'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"
O200K_PATTERN = "|".join(
    [
        r"[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+"
        r"(?i:'s|'t|'re|'ve|'m|'ll|'d)?",
        r"[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*"
        r"(?i:'s|'t|'re|'ve|'m|'ll|'d)?",
        r"\p{N}{1,3}",
        r" ?[^\s\p{L}\p{N}]+[\r\n/]*",
        r"\s*[\r\n]+",
        r"\s+(?!\S)",
        r"\s+",
    ]
)

_RULES = {
    CL100K_PATTERN: "cl100k",
    CL100K_PATTERN_OLD: "cl100k_line_break_first",
    O200K_PATTERN: "o200k",
    R50K_PATTERN: "r50k",
    R50K_PATTERN_GPT2: "r50k",
}


def rules_of_pattern(pat_str):
    """Returns the native rule set that splits text as pat_str does: 'cl100k',
    'cl100k_line_break_first', 'o200k' or 'r50k' for their patterns, else 'regex'."""
    if not isinstance(pat_str, str):
        raise ValueError(f"pat_str must be a str, not {type(pat_str).__name__}")
    return _RULES.get(pat_str, "regex")
