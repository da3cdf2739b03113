"""Shared fixtures for end-to-end tests of the real Updater binary."""
import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "sim"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))


@pytest.fixture(scope="session")
def updater_bin():
    path = pathlib.Path(os.environ.get("UPDATER_BIN", ROOT / "build" / "Updater"))
    if not path.exists():
        pytest.fail(f"Updater binary not found at {path}; build first or set UPDATER_BIN")
    return str(path)
