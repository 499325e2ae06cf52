"""Reliability figures (`figure(...)`), printed together at the end of the run."""
import pytest

_figures = []


@pytest.fixture
def figure(request):
    """figure(text) adds a line, prefixed with the test's name, to the figures."""
    return lambda text: _figures.append(f"{request.node.name}: {text}")


def pytest_terminal_summary(terminalreporter):
    if _figures:
        terminalreporter.section("reliability figures")
        for line in _figures:
            terminalreporter.write_line(line)
