"""The sections of bench/RESULTS.md that a benchmark script owns.

RESULTS.md is shared: several scripts write results into it and people add notes by hand
(the spread of repeated runs, before/after comparisons), and the documentation's
performance page is built from it. A script therefore never rewrites the file: each of its
sections lies between two HTML comments naming the script and the section's label,

    <!-- begin bench/run.py: default portable build -->
    ## default portable build
    ...
    <!-- end bench/run.py: default portable build -->

and `write_section` replaces only such a block, leaving every other line as it was.
The comments do not show in rendered Markdown, and docs/_bench_tables.py drops them.
"""

from __future__ import annotations

import pathlib
import re

HEADER = (
    "# Benchmark results\n\nRatios are peer time / zarn time (above 1: zarn is faster), "
    "medians of interleaved rounds in one process.\n"
)


def _marker(kind: str, owner: str, label: str) -> str:
    return f"<!-- {kind} {owner}: {label} -->"


def sections(text: str, owner: str) -> list[tuple[int, int, str]]:
    """The (start, end, label) character spans of ``owner``'s sections in ``text``.

    A span runs from its begin comment to the end of its end comment's line. A begin
    comment without its end comment (or the reverse) raises ValueError, so that a file
    edited by hand is never overwritten past the point where its owner's section stopped.
    """
    pattern = re.compile(
        rf"^<!-- (begin|end) {re.escape(owner)}: (.*?) -->[ \t]*(?:\n|$)", re.MULTILINE
    )
    spans = []
    open_at: tuple[int, str] | None = None
    for match in pattern.finditer(text):
        kind, label = match.group(1), match.group(2)
        if kind == "begin" and open_at is None:
            open_at = (match.start(), label)
        elif kind == "end" and open_at is not None and open_at[1] == label:
            spans.append((open_at[0], match.end(), label))
            open_at = None
        else:
            line = text.count("\n", 0, match.start()) + 1
            raise ValueError(f"unbalanced section comment at line {line}: {match.group(0)!r}")
    if open_at is not None:
        line = text.count("\n", 0, open_at[0]) + 1
        raise ValueError(f"section {open_at[1]!r} begun at line {line} is never ended")
    return spans


def write_section(
    path: pathlib.Path, owner: str, label: str, body: str, append: bool = False
) -> None:
    """Put ``body`` into ``owner``'s section ``label`` of the Markdown file ``path``.

    Without ``append``, the last section of that owner and label is replaced where it
    stands; with ``append``, or when there is none, a new section goes after the owner's
    last section (or, if the owner has none yet, before the file's first ``##`` heading,
    else at its end). A missing file is started with the results header.
    """
    if "--" in label or "\n" in label or label != label.strip() or not label:
        raise ValueError(f"a section label must be one line without '--': {label!r}")
    text = path.read_text(encoding="utf-8") if path.exists() else HEADER
    block = f"{_marker('begin', owner, label)}\n{body.strip()}\n{_marker('end', owner, label)}\n"
    spans = sections(text, owner)
    same = [span for span in spans if span[2] == label]
    if same and not append:
        start, end, _ = same[-1]
        text = text[:start] + block + text[end:]
    else:
        if spans:
            at = spans[-1][1]
        else:
            heading = re.search(r"^## ", text, re.MULTILINE)
            at = heading.start() if heading else len(text)
        before, after = text[:at], text[at:]
        before = before.rstrip("\n") + "\n\n" if before.strip() else before
        after = "\n" + after.lstrip("\n") if after.strip() else ""
        text = before + block + after
    path.write_text(text, encoding="utf-8")
