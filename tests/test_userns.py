"""User namespaces: the id maps read and checked (_idmap.parse, maps), the
caller's maps, and velkora.userns() as root and as ordinary users with and
without subordinate ids."""

from __future__ import annotations

import pytest

from velkora import _idmap

pytestmark = pytest.mark.userns

U, G = "uid", "gid"

PARSED = [
    ("u:1000:0:1", ((1000, 0, 1),), ()),
    ("g:1001:1:2", (), ((1001, 1, 2),)),
    ("b:0:100000:65536", ((0, 100000, 65536),), ((0, 100000, 65536),)),
    ("5000:1000:2", ((5000, 1000, 2),), ((5000, 1000, 2),)),
    ("u:1000:0:1 g:1001:1:2 5000:1000:2", ((1000, 0, 1), (5000, 1000, 2)), ((1001, 1, 2), (5000, 1000, 2))),
    ("  u:0:0:1\tu:1:5:1\n", ((0, 0, 1), (1, 5, 1)), ()),
    ("0:0:4294967295", ((0, 0, 4294967295),), ((0, 0, 4294967295),)),
]


@pytest.mark.parametrize(("text", "uids", "gids"), PARSED)
def test_parse(text, uids, gids):
    assert _idmap.parse(text) == (uids, gids)
    assert _idmap.maps(text) == (uids, gids)


BAD_TEXT = [
    ("", "no id map"),
    ("   ", "no id map"),
    ("u:1000:0", "'u:1000:0'"),
    ("x:1:2:3", "'x:1:2:3'"),
    ("u:1:2:3 g:1:-2:3", "'g:1:-2:3'"),
    ("u:1:2:3:4", "'u:1:2:3:4'"),
    ("1:2:3 u:a:2:3", "'u:a:2:3'"),
    ("u:1:2:٣", "'u:1:2:٣'"),  # a digit to str.isdigit, none to the kernel
    ("U:1:2:3", "'U:1:2:3'"),
    ("u:0:0:0", "uid map: bad line 0 0 0"),
    ("g:0:1:4294967295", "gid map: bad line 0 1 4294967295"),
    ("b:4294967295:0:1", "bad line 4294967295 0 1"),
    ("u:0:1000:10 u:5:2000:10", "uid map: inside ranges overlap: 0-9 of 0 1000 10 and 5-14 of 5 2000 10"),
    ("g:0:1000:10 g:20:1009:1", "gid map: outside ranges overlap: 1000-1009 of 0 1000 10 and 1009-1009 of 20 1009 1"),
]


@pytest.mark.parametrize(("text", "named"), BAD_TEXT)
def test_parse_refuses(text, named):
    with pytest.raises(ValueError, match="^.*" + __import__("re").escape(named)):
        _idmap.parse(text)


def test_maps_sequences():
    assert _idmap.maps([(0, 1000, 1), [1, 100000, 65536]]) == (((0, 1000, 1), (1, 100000, 65536)),) * 2
    assert _idmap.maps([(0, 1000, 1)], ((0, 1001, 1),)) == (((0, 1000, 1),), ((0, 1001, 1),))
    assert _idmap.maps([(0, 1000, 1)], ()) == (((0, 1000, 1),), ())
    adjacent = [(10, 20, 5), (0, 0, 10)]  # touching ranges, any order
    assert _idmap.maps(adjacent)[0] == ((10, 20, 5), (0, 0, 10))
    most = [(i, i, 1) for i in range(_idmap.MAX_LINES)]
    assert len(_idmap.maps(most)[0]) == _idmap.MAX_LINES


BAD_MAPS = [
    (([],), ValueError, "no id map given"),
    (([(0, 1, 2)], "0 1 2"), TypeError, "text goes in uid_map"),
    (("u:0:1:1", [(0, 1, 1)]), TypeError, "gid_map must be None"),
    ((b"0 1 1",), TypeError, "uid_map must be a sequence"),
    (([(0, 1)],), TypeError, r"\(0, 1\) is no"),
    (([(0, 1.0, 1)],), TypeError, "is no"),
    (([(0, 1, 1)], [("0", 1, 1)]), TypeError, "gid_map"),
    (([(-1, 0, 1)],), ValueError, "bad line -1 0 1"),
    (([(0, 0, 1)], [(0, 4294967294, 2)]), ValueError, "gid map: bad line 0 4294967294 2"),
    (([(i, i, 1) for i in range(341)],), ValueError, "341 lines, more than the kernel's 340"),
    (([(i * 10**7, i * 10**7, 10**6) for i in range(340)],), ValueError, "bytes of text, more than"),
    (([(0, 0, 2), (1, 5, 1)],), ValueError, "inside ranges overlap: 0-1 of 0 0 2 and 1-1 of 1 5 1"),
]


@pytest.mark.parametrize(("args", "error", "named"), BAD_MAPS)
def test_maps_refuses(args, error, named):
    with pytest.raises(error, match=named):
        _idmap.maps(*args)
