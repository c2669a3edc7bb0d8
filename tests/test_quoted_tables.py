"""Cross-check of the committed escape table against the system's Unicode data, derived a second way.

The set is rebuilt per code point from the raw files (no range merging logic shared with the generator)
and compared with the ranges read back out of the generated include file.
"""

import re
from pathlib import Path

import pytest

DATA = Path("/usr/share/unicode")
TABLE = Path(__file__).resolve().parent.parent / "src" / "py" / "unicode_tables.inc"

pytestmark = pytest.mark.skipif(
    not (DATA / "UnicodeData.txt").is_file(), reason="no Unicode data in /usr/share/unicode"
)


def assigned_categories():
    """{code point: general category}; '<..., First>' / '<..., Last>' line pairs span whole blocks."""
    cats = {}
    lines = (DATA / "UnicodeData.txt").read_text(encoding="utf-8").splitlines()
    rows = [line.split(";") for line in lines if line]
    for row, next_row in zip(rows, rows[1:] + [None]):
        if row[1].endswith("Last>"):
            continue
        last = int(next_row[0], 16) if row[1].endswith("First>") else int(row[0], 16)
        for cp in range(int(row[0], 16), last + 1):
            cats[cp] = row[2]
    return cats


def with_property(filename, name):
    found = set()
    pattern = re.compile(r"^([0-9A-F]+)(?:\.\.([0-9A-F]+))?\s*;\s*" + name + r"\s*(#|$)")
    for line in (DATA / filename).read_text(encoding="utf-8").splitlines():
        m = pattern.match(line)
        if m:
            found.update(range(int(m[1], 16), int(m[2] or m[1], 16) + 1))
    assert found, f"{name} not found in {filename}"
    return found


def expected_escaped():
    cats = assigned_categories()
    controls = set(range(0x00, 0x20)) | set(range(0x7F, 0xA0))
    # Surrogates never come out of valid UTF-8; the table is free to hold them.
    by_category = {cp for cp in range(0x110000) if cats.get(cp, "Cn") in ("Co", "Cn", "Cf", "Cs")}
    white = with_property("PropList.txt", "White_Space") - {0x20}
    return (
        controls
        | by_category
        | white
        | with_property("DerivedCoreProperties.txt", "Default_Ignorable_Code_Point")
        | with_property("DerivedCoreProperties.txt", "Grapheme_Extend")
    ) - {0x00, 0x09, 0x0A, 0x0D}


def table_ranges():
    pairs = re.findall(r"\{0x([0-9A-Fa-f]+), 0x([0-9A-Fa-f]+)\}", TABLE.read_text())
    return [(int(first, 16), int(last, 16)) for first, last in pairs]


def test_table_matches_unicode_data():
    in_table = {cp for first, last in table_ranges() for cp in range(first, last + 1)}
    expected = expected_escaped()
    assert not in_table - expected, f"escaped but should not be: {sorted(in_table - expected)[:20]}"
    assert not expected - in_table, f"missing from table: {sorted(expected - in_table)[:20]}"


def test_header_names_the_data_version():
    readme = (DATA / "ReadMe.txt").read_text(encoding="utf-8")
    version = re.search(r"Version (\d+\.\d+\.\d+) of the Unicode", readme)[1]
    header = TABLE.read_text().splitlines()[0]
    assert f"from Debian unicode-data {version};" in header
