"""The tag table as data, and values read as tagconf reads them."""

import pytest

import tagproto


def test_tags_come_from_the_table():
    assert len(tagproto.tags) == 182
    assert tagproto.tags["TAG_DEV_ID"] == tagproto.Tag(8, "TAG_DEV_ID", "integer")
    assert tagproto.tags["TAG_DEV_LABEL"].kind == "text"
    assert tagproto.tags["TAG_IO_SAMPLED_VALUE"].kind == "float"
    assert tagproto.tags["TAG_DEV_CFG"] == (5, "TAG_DEV_CFG", "none")
    assert tagproto.tag("tag_dev_id") is tagproto.tags["TAG_DEV_ID"]
    assert tagproto.tag(9).name == "TAG_DEV_LABEL"
    assert tagproto.tag(181).id == 181
    with pytest.raises(ValueError):
        tagproto.tag(182)
    with pytest.raises(TypeError):
        tagproto.tags["X"] = None  # type: ignore[index]


PARSED = [
    ("TAG_DEV_ID", "2A", 42),
    ("TAG_DEV_ID", "0xffffffff", 0xFFFFFFFF),
    ("TAG_DEV_STATE", "ff", 255),
    ("TAG_IO_SAMPLED_VALUE", "21.5", 21.5),
    ("TAG_IO_SAMPLED_VALUE", "-inf", float("-inf")),
    ("TAG_IO_SAMPLED_VALUE", "0.1", 0.10000000149011612),
    ("TAG_DEV_LABEL", "two words ", "two words "),
    (8, "10", 16),
]


@pytest.mark.parametrize("tag,text,value", PARSED)
def test_parse_value_reads_as_tagconf(tag, text, value):
    got = tagproto.parse_value(tag, text)
    assert got == value and type(got) is type(value)


REFUSED = [
    ("TAG_DEV_STATE", "100", 'bad value "100" for TAG_DEV_STATE: a UInt8 is hexadecimal from 0 to FF'),
    ("TAG_DEV_ID", "-1", 'bad value "-1" for TAG_DEV_ID: a UInt32 is hexadecimal from 0 to FFFFFFFF'),
    ("TAG_IO_SAMPLED_VALUE", "1e39",
     'bad value "1e39" for TAG_IO_SAMPLED_VALUE: a Float is a decimal number of at most 3.4e38 in size, nan or inf'),
    ("TAG_DEV_LABEL", "a\0b", "bad value for TAG_DEV_LABEL: a text cannot hold a NUL byte"),
    ("TAG_DEV_CFG", "1", "TAG_DEV_CFG is a group tag: it can be read, not written"),
    ("TAG_NOPE", "1", "no tag TAG_NOPE in the tag table"),
]


@pytest.mark.parametrize("tag,text,message", REFUSED)
def test_parse_value_refuses_with_tagconfs_message(tag, text, message):
    with pytest.raises(ValueError) as caught:
        tagproto.parse_value(tag, text)
    assert str(caught.value) == message
