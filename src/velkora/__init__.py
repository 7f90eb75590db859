"""velkora: direct access to Linux mount(2) and umount2(2).

The system calls live in the native submodule :mod:`velkora.mount`.
"""
