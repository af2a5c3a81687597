"""The shared corpus of real JSON files (see conftest.SHARED): each file that
its README marks representable gives the README's predicted size and round
trips, the refused one gives its message, and both scan roads agree on all."""

import json
import re

import pytest
from conftest import CORPUS, assert_identical, expected_from_json, shared_missing
from test_dumps import assert_roads_agree

import velq

if shared_missing("corpus"):
    pytest.skip(shared_missing("corpus"), allow_module_level=True)

CORPUS_README = (CORPUS / "README.md").read_text()
REPRESENTABLE_COLUMN = dict(re.findall(r"^\| (\S+\.json) \|[^|]*\|[^|]*\|[^|]*\| (yes|no)", CORPUS_README, re.M))
PREDICTED_SIZES = {
    name: int(size.replace(",", ""))
    for name, size in re.findall(r"^\| (\S+\.json) \|(?:[^|]*\|){9} ([\d,]+) \|$", CORPUS_README, re.M)
}
REPRESENTABLE = sorted(name for name, ok in REPRESENTABLE_COLUMN.items() if ok == "yes")
CORPUS_TEXTS = [path.read_text(encoding="utf-8") for path in sorted(CORPUS.glob("*.json"))]


def test_corpus_listing_is_complete():
    assert len(REPRESENTABLE) == 15 and REPRESENTABLE_COLUMN["gsoc-2018.json"] == "no"
    assert sorted(PREDICTED_SIZES) == REPRESENTABLE


@pytest.mark.parametrize("name", REPRESENTABLE)
def test_corpus_round_trip(name):
    text = (CORPUS / name).read_text(encoding="utf-8")
    data = velq.dumps(text)
    assert len(data) == PREDICTED_SIZES[name]
    assert_identical(velq.loads(data), expected_from_json(json.loads(text)))


def test_corpus_refused_file():
    text = (CORPUS / "gsoc-2018.json").read_text(encoding="utf-8")
    with pytest.raises(ValueError) as info:
        velq.dumps(text)
    assert str(info.value) == "Failed to parse VELQ: Object #9 has 1264 fields (max 256)"


def test_scalar_road_writes_what_the_vector_road_writes_on_the_corpus():
    assert_roads_agree("test_corpus", "CORPUS_TEXTS")
