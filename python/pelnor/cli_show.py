"""`pelnor show`: text with its token boundaries marked, for people."""

# Light backgrounds under black text, in turn, so that neighbouring tokens differ.
_BACKGROUNDS = (153, 187, 224, 195, 230)
_RESET = "\x1b[0m"
_DIM = "\x1b[2m"


def show_tokens(tokenizer, parts, color, with_ids, out):
    """Writes the text of the ids of the text's parts with each token marked, then a line end
    where the marked text does not end with one."""
    index, marked = 0, "\n"
    for ids in parts:
        shown = []
        for token_id in ids:
            # A token that is part of a character has no text of its own: its bytes show as \x..
            text = tokenizer.decode_single_token_bytes(token_id).decode("utf-8", "backslashreplace")
            label = str(token_id) if with_ids else None
            shown.append(_colored(text, label, index) if color else _bracketed(text, label))
            index += 1
        if shown:
            marked = "".join(shown)
            out.write(marked)
    if not marked.endswith("\n"):
        out.write("\n")


def _bracketed(text, label):
    return f"[{text}|{label}]" if label is not None else f"[{text}]"


def _colored(text, label, index):
    start = f"\x1b[30;48;5;{_BACKGROUNDS[index % len(_BACKGROUNDS)]}m"
    lines = text.split("\n")
    if label is not None:
        lines[-1] += _DIM + label
    # Colour stops at each line end, so that it does not fill the rest of the line.
    return "\n".join(f"{start}{line}{_RESET}" if line else "" for line in lines)
