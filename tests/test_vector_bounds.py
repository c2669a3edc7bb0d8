"""The proven bounds of the vector references: the committed header is exactly what the proofs give.

tools/prove_vector_bounds.py re-proves every bound from the header's own coefficients (python-flint's
ball arithmetic) and renders the header again; any edit to a coefficient, a split constant or a stated
bound that the proofs do not back makes the two differ.
"""
import importlib.util
import re
import shutil
import sys
from pathlib import Path

import pytest

pytest.importorskip("flint")

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def prover():
    spec = importlib.util.spec_from_file_location("prove_vector_bounds", ROOT / "tools" / "prove_vector_bounds.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # its dataclasses look their module up there
    spec.loader.exec_module(module)
    yield module
    del sys.modules[spec.name]


def test_the_header_is_what_the_proofs_give(prover):
    assert prover.main(["--no-search"]) == 0


def edited(text, name, change):
    """The header with the first number after `name` replaced by change(number)."""
    match = re.search(rf"{name}[^;]*?(-?0x[0-9a-f.]+p-?\d+)", text)
    assert match, name
    value = float.fromhex(match.group(1))
    return text[:match.start(1)] + float.hex(change(value)).replace("+", "") + text[match.end(1):]


@pytest.mark.parametrize("name, change", [
    ("exp_poly", lambda c: c * (1 + 2.0**-40)),  # a coefficient moved: its bounds change
    ("sin_poly", lambda c: c * (1 - 2.0**-45)),
    ("ln2_lo", lambda c: c * 2),  # a split constant that no longer splits ln 2
    ("two_over_pi", lambda c: c * (1 + 2.0**-52)),  # a constant one ulp off its rounding to nearest
    (r"\{\"exp\",", lambda c: c / 2),  # a stated bound below the proven one
    (r"\{\"tan\",", lambda c: c * 2),  # or above it: the bounds the code uses are the proven ones
])
def test_an_unproven_number_is_caught(prover, monkeypatch, tmp_path, capsys, name, change):
    header = tmp_path / "vector_ref_constants.hpp"
    shutil.copy(prover.HEADER, header)
    header.write_text(edited(header.read_text(), name, change))
    monkeypatch.setattr(prover, "HEADER", header)
    assert prover.main(["--no-search"]) == 1
    assert "differs from what the proofs give" in capsys.readouterr().err


@pytest.mark.slow
def test_the_reduction_search_gives_the_header_and_the_hardest_inputs(prover):
    # Every binary32 significand of every binade from 1/2 up: about a minute.
    assert prover.main([]) == 0
