"""Any call at all, by position or keyword, with any values: either a
documented exception and no system call, or exactly one system call that
receives the UTF-8 texts and the converted flags, made without the GIL."""

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


def expected(function, positional, keywords):
    """The exception types the call may raise, or the system call it must make."""
    errors = set()
    params = PARAMETERS[function]
    names = [name for name, _ in params]
    if len(positional) > len(params) or set(keywords) - set(names) or set(keywords) & set(names[: len(positional)]):
        errors.add(TypeError)
    # Every supplied value may be converted before a duplicate is noticed.
    supplied = list(zip(names, positional)) + [(k, v) for k, v in keywords.items() if k in names]
    converted = {}
    for name, source in supplied:
        result = convert(function, name, source.value)
        if isinstance(result, type):
            errors.add(result)
        else:
            converted[name] = result
    received = []
    for name, default in params:
        if name in converted:
            received.append(converted[name])
        elif default is not None:
            received.append(default)
        elif name not in dict(supplied):
            errors.add(TypeError)
    return errors, ("mount" if function == "mount" else "umount2", *received)


def convert(function, name, value):
    """What the parser makes of one value: the native value, or an exception type."""
    if name == "flags":
        if not isinstance(value, int):
            return TypeError
        if function == "mount":
            return value % 2**64
        return int(value) if -(2**31) <= value < 2**31 else OverflowError
    if type(value) is not str:
        return TypeError
    try:
        encoded = value.encode()
    except UnicodeEncodeError:
        return UnicodeEncodeError
    return ValueError if b"\0" in encoded else encoded


def check(double, function, call, code):
    positional, keywords = call
    args = [p.text for p in positional] + [f"{k}={v.text}" for k, v in keywords.items()]
    reply = double(f"m.{function}({', '.join(args)})", errno=code)
    errors, system_call = expected(function, positional, keywords)
    if errors:
        assert reply.exc in {e.__name__ for e in errors}, reply.message
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
