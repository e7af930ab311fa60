// regular_file.h: opening a file of the libraries' kinds for reading, which only a regular file can
// be. Internal to the libraries (the base layer's file mapping and the hash table's file reader);
// not installed.
//
// The kind is checked before the file is opened, so a device is never opened at all (opening one
// can have effects of its own, a tape's rewind or a terminal becoming the controlling one), and the
// open itself never blocks: a FIFO opened without O_NONBLOCK waits for a writer that may never
// come. The check is repeated on the open descriptor, since the name may have changed in between.
#ifndef ZKLIB_REGULAR_FILE_H
#define ZKLIB_REGULAR_FILE_H

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zk {

// The errno of a refused kind: ENODEV for a device, EINVAL for anything else that is not a regular
// file (directory, FIFO, socket).
inline int NotRegularError(mode_t mode) { return S_ISCHR(mode) || S_ISBLK(mode) ? ENODEV : EINVAL; }

// A read-only descriptor of path, with its status in *status when given, or -1 with errno set:
// the open's or stat's own, or that of NotRegularError.
inline int OpenRegularFile(const char* path, struct stat* status = nullptr) {
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = NotRegularError(st.st_mode);
        return -1;
    }
    int fd;
    do {
        fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    int err = 0;
    if (fstat(fd, &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        err = NotRegularError(st.st_mode);
    } else {
        // Regular files ignore O_NONBLOCK; it is dropped so that the descriptor is an ordinary one
        // for whatever reads it next.
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        if (status != nullptr) *status = st;
        return fd;
    }
    close(fd);
    errno = err;
    return -1;
}

}  // namespace zk

#endif  // ZKLIB_REGULAR_FILE_H
