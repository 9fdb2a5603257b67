"""The README's code runs and shows what it says it shows."""
import contextlib
import doctest
import io
import re

import pytest

from readme_blocks import README, ROOT, blocks, tour


def test_tour_prints_the_output_shown():
    code, shown = tour()
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, str(README), "exec"), {"__name__": "readme_tour"})
    assert out.getvalue() == shown


@pytest.mark.parametrize("index", range(len(blocks("pycon"))))
def test_interactive_examples(index):
    source = blocks("pycon")[index]
    test = doctest.DocTestParser().get_doctest(source, {}, f"README pycon block {index}", str(README), 0)
    assert test.examples, "an interactive block without examples"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = io.StringIO()
    runner.run(test, out=report.write)
    assert runner.failures == 0, report.getvalue()


def test_pictures_shown_exist():
    pictures = re.findall(r"!\[[^\]]*\]\(([^)]+)\)", README.read_text(encoding="utf-8"))
    assert pictures
    for path in pictures:
        assert (ROOT / path).is_file(), path
