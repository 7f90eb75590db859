"""Any call at all, by position or keyword, with any values: a call with any
invalid argument raises an argument error and makes no system call; any
other makes exactly one, which receives the UTF-8 texts and the converted
flags, without the GIL. Which error each invalid argument raises is tabled
in test_mount_calls.py."""

import errno
import math

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

PARAMETERS = {
    "mount": [("source", None), ("target", None), ("fstype", b"btrfs"), ("flags", 0), ("data", b"")],
    "umount": [("target", None), ("flags", 0)],
}


class Source:
    """A value and the Python source that rebuilds it in the interposed interpreter."""

    def __init__(self, value, text):
        self.value, self.text = value, text

    def __repr__(self):
        return self.text


def _float_source(x):
    return Source(x, f"float('{x}')" if math.isnan(x) or math.isinf(x) else repr(x))


clean_text = st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\x00"))
text_values = st.one_of(
    *[clean_text] * 6,
    st.text(st.characters(exclude_categories=())),  # surrogates and NUL among the rest
    st.tuples(clean_text, st.sampled_from(["\x00", "\ud800", "\udfff"]), clean_text).map("".join),
)
int_values = st.one_of(
    st.integers(),
    st.sampled_from([2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63, 2**64 - 1, 2**64, -1, 2**64 + 1]),
)
OTHER = object()  # stands for any value that is neither str nor int
other_values = st.sampled_from(
    ["None", "object()", "[]", "()", "{}", "1j", "bytearray(b'x')", "__import__('pathlib').Path('/mnt')"]
).map(lambda text: Source(OTHER, text))
texts = text_values.map(lambda s: Source(s, ascii(s)))
ints = st.one_of(int_values, st.booleans()).map(lambda i: Source(i, repr(i)))
values = st.one_of(
    texts,
    ints,
    st.floats().map(_float_source),
    st.binary().map(lambda b: Source(b, repr(b))),
    other_values,
)


@st.composite
def calls(draw, function):
    params = [name for name, _ in PARAMETERS[function]]
    given_ = {}
    for name in params:
        if draw(st.integers(0, 15)) == 0:
            continue  # left out
        # Mostly the right type, so that calls reach the kernel often.
        fitting = ints if name == "flags" else texts
        given_[name] = draw(fitting if draw(st.integers(0, 7)) else values)
    # Position the leading run of given arguments, name the rest.
    run = 0
    while run < len(params) and params[run] in given_:
        run += 1
    npos = draw(st.integers(0, run))
    positional = [given_[name] for name in params[:npos]]
    keywords = {name: given_[name] for name in params[npos:] if name in given_}
    extra = draw(st.sampled_from([""] * 17 + ["positional", "unknown", "twice"]))
    if extra == "positional":
        positional.append(draw(values))
    elif extra == "unknown":
        keywords["fs_type"] = draw(values)
    elif extra == "twice" and npos:
        keywords[params[0]] = draw(values)
    return positional, keywords


def received(function, positional, keywords):
    """What the kernel must receive from a call whose every argument is valid,
    or None for a call with any invalid one (which tables in test_mount_calls.py
    pin to their exceptions)."""
    names = [name for name, _ in PARAMETERS[function]]
    given_ = dict(zip(names, positional))
    if len(positional) > len(names) or set(keywords) - set(names) or set(keywords) & set(given_):
        return None
    given_.update(keywords)
    values = []
    for name, default in PARAMETERS[function]:
        if name not in given_:
            if default is None:
                return None
            values.append(default)
            continue
        value = given_[name].value
        if name == "flags":
            if not isinstance(value, int) or (function == "umount" and not -(2**31) <= value < 2**31):
                return None
            values.append(value % 2**64 if function == "mount" else int(value))
        elif type(value) is not str or "\0" in value or any("\ud800" <= c <= "\udfff" for c in value):
            return None
        else:
            values.append(value.encode())
    return ("mount" if function == "mount" else "umount2", *values)


def check(double, function, call, code):
    positional, keywords = call
    args = [p.text for p in positional] + [f"{k}={v.text}" for k, v in keywords.items()]
    reply = double(f"m.{function}({', '.join(args)})", errno=code)
    system_call = received(function, positional, keywords)
    if system_call is None:
        assert reply.exc in {"TypeError", "ValueError", "OverflowError", "UnicodeEncodeError"}, reply.message
        assert reply.calls == []
        return
    assert reply.calls == [system_call]
    assert reply.gil == [False]
    if code:
        assert (reply.errno, reply.filename) == (code, None)
    else:
        assert (reply.exc, reply.value) == (None, "None")


kernel_answers = st.sampled_from([0, 0, 0, errno.EPERM, errno.EBUSY, errno.EINVAL, errno.ENOENT])
properties = settings(deadline=None, database=None, suppress_health_check=list(HealthCheck))


@properties
@given(call=calls("mount"), code=kernel_answers)
def test_any_mount_call(double, call, code):
    check(double, "mount", call, code)


@properties
@given(call=calls("umount"), code=kernel_answers)
def test_any_umount_call(double, call, code):
    check(double, "umount", call, code)
