"""tiktoken's `Encoding`, call for call, on top of the native `Tokenizer`."""

import bisect
import codecs
import functools
from collections.abc import Callable, Collection, Sequence, Set as AbstractSet
from typing import TYPE_CHECKING, Literal, NamedTuple

from ._pelnor import LIMITS, Tokenizer
from .patterns import rules_of_pattern
from .regex_dialect import to_pcre2
from .vocab_format import special_bytes, vocab_data

if TYPE_CHECKING:
    import numpy
    import numpy.typing

_NO_SPECIALS: frozenset[str] = frozenset()


class _Registry(NamedTuple):
    given: Callable[[str], "Encoding | None"]  # the encoding get_encoding gave for a name
    get: Callable[[str], "Encoding"]  # get_encoding


# Set by the registry, which imports this module: pickling names the encodings it gives.
_registry: _Registry | None = None


def use_registry(given, get):
    """Lets pickling name an encoding that given(name) returns, and get(name) give it again."""
    global _registry
    _registry = _Registry(given, get)


class Encoding:
    """A tokenizer with the calls, results and exceptions of `tiktoken.Encoding`.

    Build one from a rank table as tiktoken does, or get a built-in one with
    `pelnor.get_encoding`. pelnor's own calls (`count`, `truncate`, `encode_with_offsets`, ...)
    are here too, and `tokenizer` is the native `Tokenizer` underneath.
    """

    tokenizer: Tokenizer
    name: str
    max_token_value: int
    # pelnor's own calls without a special-token policy: the native tokenizer's methods.
    encode_with_special: Callable[[str], list[int]]
    encode_to_buffer: Callable[..., bytes]
    encode_batch_to_numpy: Callable[..., tuple["numpy.typing.NDArray[numpy.uint32]",
                                               "numpy.typing.NDArray[numpy.int64]"]]

    def __init__(
        self,
        name: str,
        *,
        pat_str: str,
        mergeable_ranks: dict[bytes, int],
        special_tokens: dict[str, int],
        explicit_n_vocab: int | None = None,
    ) -> None:
        rules = rules_of_pattern(pat_str)
        _check_table(special_tokens, "special_tokens", (str,))
        special_tokens = dict(special_tokens)
        _check_ranks(mergeable_ranks)
        if explicit_n_vocab is not None:
            assert len(mergeable_ranks) + len(special_tokens) == explicit_n_vocab
            assert _max_token_value(mergeable_ranks, special_tokens) == explicit_n_vocab - 1
        pattern = to_pcre2(pat_str) if rules == "regex" else ""
        vocab, gaps = vocab_data(mergeable_ranks)
        tokenizer = Tokenizer.from_data(name, rules, vocab, _special_data(special_tokens), pattern)
        self._setup(tokenizer, pat_str, special_tokens, mergeable_ranks, explicit_n_vocab,
                    frozenset(gaps), _missing_bytes(mergeable_ranks))

    @classmethod
    def _wrap(cls, tokenizer, pat_str, explicit_n_vocab=None, leading_specials=(),
              gaps=frozenset(), missing_bytes=b""):
        """Returns the Encoding of a native tokenizer, built-in or restored from a pickle; the
        special tokens named in leading_specials come first in `_special_tokens`; gaps and
        missing_bytes are those of its rank table."""
        encoding = cls.__new__(cls)
        table = {}
        for text, token in tokenizer.special_tokens():
            table.setdefault(text, token)
        special_tokens = {text: table[text] for text in leading_specials if text in table}
        special_tokens.update(table)
        encoding._setup(tokenizer, pat_str, special_tokens, None, explicit_n_vocab, gaps,
                        missing_bytes)
        return encoding

    def _setup(self, tokenizer, pat_str, special_tokens, mergeable_ranks, explicit_n_vocab,
               gaps=frozenset(), missing_bytes=b""):
        self.tokenizer = tokenizer
        self._encode = tokenizer.encode
        self.name = tokenizer.name
        self._pat_str = pat_str
        self._special_tokens = special_tokens
        self._explicit_n_vocab = explicit_n_vocab
        self._ranks = mergeable_ranks
        self._special_ids = frozenset(special_tokens.values())
        # Ranks no token has, held by placeholder tokens in the native table.
        self._gaps = gaps
        # Bytes the rank table has no one-byte token for; text that needs one cannot be encoded.
        self._missing_bytes = missing_bytes
        if missing_bytes:
            self._encode = self._checking_bytes(tokenizer.encode)
        self.max_token_value = tokenizer.max_token_value
        # pelnor's own calls that take no policy, straight from the native tokenizer.
        for call in (
            "encode_with_special",
            "encode_to_buffer",
            "encode_batch_to_numpy",
        ):
            method = getattr(tokenizer, call)
            setattr(self, call, self._checking_bytes(method) if missing_bytes else method)

    def _checking_bytes(self, method):
        """Returns method (of a text or of texts first) that first checks the texts' bytes."""

        def checked(text, *args, **kwargs):
            texts = [text] if isinstance(text, str) else _texts(text)
            self._check_bytes(texts)
            return method(text if isinstance(text, str) else texts, *args, **kwargs)

        return checked

    def _check_bytes(self, texts):
        """Raises ValueError naming a byte that a text needs and the rank table has no token
        for, where the merge could not cover it with a longer token; tiktoken cannot encode such
        a text either, and dropping the byte would lose text without a word."""
        for text in map(_encodable, texts):  # lone surrogates as the encode calls see them
            encoded = functools.partial(self.tokenizer.encode_ordinary, text)
            self._check_kept(text.encode(), encoded)

    def _check_kept(self, data, encoded, split_end=None):
        """Raises as _check_bytes does where encoded(), the ids of data, lost a byte of the
        text the pattern matches (text it leaves unmatched is dropped in any case); the bytes
        from split_end on are all kept by the encoding."""
        lacking = data.translate(None, self._present_bytes)
        if not lacking:
            return
        kept = self.tokenizer.decode_bytes(encoded())
        split_end = len(data) if split_end is None else split_end
        matched = self._matched_bytes(data[:split_end]) + data[split_end:]
        for byte in dict.fromkeys(lacking):
            if kept.count(byte) < matched.count(byte):
                raise ValueError(
                    f"pelnor: the rank table has no token for the byte {byte:#04x}, "
                    "which this text needs"
                )

    def _matched_bytes(self, data):
        """The bytes of data in the pieces the pattern cuts: all of them under hand-written
        rules, which cut every byte into some piece."""
        if rules_of_pattern(self._pat_str) != "regex":
            return data
        return self._byte_splitter.decode_bytes(self._byte_splitter.encode_bytes(data))

    @functools.cached_property
    def _byte_splitter(self):
        """A tokenizer that splits as this one and keeps every byte of its pieces: its tokens
        are the 256 single bytes."""
        vocab, _ = vocab_data({bytes([i]): i for i in range(256)})
        return Tokenizer.from_data(
            self.name, "regex", vocab, _special_data({}), to_pcre2(self._pat_str)
        )

    @functools.cached_property
    def _present_bytes(self):
        return bytes(sorted(set(range(256)) - set(self._missing_bytes)))

    def __repr__(self):
        return f"<Encoding {self.name!r}>"

    def __getstate__(self):
        """tiktoken's state: the name of an encoding that get_encoding gives, else the
        arguments that build it again."""
        if _registry is not None and _registry.given(self.name) is self:
            return self.name
        return {"name": self.name, "pat_str": self._pat_str,
                "mergeable_ranks": self._mergeable_ranks, "special_tokens": self._special_tokens}

    def __setstate__(self, value):
        if isinstance(value, str):
            # A new Encoding, as tiktoken gives, on the same immutable native tables.
            built = _registry.get(value)
            self._setup(built.tokenizer, built._pat_str, dict(built._special_tokens), built._ranks,
                        built._explicit_n_vocab, built._gaps, built._missing_bytes)
        else:
            self.__init__(**value)

    # ---- Encoding ------------------------------------------------------------------------------

    def encode(
        self,
        text: str,
        *,
        allowed_special: Literal["all"] | AbstractSet[str] = _NO_SPECIALS,
        disallowed_special: Literal["all"] | Collection[str] = "all",
    ) -> list[int]:
        """Encodes a string into tokens, raising ValueError on a disallowed special token."""
        if allowed_special is _NO_SPECIALS and disallowed_special == "all":
            try:
                return self._encode(text)  # the native defaults, resolved fastest
            except UnicodeEncodeError:
                return self._encode(_without_surrogates(text))
            except ValueError as error:
                _reword_disallowed(error)
                raise
        allowed = self._checked_policy([text], allowed_special, disallowed_special)
        try:
            return self.tokenizer.encode(text, allowed, ())
        except UnicodeEncodeError:
            return self.tokenizer.encode(_without_surrogates(text), allowed, ())

    def encode_ordinary(self, text: str) -> list[int]:
        """Encodes a string into tokens, treating special-token strings as plain text."""
        if self._missing_bytes:
            self._check_bytes([text])
        try:
            return self.tokenizer.encode_ordinary(text)
        except UnicodeEncodeError:
            return self.tokenizer.encode_ordinary(_without_surrogates(text))

    def encode_to_numpy(
        self,
        text: str,
        *,
        allowed_special: Literal["all"] | AbstractSet[str] = _NO_SPECIALS,
        disallowed_special: Literal["all"] | Collection[str] = "all",
    ) -> "numpy.typing.NDArray[numpy.uint32]":
        """Encodes a string into a numpy array of uint32 tokens."""
        allowed = self._checked_policy([text], allowed_special, disallowed_special)
        return self.tokenizer.encode_to_numpy(text, allowed, ())

    def encode_ordinary_batch(
        self, text: Sequence[str], *, num_threads: int = 8
    ) -> list[list[int]]:
        """Encodes a list of strings, treating special-token strings as plain text."""
        _threads(num_threads)
        texts = _texts(text)
        if self._missing_bytes:
            self._check_bytes(texts)
        return self._encode_lists(texts, _NO_SPECIALS, num_threads)

    def encode_batch(
        self,
        text: Sequence[str],
        *,
        num_threads: int = 8,
        allowed_special: Literal["all"] | AbstractSet[str] = _NO_SPECIALS,
        disallowed_special: Literal["all"] | Collection[str] = "all",
    ) -> list[list[int]]:
        """Encodes a list of strings, raising ValueError on a disallowed special token."""
        texts = _texts(text)
        allowed = self._checked_policy(texts, allowed_special, disallowed_special)
        return self._encode_lists(texts, allowed, num_threads)

    # ---- pelnor's own calls, under encode's special-token policy ------------------------------

    def count(
        self,
        text: str,
        *,
        allowed_special: Literal["all"] | AbstractSet[str] = _NO_SPECIALS,
        disallowed_special: Literal["all"] | Collection[str] = "all",
    ) -> int:
        """Returns the number of tokens `encode` gives for the same arguments, without building
        them; raises ValueError on a disallowed special token."""
        return self._counts([text], allowed_special, disallowed_special, 1)[0]

    def count_batch(
        self,
        text: Sequence[str],
        *,
        num_threads: int = 8,
        allowed_special: Literal["all"] | AbstractSet[str] = _NO_SPECIALS,
        disallowed_special: Literal["all"] | Collection[str] = "all",
    ) -> list[int]:
        """Returns `count` of each string, counted in parallel."""
        return self._counts(_texts(text), allowed_special, disallowed_special, num_threads)

    def truncate(
        self,
        text: str,
        max_tokens: int,
        *,
        allowed_special: Literal["all"] | AbstractSet[str] = _NO_SPECIALS,
        disallowed_special: Literal["all"] | Collection[str] = "all",
    ) -> tuple[str, int]:
        """Returns `(kept, total)`: the text up to where the first `max_tokens` of `encode`'s
        tokens end, all of it if that is every token (a character cut by the budget is dropped
        whole, an allowed special string is kept or dropped whole), and the token count of the
        whole text."""
        allowed = self._checked_policy([text], allowed_special, disallowed_special)
        return self._truncate(text, max_tokens, allowed)

    def truncate_batch(
        self,
        text: Sequence[str],
        max_tokens: int,
        *,
        num_threads: int = 8,
        allowed_special: Literal["all"] | AbstractSet[str] = _NO_SPECIALS,
        disallowed_special: Literal["all"] | Collection[str] = "all",
    ) -> list[tuple[str, int]]:
        """Returns `truncate` of each string, in parallel where no special string is allowed."""
        texts = _texts(text)
        allowed = self._checked_policy(texts, allowed_special, disallowed_special)
        if not allowed:
            threads = _threads(num_threads)
            return _on_encodable(lambda ts: self.tokenizer.truncate_batch(ts, max_tokens, threads),
                                 texts)
        return [self._truncate(t, max_tokens, allowed) for t in texts]

    def encode_with_offsets(
        self,
        text: str,
        unit: Literal["byte", "char"] = "byte",
        *,
        allowed_special: Literal["all"] | AbstractSet[str] = _NO_SPECIALS,
        disallowed_special: Literal["all"] | Collection[str] = "all",
    ) -> tuple[list[int], list[tuple[int, int]]]:
        """Returns `encode`'s ids and each token's (start, end) span in the text, counted in
        bytes of its UTF-8 form or, with `unit="char"`, in characters."""
        allowed = self._checked_policy([text], allowed_special, disallowed_special)
        return self.tokenizer.encode_with_offsets(_encodable(text), unit, allowed)

    def _counts(self, texts, allowed_special, disallowed_special, num_threads):
        allowed = self._checked_policy(texts, allowed_special, disallowed_special)
        threads = _threads(num_threads)
        if not allowed:
            return _on_encodable(lambda ts: self.tokenizer.count_batch(ts, threads), texts)
        if allowed == self.special_tokens_set:
            return _on_encodable(lambda ts: self.tokenizer.count_batch(ts, threads, True), texts)
        # Some specials allowed: the ids are built, but as one buffer, not a list of ints.
        return _on_encodable(
            lambda ts: [len(self.tokenizer.encode_to_buffer(t, allowed, ())) // 4 for t in ts],
            texts,
        )

    def _truncate(self, text, max_tokens, allowed):
        """Cuts one checked text, each allowed special string one token kept or cut whole."""
        return _on_encodable(lambda ts: [self.tokenizer.truncate(ts[0], max_tokens, allowed)],
                             [text])[0]

    def _checked_policy(self, texts, allowed_special, disallowed_special):
        """Reads a special-token policy as tiktoken does and raises ValueError if a text holds a
        disallowed string, or a byte the rank table cannot encode; returns the allowed set. An
        explicit disallowed set is checked as it stands, even where it names allowed strings."""
        if allowed_special == "all":
            allowed_special = self.special_tokens_set
        # tiktoken's arithmetic, and its TypeError for an allowed_special that is no set.
        disallowed = disallowed_special
        if disallowed_special == "all":
            disallowed = self.special_tokens_set - allowed_special
        if not isinstance(allowed_special, (set, frozenset)):
            described = "'None'" if allowed_special is None else (
                f"'{type(allowed_special).__name__}' object")
            raise TypeError(f"argument 'allowed_special': {described} is not an instance of 'set'")
        allowed = frozenset(allowed_special) & self.special_tokens_set
        # The native check, which reads "all" as every special string less the allowed ones.
        check = self.tokenizer.find_disallowed_special
        if disallowed_special == "all":
            found = _on_encodable(lambda ts: check(ts, allowed, "all"), texts)
        else:
            disallowed = frozenset(disallowed or ())
            found = disallowed and _on_encodable(lambda ts: check(ts, None, disallowed), texts)
        if found:
            raise ValueError(_disallowed_message(found))
        if self._missing_bytes:
            self._check_bytes(texts)
        return allowed

    def _encode_lists(self, texts, allowed, num_threads):
        threads = _threads(num_threads)
        try:
            if not allowed or not self._special_tokens:
                return self.tokenizer.encode_batch_lists(texts, threads)
            if self.special_tokens_set <= allowed:
                return self.tokenizer.encode_batch_lists(texts, threads, True)
            return [self.tokenizer.encode(text, allowed, ()) for text in texts]
        except UnicodeEncodeError:
            return self._encode_lists([_without_surrogates(t) for t in texts], allowed, threads)

    def _encode_bytes(self, text: bytes) -> list[int]:
        ids = self.tokenizer.encode_bytes_merged_tail(text)
        if self._missing_bytes:
            data = bytes(text)
            try:
                data.decode()
                valid = len(data)
            except UnicodeDecodeError as error:
                valid = error.start
            # Every byte after the longest UTF-8 prefix is merged, matched or not.
            self._check_kept(data, lambda: ids, valid)
        return ids

    def encode_with_unstable(
        self,
        text: str,
        *,
        allowed_special: Literal["all"] | AbstractSet[str] = _NO_SPECIALS,
        disallowed_special: Literal["all"] | Collection[str] = "all",
    ) -> tuple[list[int], list[list[int]]]:
        """Returns `(stable, completions)`: the tokens of text that more text after it cannot
        change, and the token sequences the rest can begin with (in no order), as tiktoken's."""
        allowed = self._checked_policy([text], allowed_special, disallowed_special)
        ids, first_unstable = self.tokenizer.encode_with_unstable_tail(_encodable(text), allowed)
        unstable = self.tokenizer.decode_bytes(ids[first_unstable:])
        return ids[:first_unstable], [list(c) for c in self._completions(unstable)]

    def _completions(self, unstable):
        """The token sequences that text beginning with the bytes `unstable` can begin with:
        each token that starts with all of them, then, for each place a token may start inside
        them, the tokens of what is before it and any token that goes on from there, as far as
        the bytes reach; and where they end in white space, that space split off."""
        if not unstable:
            return set()
        tokens, ranks, lengths = self._sorted_token_bytes, self._mergeable_ranks, self._token_lengths
        completions = set()
        start = bisect.bisect_left(tokens, unstable)
        while start < len(tokens) and tokens[start].startswith(unstable):
            completions.add((ranks[tokens[start]],))
            start += 1
        texts, pieces = [], []
        for cut in range(1, len(unstable)):
            prefix, suffix = unstable[:cut], unstable[cut:]
            at = bisect.bisect_left(tokens, suffix)
            while at < len(tokens) and tokens[at].startswith(suffix):
                possibility = prefix + tokens[at]
                try:
                    texts.append(possibility.decode("utf-8"))
                except UnicodeDecodeError:
                    pieces.append(possibility)
                at += 1
        encoded = self.tokenizer.encode_batch_lists(texts, 0) if texts else []
        encoded += [self.tokenizer.encode_single_piece(piece) for piece in pieces]
        for ids in encoded:
            sequence, spelled = [], 0
            for token in ids:
                sequence.append(token)
                spelled += lengths[token]
                if spelled >= len(unstable):
                    break
            completions.add(tuple(sequence))
        last = unstable.decode("utf-8", "replace")[-1:]
        size = len(last.encode()) if last != "\ufffd" else 1
        if len(unstable) > size and last in _WHITE_SPACE:
            completions.add((*self.tokenizer.encode_single_piece(unstable[:-size]),
                             *self.tokenizer.encode_single_piece(unstable[-size:])))
        return completions

    @functools.cached_property
    def _token_lengths(self):
        return [len(token) for token in self.tokenizer.token_byte_values()]

    def _encode_single_piece(self, text_or_bytes: str | bytes) -> list[int]:
        """Encodes text or bytes as one piece, with no splitting."""
        if isinstance(text_or_bytes, str):
            text_or_bytes = text_or_bytes.encode("utf-8")
        return self.tokenizer.encode_single_piece(text_or_bytes)

    def _encode_only_native_bpe(self, text: str) -> list[int]:
        """Encodes a string, treating special-token strings as plain text: tiktoken's check of
        its native splitting, which pelnor's is too."""
        return self.tokenizer.encode_ordinary(text)

    def encode_single_token(self, text_or_bytes: str | bytes) -> int:
        """Returns the token of bytes or a string that is exactly one token, or raises KeyError."""
        try:
            return self.tokenizer.encode_single_token(text_or_bytes)
        except KeyError:
            # tiktoken's words: the bytes alone.
            piece = text_or_bytes.encode() if isinstance(text_or_bytes, str) else text_or_bytes
            raise KeyError(bytes(piece)) from None

    # ---- Decoding ------------------------------------------------------------------------------

    def decode_bytes(self, tokens: Sequence[int]) -> bytes:
        """Decodes tokens into bytes; an id that is no token raises KeyError."""
        return self.tokenizer.decode_bytes_checked(tokens)

    def decode(self, tokens: Sequence[int], errors: str = "replace") -> str:
        """Decodes tokens into a string, decoding UTF-8 with the error handler `errors`."""
        return self.tokenizer.decode_bytes_checked(tokens).decode("utf-8", errors)

    def decode_single_token_bytes(self, token: int) -> bytes:
        """Returns the bytes of one token, or raises KeyError."""
        try:
            return self.tokenizer.decode_single_token_bytes(token)
        except KeyError:
            raise KeyError(str(token)) from None  # tiktoken's words: the id alone

    def decode_tokens_bytes(self, tokens: Sequence[int]) -> list[bytes]:
        """Returns the bytes of each token."""
        return [self.decode_single_token_bytes(token) for token in tokens]

    def decode_with_offsets(self, tokens: Sequence[int]) -> tuple[str, list[int]]:
        """Decodes tokens into a string, with the character index where each token starts.

        A token that starts inside a character is given the start of that character.
        """
        token_bytes = self.decode_tokens_bytes(tokens)
        text_len, offsets = 0, []
        for token in token_bytes:
            offsets.append(max(0, text_len - (0x80 <= token[0] < 0xC0)))
            text_len += sum(1 for byte in token if not 0x80 <= byte < 0xC0)
        return b"".join(token_bytes).decode("utf-8", "strict"), offsets

    def decode_batch(
        self, batch: Sequence[Sequence[int]], *, errors: str = "replace", num_threads: int = 8
    ) -> list[str]:
        """Decodes a batch of token lists into strings."""
        _threads(num_threads)
        return [self.decode(tokens, errors) for tokens in batch]

    def decode_bytes_batch(
        self, batch: Sequence[Sequence[int]], *, num_threads: int = 8
    ) -> list[bytes]:
        """Decodes a batch of token lists into bytes."""
        _threads(num_threads)
        return [self.decode_bytes(tokens) for tokens in batch]

    def stream_decoder(self, errors: str = "replace") -> "StreamDecoder":
        """Returns a StreamDecoder: feed it ids as they arrive and print what it returns."""
        return StreamDecoder(self, errors)

    # ---- The vocabulary ------------------------------------------------------------------------

    def token_byte_values(self) -> list[bytes]:
        """Returns the bytes of every base token, sorted."""
        return list(self._sorted_token_bytes)

    @functools.cached_property
    def _sorted_token_bytes(self):
        values = self.tokenizer.token_byte_values()
        return sorted(token for rank, token in enumerate(values) if rank not in self._gaps)

    @property
    def _mergeable_ranks(self) -> dict[bytes, int]:
        if self._ranks is None:
            values = self.tokenizer.token_byte_values()
            self._ranks = {
                token: rank for rank, token in enumerate(values) if rank not in self._gaps
            }
        return self._ranks

    @property
    def eot_token(self) -> int:
        return self._special_tokens["<|endoftext|>"]

    @functools.cached_property
    def special_tokens_set(self) -> set[str]:
        return set(self._special_tokens)

    def is_special_token(self, token: int) -> bool:
        return token in self._special_ids

    @property
    def n_vocab(self) -> int:
        """The number of ids: one more than the largest."""
        return self.max_token_value + 1


class StreamDecoder:
    """Turns ids arriving a few at a time into text, never splitting a character.

    `step(ids)` returns the text that the ids fed so far complete; `finish()` returns the rest.
    Joined, the pieces equal `decode` of all the ids with the same `errors`.
    """

    def __init__(self, encoding: Encoding, errors: str = "replace") -> None:
        self._encoding = encoding
        self._utf8 = codecs.getincrementaldecoder("utf-8")(errors)

    def step(self, ids: Sequence[int]) -> str:
        return self._utf8.decode(self._encoding.decode_bytes(ids))

    def finish(self) -> str:
        return self._utf8.decode(b"", final=True)


# Unicode's White_Space characters (str.isspace also takes U+001C to U+001F).
_WHITE_SPACE = frozenset("\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005"
                         "\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")


def _reword_disallowed(error):
    """Raises the native failure on a disallowed special string in tiktoken's words, which name
    the first in the text; leaves any other ValueError alone."""
    special = getattr(error, "special_token", None)
    if special is not None:
        raise ValueError(_disallowed_message(special)) from None


def _disallowed_message(token):
    return (
        f"Encountered text corresponding to disallowed special token {token!r}.\n"
        "If you want this text to be encoded as a special token, pass it to `allowed_special`, "
        f"e.g. `allowed_special={{{token!r}, ...}}`.\n"
        "If you want this text to be encoded as normal text, disable the check for this token "
        f"by passing `disallowed_special=(enc.special_tokens_set - {{{token!r}}})`.\n"
        "To disable this check for all special tokens, pass `disallowed_special=()`.\n"
    )


def _without_surrogates(text):
    # A lone surrogate has no UTF-8 form; like tiktoken, encode it as U+FFFD.
    return text.encode("utf-16", "surrogatepass").decode("utf-16", "replace")


def _encodable(text):
    try:
        text.encode()
    except UnicodeEncodeError:
        return _without_surrogates(text)
    return text


def _on_encodable(call, texts):
    """call(texts), or, where a text holds a lone surrogate, call of the texts as encode sees
    them."""
    try:
        return call(texts)
    except UnicodeEncodeError:
        return call([_encodable(t) for t in texts])


def _threads(num_threads):
    """The batch runner's thread count of tiktoken's num_threads (None: as many as there are
    processors; tiktoken's thread pool refuses fewer than one)."""
    if num_threads is None:
        return 0
    if num_threads <= 0:
        raise ValueError("max_workers must be greater than 0")
    return int(num_threads)


def _texts(text):
    # One snapshot of the caller's texts serves both the special-token check and the encode: a
    # list that another thread (or an argument's own conversion) changes in between could
    # otherwise slip a disallowed string past the check.
    return list(text)


def _max_token_value(mergeable_ranks, special_tokens):
    return max(max(mergeable_ranks.values()), max(special_tokens.values(), default=0))


def _missing_bytes(mergeable_ranks):
    present = {token[0] for token in mergeable_ranks if len(token) == 1}
    return bytes(sorted(set(range(256)) - present))


def _check_table(table, argument, key_types, value_type=int):
    """Raises TypeError naming the argument where table is no dict of key_types to value_type."""
    if not hasattr(table, "items"):
        raise TypeError(f"pelnor: {argument} must be a dict, not {type(table).__name__}")
    for key, value in table.items():
        if not isinstance(key, key_types):
            raise TypeError(f"pelnor: {argument} keys must be {key_types[0].__name__}, "
                            f"not {type(key).__name__}")
        if not isinstance(value, value_type):
            raise TypeError(f"pelnor: {argument} values must be {value_type.__name__}, "
                            f"not {type(value).__name__}")


def _check_ranks(mergeable_ranks):
    """Raises ValueError where a rank table is outside what the native tables hold."""
    _check_table(mergeable_ranks, "mergeable_ranks", (bytes, memoryview))
    max_ranks, max_bytes = LIMITS["ranks"], LIMITS["token_bytes"]
    ranks = set(mergeable_ranks.values())
    if not ranks or min(ranks) < 0 or max(ranks) >= max_ranks:
        raise ValueError(f"pelnor: a rank table holds ranks 0 to {max_ranks - 1}, at least one")
    if len(ranks) != len(mergeable_ranks):
        raise ValueError("pelnor: the ranks must be distinct")
    for token in mergeable_ranks:
        if not 1 <= len(token) <= max_bytes:
            raise ValueError(f"pelnor: token {token!r} is not 1 to {max_bytes} bytes long")


def _special_data(special_tokens):
    """The special tokens in the special-tokens format, checked against its limits."""
    max_specials, max_bytes = LIMITS["special_tokens"], LIMITS["special_token_bytes"]
    if len(special_tokens) > max_specials:
        raise ValueError(f"pelnor: at most {max_specials} special tokens are supported")
    for text, token in special_tokens.items():
        if not 0 <= token < 2**32:
            raise OverflowError(f"pelnor: special token id {token} is out of range")
        if not 1 <= len(text.encode("utf-8")) <= max_bytes:
            raise ValueError(
                f"pelnor: special token {text!r} is not 1 to {max_bytes} bytes long"
            )
    return special_bytes(special_tokens.items())
