"""Helpers of the test suite: the namespace set-up, the mount table, the
recording stand-in for the kernel, and the programs that run in a child
interpreter."""
