"""Runs Python code (argv[4]) in a process where a seccomp filter answers one
system call with an errno: argv[1] is the call's name, argv[2] the errno,
argv[3] the value its second argument must have ("" for any), as for an
ioctl's request. As a container's seccomp profile would."""

import ctypes
import platform
import sys

# The calls a test may deny, by architecture.
NUMBERS = {
    "x86_64": {"ioctl": 16, "listmount": 458, "statmount": 457},
    "aarch64": {"ioctl": 29, "listmount": 458, "statmount": 457},
}
PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 38, 22, 2
LD_ABS_W, JEQ_K, RET_K = 0x20, 0x15, 0x06
RET_ALLOW, RET_ERRNO = 0x7FFF0000, 0x00050000


class Instruction(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint16), ("jt", ctypes.c_uint8), ("jf", ctypes.c_uint8), ("k", ctypes.c_uint32)]


class Program(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(Instruction))]


def deny(name: str, errno: int, arg1: str) -> None:
    number = NUMBERS[platform.machine()][name]
    code = [(LD_ABS_W, 0, 0, 0)]  # seccomp_data.nr
    if arg1:
        code += [(JEQ_K, 0, 3, number), (LD_ABS_W, 0, 0, 24), (JEQ_K, 0, 1, int(arg1, 0))]  # args[1], low half
    else:
        code += [(JEQ_K, 0, 1, number)]
    code += [(RET_K, 0, 0, RET_ERRNO | errno), (RET_K, 0, 0, RET_ALLOW)]
    filters = (Instruction * len(code))(*[Instruction(*i) for i in code])
    libc = ctypes.CDLL(None, use_errno=True)
    program = Program(len(code), filters)
    if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) or libc.prctl(
        PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.byref(program), 0, 0
    ):
        raise OSError(ctypes.get_errno(), "installing the seccomp filter failed")


if __name__ == "__main__":
    deny(sys.argv[1], int(sys.argv[2]), sys.argv[3])
    exec(sys.argv[4])
