// Read-only mappings of whole files.

#include "zklib/zklib.h"
#include "zklib/regular_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

void CloseKeepingErrno(int fd) {
    int err = errno;
    close(fd);
    errno = err;
}

}  // namespace

extern "C" {

ZK_EXPORT void* FileMapRead(const char* dir, const char* name, size_t* size, Boolean* empty) {
    if (size != nullptr) {
        *size = 0;
    }
    if (empty != nullptr) {
        *empty = FALSE;
    }
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    char path[PATH_MAX];
    int length = dir != nullptr && dir[0] != '\0' ? std::snprintf(path, sizeof path, "%s/%s", dir, name)
                                                  : std::snprintf(path, sizeof path, "%s", name);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    struct stat st;
    const int fd = zk::OpenRegularFile(path, &st);
    if (fd < 0) {
        return nullptr;
    }
    if (st.st_size == 0) {
        close(fd);
        if (empty != nullptr) {
            *empty = TRUE;
        }
        return nullptr;
    }
    size_t bytes = static_cast<size_t>(st.st_size);
    void* block = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    if (block == MAP_FAILED) {
        CloseKeepingErrno(fd);
        return nullptr;
    }
    close(fd);  // the mapping keeps the file open
    if (size != nullptr) {
        *size = bytes;
    }
    return block;
}

ZK_EXPORT Boolean FileUnmap(void* block, size_t size) {
    if (block == nullptr) {
        return TRUE;  // what FileMapRead gives for an empty file
    }
    return munmap(block, size != 0 ? size : 1) == 0 ? TRUE : FALSE;
}

}  // extern "C"
