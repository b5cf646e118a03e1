"""Turns the function sections of docs/functions.md into the docstring table of
zelvo._api, so each function's meaning, warm-up, NaN rule and examples are
written once, in the documentation, and help(zelvo.MA) shows the same text.

    python gen_docs.py docs/functions.md OUT.inc

Each section ``## NAME`` gives one row ``{"NAME", "text", "examples"}``:
the prose and bullets with the Markdown marks removed, and the ``pycon``
examples as doctest lines.  The module adds the call signature and the
argument lines, which it derives from its own catalog.
"""
import re
import sys


def plain(markdown: str) -> str:
    """Markdown inline marks removed: links, bold, code spans."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", markdown)
    text = text.replace("**", "")
    return text.replace("`", "")


def wrap(paragraph: str, width: int = 76, indent: str = "") -> str:
    words, lines, line = paragraph.split(), [], ""
    for w in words:
        if line and len(line) + 1 + len(w) > width - len(indent):
            lines.append(line)
            line = w
        else:
            line = f"{line} {w}" if line else w
    if line:
        lines.append(line)
    return "\n".join(indent + ln if i else ln for i, ln in enumerate(lines))


def sections(markdown: str) -> dict[str, str]:
    out = {}
    for part in re.split(r"^## ", markdown, flags=re.M)[1:]:
        title, _, body = part.partition("\n")
        title = title.strip()
        if re.fullmatch(r"[A-Z_]+", title):
            out[title] = body
    return out


def docstring(body: str) -> tuple[str, str]:
    examples = "\n".join(m.strip("\n") for m in re.findall(r"```pycon\n(.*?)```", body, re.S))
    prose = re.sub(r"```.*?```", "", body, flags=re.S)
    blocks = [b.strip() for b in re.split(r"\n\s*\n", prose) if b.strip()]
    # The first block is the call form; the module writes its own signature.
    blocks = [b for b in blocks if not re.fullmatch(r"`[A-Z_]+\(.*\)`", b)]
    paragraphs = []
    for b in blocks:
        items = re.split(r"^- ", b, flags=re.M)
        if len(items) > 1:
            paragraphs.append("\n".join(wrap(plain(" ".join(i.split())), indent="  ")
                                        for i in items[1:]))
        else:
            paragraphs.append(wrap(plain(" ".join(b.split()))))
    return "\n\n".join(paragraphs), examples


def c_string(text: str) -> str:
    out = ['"']
    for byte in text.encode("utf-8"):
        ch = chr(byte)
        if ch == "\n":
            out.append("\\n")
        elif ch in '"\\':
            out.append("\\" + ch)
        elif 32 <= byte < 127:
            out.append(ch)
        else:
            out.append(f"\\{byte:03o}")  # octal: never swallows a following digit
    out.append('"')
    return "".join(out)


def main(src: str, dst: str) -> None:
    with open(src, encoding="utf-8") as f:
        found = sections(f.read())
    # Which functions there are is the catalog's to say: the module refuses to
    # import when a catalog entry has no section here.
    if not found:
        sys.exit(f"{src}: no function sections")
    rows = ["// Generated from docs/functions.md by src/ext/api/gen_docs.py; do not edit."]
    for name, body in found.items():
        text, examples = docstring(body)
        if not examples:
            sys.exit(f"{src}: section {name} has no example")
        rows.append(f'{{"{name}", {c_string(text)},\n {c_string(examples)}}},')
    with open(dst, "w", encoding="utf-8") as f:
        f.write("\n".join(rows) + "\n")


if __name__ == "__main__":
    main(*sys.argv[1:3])
