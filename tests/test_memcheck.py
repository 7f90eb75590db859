"""Every argument path of the native modules' functions under valgrind's memcheck:
no invalid read or write, no use of uninitialised memory and no block lost,
in their code."""

import errno
import re
import sysconfig

import pytest

from support.bad_calls import BAD_CALLS
from support.double import Double
from support.fsmount_bad_calls import FSMOUNT_BAD_CALLS

pytestmark = pytest.mark.memcheck

GOOD_CALLS = [
    "m.mount('/dev/vdb1', '/mnt/\u00e9t\u00e9')",
    "m.mount(source='a', target='b', fstype='ext4', flags=-1, data='x' * 4096)",
    "m.umount('/mnt/data')",
    "m.umount(flags=m.MNT_DETACH, target='b')",
    "f.fsopen('tmpfs')",
    "f.fspick(f.AT_FDCWD, '/mnt', 0)",
    "f.fsconfig(3, f.FSCONFIG_SET_STRING, 'size', '64k')",
    "f.fsconfig(3, f.FSCONFIG_SET_BINARY, 'k', bytearray(b'\\0' * 300))",
    "f.fsconfig(3, f.FSCONFIG_SET_PATH, 'source', '/dev/x', f.AT_FDCWD)",
    "f.fsconfig(3, 99, value=b'raw', aux=1)",
    "f.fsmount(3, 0, 1)",
    "f.open_tree(f.AT_FDCWD, '/srv', f.OPEN_TREE_CLONE)",
    "f.move_mount(3, '', f.AT_FDCWD, '/mnt', f.MOVE_MOUNT_F_EMPTY_PATH)",
    "f.mount_setattr(3, '', f.AT_EMPTY_PATH, attr_set=f.MOUNT_ATTR_IDMAP, userns_fd=4)",
]
# velkora._loop's refusals, before any device is taken: each raises.
LOOP_REFUSALS = [
    "lo.attach(b'/nonexistent/image', b'/nonexistent/image', lo.LO_FLAGS_AUTOCLEAR)",
    "lo.attach(b'/', b'/', lo.LO_FLAGS_READ_ONLY)",
    "lo.attach(b'a\\0b', b'')",
    "lo.attach(1.5, b'')",
    "lo.attach(b'x', 'x')",
    "lo.attach(b'x', b'x', offset=-1)",
    "lo.status(-1)",
    "lo.detach(2**40)",
    "lo.set_autoclear(0)",
]
# velkora._chroot's refusals of a plan or a command, before any call: each raises.
NO_NUL = "(-1, -1, -1)"
CHROOT_REFUSALS = [
    "ch.setup_root(b'/', (), ((1, b'/x', None, (), 0, False, 0),))",
    "ch.setup_root(b'/', (), ((1, b'/x', b'tmpfs', ((b'mode', b'0755'), (b'k', 5)), 0, False, 0),))",
    "ch.setup_root(b'/', (), ((3, b'/x', None, (), 0, False, 0), (9, b'/y', None, (), 0, False, 0)))",
    "ch.setup_root(b'/', ((b'/x', 1, 0), (b'/a\\0b', 1, 0)), ())",
    f"ch.spawn(0, b'/', ((3, b'/x', None, ((b'k', None),), 0, False, 0),), [], [], b'/', {NO_NUL}, True)",
    f"ch.spawn(0, b'/', (), [b'sh', b'a\\0b'], [], b'/', {NO_NUL}, True)",
    f"ch.spawn(0, b'/', (), [b'sh'], ['PATH=/bin'], b'/', {NO_NUL}, True)",
    "ch.unplace(0, ((b'/x', 0, 0, 1), (b'/y', 0)))",
]
# The mount table's calls reach the kernel through valgrind, which answers
# ENOSYS for calls newer than it knows (3.19 knows neither).
TABLE_CALLS = ["[t.statmount(i) for i in t.listmount()]", "t.listmount(count=1, last_id=2**64 - 1)"]
# The parser and Guard, which touch no kernel: each must answer.
RECORD = "type('M', (tuple,), {})"
GUARDED = "type('G', (g.Guard,), {'_enter': lambda s: s, '_undo': lambda s: 0, '_leave': lambda s, again: 0})()"
PURE_CALLS = [
    f"t.parse({RECORD}, b'1 0 8:1 / /a\\040b rw shared:1 - ext4 /dev/x rw\\n2 1 0:5 / /a\\040b/c rw - tmpfs t rw')",
    f"t.parse({RECORD}, b'not a line')",
    f"t.read({RECORD}, '/proc/self/mountinfo', below='/proc')",
    "t.mount_id('/')",
    f"[{GUARDED}.__enter__(), {GUARDED}.__exit__(None, None, None)]",
]


def test_memcheck_over_every_argument_path(interposer, valgrind, tmp_path):
    report = tmp_path / "memcheck.log"
    wrapper = [
        valgrind,
        "--tool=memcheck",
        # Only blocks nothing points to any more: the interpreter keeps much
        # reachable, or reachable only through interior pointers, at exit.
        "--leak-check=full",
        "--show-leak-kinds=definite",
        "--errors-for-leak-kinds=definite",
        "--track-origins=yes",
        "--num-callers=40",
        f"--log-file={report}",
    ]
    # With the interpreter's own allocator memcheck cannot see object bounds.
    # Free-threaded builds accept only mimalloc: its debug hooks then guard
    # each block, and memcheck still sees uninitialised reads and stray
    # accesses outside the heap.
    allocator = "mimalloc_debug" if sysconfig.get_config_var("Py_GIL_DISABLED") else "malloc"
    double = Double(interposer, tmp_path / "calls.log", wrapper, PYTHONMALLOC=allocator)
    try:
        for call, exc in BAD_CALLS + FSMOUNT_BAD_CALLS:
            assert double(call).exc == exc.__name__
        for call in GOOD_CALLS:
            assert double(call).calls, call
            assert double(call, errno=errno.EBUSY).errno == errno.EBUSY
        for call in LOOP_REFUSALS + CHROOT_REFUSALS:
            assert double(call).exc is not None, call
        for call in TABLE_CALLS:
            reply = double(call)
            assert reply.exc is None or reply.errno == errno.ENOSYS, reply.message
        for call in PURE_CALLS:
            assert double(call).exc in (None, "ValueError"), call
    finally:
        double.close()
    log = report.read_text()
    assert "ERROR SUMMARY" in log, log[-2000:]
    errors = re.split(r"^==\d+== *$", log, flags=re.M)
    # From 3.12 the interpreter never frees the strings it interns (a module's
    # constant and function names, an attribute name: the key each
    # PyModule_Add* makes, with the interning inlined in LTO builds): lost
    # once a process, not per call. Only those: any other block lost while a module
    # is made is a fault.
    key = r"(?:PyUnicode_New|unicode_decode_utf8)[^\n]*\n(?:[^\n]*\n){0,10}"
    key += r"[^\n]*(?:PyModule_Add|_add_methods_to_object)"
    interned = r"PyUnicode_Intern|intern_|" + key
    errors = [e for e in errors if not ("definitely lost" in e and re.search(interned, e))]
    # Ours: a frame in one of the shared objects, or of the modules' code.
    frame = r"(mount|mounts|_loop|_guard|_chroot)\.cpython|\b(mounts|fsmount|loop|rooted|vk)::"
    frame += r"|velkora_u?mount|PyInit_"
    ours = [e for e in errors if re.search(frame, e) and " at 0x" in e]
    assert ours == [], "\n".join(ours)
