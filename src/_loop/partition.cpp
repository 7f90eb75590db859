// velkora._loop: partitions of a block device made and removed by hand
// (BLKPG), for a kernel built without the table's parser: velkora.loop reads
// the table itself and adds each entry.

#include "loop.h"

#include <linux/blkpg.h>
#include <string.h>

namespace {

// One BLKPG call on fd: op for partition number, start and length in bytes.
PyObject *blkpg(int fd, int op, int number, long long start, long long length)
{
    struct blkpg_partition part = {};
    part.start = start;
    part.length = length;
    part.pno = number;
    struct blkpg_ioctl_arg arg = {};
    arg.op = op;
    arg.datalen = sizeof part;
    arg.data = &part;
    return loop::none_or_error(
        loop::ioctl_retrying(fd, BLKPG, reinterpret_cast<unsigned long>(&arg)));
}

PyDoc_STRVAR(loop_add_partition_doc,
             "add_partition($module, fd, number, start, length, /)\n"
             "--\n\n"
             "Add partition number of the block device open as fd, start and length\n"
             "in bytes (BLKPG_ADD_PARTITION). Raises OSError on failure (EBUSY: the\n"
             "number is taken or the range overlaps another partition).");

PyObject *loop_add_partition(PyObject * /*self*/, PyObject *args)
{
    PyObject *fd_obj;
    int number;
    long long start;
    long long length;
    if (!PyArg_ParseTuple(args, "OiLL:add_partition", &fd_obj, &number, &start, &length))
        return nullptr;
    int fd;
    if (!vk::to_fd(fd_obj, &fd))
        return nullptr;
    if (number < 1 || start < 0 || length <= 0) {
        PyErr_SetString(PyExc_ValueError,
                        "number must be above 0, start not negative, length above 0");
        return nullptr;
    }
    return blkpg(fd, BLKPG_ADD_PARTITION, number, start, length);
}

PyDoc_STRVAR(loop_del_partition_doc,
             "del_partition($module, fd, number, /)\n"
             "--\n\n"
             "Remove partition number of the block device open as fd\n"
             "(BLKPG_DEL_PARTITION). Raises OSError on failure (EBUSY: it is in use).");

PyObject *loop_del_partition(PyObject * /*self*/, PyObject *args)
{
    PyObject *fd_obj;
    int number;
    if (!PyArg_ParseTuple(args, "Oi:del_partition", &fd_obj, &number))
        return nullptr;
    int fd;
    if (!vk::to_fd(fd_obj, &fd))
        return nullptr;
    if (number < 1) {
        PyErr_SetString(PyExc_ValueError, "number must be above 0");
        return nullptr;
    }
    return blkpg(fd, BLKPG_DEL_PARTITION, number, 0, 0);
}

} // namespace

namespace loop {

PyMethodDef partition_methods[] = {
    {"add_partition", loop_add_partition, METH_VARARGS, loop_add_partition_doc},
    {"del_partition", loop_del_partition, METH_VARARGS, loop_del_partition_doc},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace loop
