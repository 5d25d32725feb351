"""bench/RESULTS.md is shared by several scripts and by hand-written notes: a script
rewrites only the sections it owns."""

import importlib.util
import pathlib
import shutil

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[1] / "bench"
spec = importlib.util.spec_from_file_location("bench_results", BENCH / "_results.py")
results = importlib.util.module_from_spec(spec)
spec.loader.exec_module(results)

OWNER = "bench/run.py"


def section(label, body):
    return f"<!-- begin {OWNER}: {label} -->\n{body}\n<!-- end {OWNER}: {label} -->\n"


NOTE = "## Notes written by hand\n\nKeep me, and my `<!-- begin other.py: x -->` text.\n"
OTHER = "<!-- begin bench/other.py: A -->\n## other's A\n<!-- end bench/other.py: A -->\n"
FILE = "\n".join(
    [results.HEADER, section("A", "## A\n\nold A"), NOTE, section("B", "## B\n\nold B"), OTHER]
)


@pytest.mark.parametrize(
    ("label", "append", "body", "expected"),
    [
        # A label of an earlier run: replaced where it stands.
        ("A", False, "## A\n\nnew", FILE.replace("old A", "new")),
        ("B", False, "## B\n\nnew", FILE.replace("old B", "new")),
        # A new label, or --append: after the owner's last section, before the rest.
        ("C", False, "new", FILE.replace(OTHER, section("C", "new") + "\n" + OTHER)),
        ("A", True, "new", FILE.replace(OTHER, section("A", "new") + "\n" + OTHER)),
    ],
)
def test_a_run_rewrites_only_its_own_section(tmp_path, label, append, body, expected):
    path = tmp_path / "RESULTS.md"
    path.write_text(FILE)
    results.write_section(path, OWNER, label, body, append=append)
    assert path.read_text() == expected


def test_of_several_sections_of_one_label_the_last_is_replaced(tmp_path):
    path = tmp_path / "RESULTS.md"
    path.write_text(FILE)
    results.write_section(path, OWNER, "A", "second", append=True)
    results.write_section(path, OWNER, "A", "third")
    text = path.read_text()
    assert "old A" in text and "second" not in text
    assert [label for _, _, label in results.sections(text, OWNER)] == ["A", "B", "A"]
    assert text.index("third") > text.index("old B")


@pytest.mark.parametrize(
    ("before", "expected"),
    [
        (None, results.HEADER + "\n" + section("A", "run")),
        ("# Results\n\nintro\n", "# Results\n\nintro\n\n" + section("A", "run")),
        ("# R\n\n" + NOTE, "# R\n\n" + section("A", "run") + "\n" + NOTE),
    ],
    ids=["missing file", "no sections", "before the first section"],
)
def test_a_first_run_finds_its_place(tmp_path, before, expected):
    path = tmp_path / "RESULTS.md"
    if before is not None:
        path.write_text(before)
    results.write_section(path, OWNER, "A", "run")
    assert path.read_text() == expected
    results.write_section(path, OWNER, "A", "run")  # a rerun changes nothing
    assert path.read_text() == expected


@pytest.mark.parametrize(
    "text",
    [
        f"<!-- begin {OWNER}: A -->\nnever ended\n" + NOTE,
        f"{NOTE}<!-- end {OWNER}: A -->\n",
        f"<!-- begin {OWNER}: A -->\nx\n<!-- end {OWNER}: B -->\n",
        section("A", f"<!-- begin {OWNER}: B -->"),
    ],
)
def test_broken_markers_leave_the_file_alone(tmp_path, text):
    path = tmp_path / "RESULTS.md"
    path.write_text(text)
    with pytest.raises(ValueError, match="line"):
        results.write_section(path, OWNER, "A", "run")
    assert path.read_text() == text


@pytest.mark.parametrize("label", ["", " A", "a -- b", "two\nlines"])
def test_labels_that_would_break_the_comment_are_refused(tmp_path, label):
    with pytest.raises(ValueError, match="label"):
        results.write_section(tmp_path / "RESULTS.md", OWNER, label, "run")
    assert not (tmp_path / "RESULTS.md").exists()


def test_the_real_results_file_keeps_everything_but_the_rewritten_section(tmp_path):
    path = tmp_path / "RESULTS.md"
    shutil.copyfile(BENCH / "RESULTS.md", path)
    text = path.read_text()
    spans = results.sections(text, OWNER)
    assert [label for _, _, label in spans] == [
        "default portable build",
        "machine-tuned build (ZARN_NATIVE=ON)",
    ]
    start, end, label = spans[0]
    results.write_section(path, OWNER, label, "## default portable build\n\nrerun")
    new = path.read_text()
    assert new.startswith(text[:start]) and new.endswith(text[end:])
    assert "rerun" in new and text[start:end] not in new
