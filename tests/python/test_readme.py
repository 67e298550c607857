"""The README's Python lines run as a user pastes them."""
import re

from support import ROOT


def test_the_readmes_first_python_call_runs():
    readme = (ROOT / "README.md").read_text()
    section = readme[readme.index("\n## Python\n"):readme.index("\n## When a volume outgrows one machine")]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert len(blocks) == 1
    exec(compile(blocks[0], "README.md", "exec"), {})
