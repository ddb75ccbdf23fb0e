"""tiktoken's encodings built from a given rank table, without network access.

tiktoken's encoding constructors fetch the published rank tables by URL; the loader they call is
replaced here by one that returns the ranks given, so tiktoken runs offline.
"""


def tiktoken_encoding(name, ranks):
    """Returns tiktoken's Encoding `name` built on ranks ({token bytes: rank})."""
    import tiktoken
    from tiktoken_ext import openai_public

    original = openai_public.load_tiktoken_bpe
    openai_public.load_tiktoken_bpe = lambda url, expected_hash=None: dict(ranks)
    try:
        return tiktoken.Encoding(**getattr(openai_public, name)())
    finally:
        openai_public.load_tiktoken_bpe = original
