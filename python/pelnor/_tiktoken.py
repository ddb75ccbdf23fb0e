"""tiktoken's encodings built from a given rank table, without network access.

tiktoken's encoding constructors fetch the published rank tables by URL; the loaders they call
are replaced here by ones that return the ranks given, so tiktoken runs offline.
"""


def tiktoken_encoding(name, ranks):
    """Returns tiktoken's Encoding `name` built on ranks ({token bytes: rank})."""
    import tiktoken
    from tiktoken_ext import openai_public

    loaders = ("load_tiktoken_bpe", "data_gym_to_mergeable_bpe_ranks")
    originals = {loader: getattr(openai_public, loader) for loader in loaders}
    for loader in loaders:
        setattr(openai_public, loader, lambda *args, **kwargs: dict(ranks))
    try:
        return tiktoken.Encoding(**getattr(openai_public, name)())
    finally:
        for loader, original in originals.items():
            setattr(openai_public, loader, original)
