"""The README's interactive examples (the `>>>` lines) give the output shown."""

import doctest
import re
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    text = README.read_text(encoding="utf-8")
    # A closing code fence would read as expected output: blank the fences.
    text = re.sub(r"^[ \t]*```.*$", "", text, flags=re.MULTILINE)
    test = doctest.DocTestParser().get_doctest(text, {}, "README.md", str(README), 0)
    assert len(test.examples) >= 10
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
