"""Turn bench/RESULTS.md into reStructuredText for the Performance page.

The benchmark scripts write their results as Markdown; the site shows the same file, so
the page never drifts from the measurements. Only what RESULTS.md uses is handled:
headings, paragraphs, bullet and numbered lists, pipe tables, fenced code, inline code,
bold text, links and images; HTML comments (the benchmark scripts' section markers) are
dropped. Everything else is passed through as escaped text, so an odd line shows up
verbatim rather than breaking the build.
"""

from __future__ import annotations

import pathlib
import re
import shutil

_HEADING_CHARS = {2: "~", 3: "^", 4: "'"}
_TABLE_RULE = re.compile(r"^\|?\s*:?-{2,}:?\s*(\|\s*:?-{2,}:?\s*)*\|?\s*$")
_IMAGE = re.compile(r"^!\[([^\]]*)\]\(([^)\s]+)\)\s*$")
_LINK = re.compile(r"\[([^\]]+)\]\((https?://[^)\s]+)\)")
_LIST_ITEM = re.compile(r"^(\s*)([-*+]|\d+\.)\s+")
_EMPHASIS = re.compile(r"(?<![\w*\\])(\*\*?)(?=[^\s*])[^*]+?(?<=[^\s*])\1(?![\w*])")
_OPENERS = "'\"([{<-/:"
_CLOSERS = "'\")]}>-/:.,;!?"


def _escape(text: str) -> str:
    """Escape the characters that reStructuredText would read as markup.

    Markdown's ``*emphasis*`` and ``**strong**`` spans mean the same in both and are kept;
    any other ``*`` is escaped.
    """
    spans = []

    def keep(m: re.Match) -> str:
        spans.append(m.group(0))
        return f"\0{len(spans) - 1}\0"

    text = _EMPHASIS.sub(keep, text)
    text = text.replace("\\", "\\\\")
    text = text.replace("|", "\\|")
    text = re.sub(r"(\w)_(?=\W|$)", r"\1\\_", text)  # name_ would be a reference
    text = text.replace("*", "\\*")
    return re.sub(r"\0(\d+)\0", lambda m: spans[int(m.group(1))], text)


def inline(text: str) -> str:
    """Markdown inline text (code, bold, links) as reStructuredText.

    Examples
    --------
    >>> print(inline("`mad` is **7.5x** faster; OMP_ and a|b stay text"))
    ``mad`` is **7.5x** faster; OMP\\_ and a\\|b stay text
    >>> print(inline("see `scaling.png`.") + " " + inline("x`y`z"))
    see ``scaling.png``. x\\ ``y``\\ z
    >>> print(inline("[docs](https://example.org/a_b), 2*3 and *n/a*"))
    `docs <https://example.org/a_b>`__, 2\\*3 and *n/a*
    """
    text = text.replace("\\|", "|")
    parts = re.split(r"``(.+?)``|`([^`]+)`", text)
    parts = [p for i, p in enumerate(parts) if i % 3 == 0 or p is not None]
    out = []
    for i, part in enumerate(parts):
        if i % 2 == 0:
            out.append(_text_with_links(part))
        elif part.strip() != part:
            out.append(_escape(part))
        else:
            before = parts[i - 1][-1:]
            after = parts[i + 1][:1] if i + 1 < len(parts) else ""
            # Inline markup must sit between spaces or punctuation in reStructuredText.
            lead = "\\ " if before and not (before.isspace() or before in _OPENERS) else ""
            tail = "\\ " if after and not (after.isspace() or after in _CLOSERS) else ""
            out.append(f"{lead}``{part}``{tail}")
    return "".join(out)


def _text_with_links(text: str) -> str:
    """Escape plain text, keeping ``[label](url)`` links as reStructuredText links."""
    pieces = []
    last = 0
    for m in _LINK.finditer(text):
        pieces.append(_escape(text[last : m.start()]))
        pieces.append(f"`{_escape(m.group(1))} <{m.group(2)}>`__")
        last = m.end()
    pieces.append(_escape(text[last:]))
    return "".join(pieces)


def _cells(line: str) -> list[str]:
    line = line.strip()
    if line.startswith("|"):
        line = line[1:]
    if line.endswith("|") and not line.endswith("\\|"):
        line = line[:-1]
    return [c.strip() for c in re.split(r"(?<!\\)\|", line)]


def _table(rows: list[list[str]]) -> list[str]:
    width = max(len(r) for r in rows)
    out = [".. list-table::", "   :header-rows: 1", "   :class: bench-table", ""]
    for row in rows:
        row = row + [""] * (width - len(row))
        for j, cell in enumerate(row):
            lead = "   * - " if j == 0 else "     - "
            out.append(lead + (inline(cell) or r"\ "))
    return out + [""]


def markdown_to_rst(md: str, image_dir: pathlib.Path, out_dir: pathlib.Path) -> str:
    """Convert the Markdown of a results file; images are copied into ``out_dir``.

    Examples
    --------
    >>> md = "## Run\\n\\n| case | ratio |\\n|---|---:|\\n| `ols` | 0.2 |\\n\\n1. one\\n   more\\n"
    >>> md = f"<!-- begin bench/run.py: Run -->\\n{md}<!-- end bench/run.py:\\n Run -->\\n"
    >>> print(markdown_to_rst(md, pathlib.Path("."), pathlib.Path(".")).strip())
    Run
    ~~~
    <BLANKLINE>
    <BLANKLINE>
    .. list-table::
       :header-rows: 1
       :class: bench-table
    <BLANKLINE>
       * - case
         - ratio
       * - ``ols``
         - 0.2
    <BLANKLINE>
    <BLANKLINE>
    1. one
       more
    """
    lines = md.splitlines()
    out: list[str] = []
    i = 0
    in_list = False
    continuation = "  "
    while i < len(lines):
        line = lines[i].rstrip()
        if line.startswith("```"):
            block = []
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                block.append(lines[i])
                i += 1
            out += ["", ".. code-block:: text", ""] + ["   " + b for b in block] + [""]
            i += 1
            in_list = False
            continue
        if line.lstrip().startswith("<!--"):
            while i < len(lines) and "-->" not in lines[i]:
                i += 1
            i += 1
            in_list = False
            continue
        heading = re.match(r"^(#{1,6})\s+(.*)$", line)
        if heading:
            level = len(heading.group(1))
            if level > 1:  # the page has its own title
                title = inline(heading.group(2))
                char = _HEADING_CHARS.get(level, "'")
                out += ["", title, char * max(len(title), 3), ""]
            i += 1
            in_list = False
            continue
        if line.lstrip().startswith("|") and i + 1 < len(lines) and _TABLE_RULE.match(lines[i + 1]):
            rows = [_cells(line)]
            i += 2
            while i < len(lines) and lines[i].strip().startswith("|"):
                rows.append(_cells(lines[i]))
                i += 1
            out += [""] + _table(rows)
            in_list = False
            continue
        image = _IMAGE.match(line.strip())
        if image:
            src = image_dir / image.group(2)
            if src.is_file():
                shutil.copyfile(src, out_dir / src.name)
                alt = image.group(1) or src.name
                out += ["", f".. image:: /_generated/{src.name}", f"   :alt: {alt}", ""]
            i += 1
            in_list = False
            continue
        item = _LIST_ITEM.match(line)
        if item:
            if not in_list and out and out[-1] != "":
                out.append("")
            marker = "-" if item.group(2) in "-*+" else item.group(2)
            out.append(item.group(1) + marker + " " + inline(line[item.end() :]))
            continuation = " " * (len(item.group(1)) + len(marker) + 1)
            in_list = True
            i += 1
            continue
        if not line.strip():
            out.append("")
            in_list = False
            i += 1
            continue
        if in_list and line.startswith(" "):
            out.append(continuation + inline(line.strip()))
        else:
            if in_list:
                out.append("")
                in_list = False
            out.append(inline(line.strip()))
        i += 1
    return "\n".join(out) + "\n"


def write_bench_page(results: pathlib.Path, target: pathlib.Path) -> None:
    """Write ``target`` (an include file) from ``results``; a note if it is missing.

    Each section a script owns is also written beside it, as :func:`write_bench_sections`
    does, so that a page can show one table of the latest run where it discusses it.
    """
    target.parent.mkdir(parents=True, exist_ok=True)
    if results.is_file():
        md = results.read_text(encoding="utf-8")
        text = markdown_to_rst(md, results.parent, target.parent)
        write_bench_sections(md, results.parent, target.parent)
    else:
        text = "No benchmark results were found in ``bench/RESULTS.md``.\n"
    _write_if_changed(target, text)


def _write_if_changed(target: pathlib.Path, text: str) -> None:
    # An unchanged include keeps its time stamp, so Sphinx does not reread its pages.
    if not target.is_file() or target.read_text(encoding="utf-8") != text:
        target.write_text(text, encoding="utf-8")


_BEGIN = re.compile(r"^<!-- begin (\S+): (.*?) -->[ \t]*$", re.MULTILINE)


def section_file_name(owner: str, label: str) -> str:
    """The include file of a script's section of RESULTS.md.

    Examples
    --------
    >>> section_file_name("bench/bench_robust.py", "Robust fit time")
    'bench-robust-robust-fit-time.rst'
    """
    slug = re.sub(r"[^a-z0-9]+", "-", f"{pathlib.PurePath(owner).stem} {label}".lower())
    return slug.strip("-") + ".rst"


def bench_sections(md: str) -> dict[str, str]:
    """Each section a script owns in ``md``, keyed by its include file's name, without its
    begin and end comments and its first heading (the page gives its own), its other
    headings as bold lines.

    Sections may nest (a script's section can sit inside another's); each is cut from its
    own begin comment to its own end comment.

    Examples
    --------
    >>> md = "<!-- begin bench/a.py: A -->\\n## A\\nx\\n### B\\n\\ny\\n<!-- end bench/a.py: A -->"
    >>> bench_sections(md)
    {'a-a.rst': 'x\\n**B**\\n\\ny'}
    """
    out = {}
    for begin in _BEGIN.finditer(md):
        owner, label = begin.group(1), begin.group(2)
        end = md.find(f"<!-- end {owner}: {label} -->", begin.end())
        if end < 0:
            continue
        body = md[begin.end() : end].strip("\n")
        body = re.sub(r"\A\s*##\s[^\n]*\n", "", body, count=1)
        # Its other headings become bold lines: an included section must not add section
        # levels of its own to the page that includes it.
        body = re.sub(r"^#{2,6}[ \t]+(.*?)[ \t]*$", r"**\1**", body, flags=re.MULTILINE)
        out[section_file_name(owner, label)] = body.strip()
    return out


def write_bench_sections(md: str, image_dir: pathlib.Path, out_dir: pathlib.Path) -> None:
    """Write every script's section of ``md`` as reStructuredText into ``out_dir``, named
    by :func:`section_file_name` (for example ``bench-robust-robust-fit-time.rst``)."""
    for name, body in bench_sections(md).items():
        _write_if_changed(out_dir / name, markdown_to_rst(body, image_dir, out_dir))
