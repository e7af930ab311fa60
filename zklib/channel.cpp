// Buffered channels on file descriptors.

#include "zklib/zklib.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

struct Channel {
    enum class Mode { kClosed, kRead, kWrite };

    static constexpr size_t kBufferSize = 64 * 1024;

    int fd = -1;
    Mode mode = Mode::kClosed;
    int readTimeout;   // milliseconds per wait; negative waits for ever
    int writeTimeout;
    bool eof = false;  // the descriptor has reported end of file; reads stop asking it
    size_t start = 0;  // reading: next unread byte of buffer
    size_t end = 0;    // reading: end of the bytes read ahead; writing: end of the pending bytes
    unsigned char buffer[kBufferSize];

    Channel(int readMs, int writeMs) : readTimeout(readMs), writeTimeout(writeMs) {}
};

namespace {

long long MonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is ready for events or timeoutMs has passed. A readiness error is left for the
// following read or write to report with its proper errno.
bool WaitReady(int fd, short events, int timeoutMs) {
    if (timeoutMs < 0) {
        return true;
    }
    long long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        long long left = deadline - MonotonicMs();
        struct pollfd p = {fd, events, 0};
        int rc = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (rc > 0) {
            return true;
        }
        if (rc == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// Writes all count bytes; *written counts those that made it, also on failure.
bool WriteAll(Channel* ch, const unsigned char* bytes, size_t count, size_t* written) {
    size_t done = 0;
    bool ok = true;
    while (done < count) {
        if (!WaitReady(ch->fd, POLLOUT, ch->writeTimeout)) {
            ok = false;
            break;
        }
        size_t chunk = count - done < SSIZE_MAX ? count - done : SSIZE_MAX;
        ssize_t n = write(ch->fd, bytes + done, chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ok = false;
            break;
        }
        if (n == 0) {  // no progress and no reason given: do not spin
            errno = EIO;
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    *written = done;
    return ok;
}

// Reads at most count bytes: the count read, 0 at end of file, -1 on an error.
ssize_t ReadSome(Channel* ch, unsigned char* into, size_t count) {
    if (ch->eof) {
        return 0;
    }
    size_t chunk = count < SSIZE_MAX ? count : SSIZE_MAX;
    for (;;) {
        if (!WaitReady(ch->fd, POLLIN, ch->readTimeout)) {
            return -1;
        }
        ssize_t n = read(ch->fd, into, chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0) {
            ch->eof = true;
        }
        return n;
    }
}

bool Flush(Channel* ch) {
    size_t written;
    bool ok = WriteAll(ch, ch->buffer, ch->end, &written);
    // Keep what did not go out, so that a retry neither loses nor repeats bytes.
    std::memmove(ch->buffer, ch->buffer + written, ch->end - written);
    ch->end -= written;
    return ok;
}

bool ParseMode(const char* mode, Channel::Mode* channelMode) {
    if (std::strcmp(mode, "r") == 0) {
        *channelMode = Channel::Mode::kRead;
        return true;
    }
    if (std::strcmp(mode, "w") == 0) {
        *channelMode = Channel::Mode::kWrite;
        return true;
    }
    return false;
}

void Attach(Channel* ch, int fd, Channel::Mode mode) {
    ch->fd = fd;
    ch->mode = mode;
    ch->eof = false;
    ch->start = 0;
    ch->end = 0;
}

bool CheckMode(Channel* ch, Channel::Mode mode) {
    if (ch == nullptr) {
        errno = EINVAL;
        return false;
    }
    if (ch->mode != mode) {
        errno = EBADF;
        return false;
    }
    return true;
}

// The checks both openers make before touching a descriptor: arguments present, the channel not
// already open, a known mode. false with errno set otherwise.
bool ReadyToOpen(Channel* ch, bool argsValid, const char* mode, Channel::Mode* channelMode) {
    if (ch == nullptr || !argsValid || mode == nullptr) {
        errno = EINVAL;
        return false;
    }
    if (ch->mode != Channel::Mode::kClosed) {
        errno = EBUSY;
        return false;
    }
    if (!ParseMode(mode, channelMode)) {
        errno = EINVAL;
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

ZK_EXPORT Channel* ChannelNew(int readTimeout, int writeTimeout) {
    Channel* ch = new (std::nothrow) Channel(readTimeout, writeTimeout);
    if (ch == nullptr) {
        errno = ENOMEM;
    }
    return ch;
}

ZK_EXPORT Boolean ChannelOpenFile(Channel* ch, const char* path, const char* mode) {
    Channel::Mode channelMode;
    if (!ReadyToOpen(ch, path != nullptr, mode, &channelMode)) return FALSE;
    int flags = channelMode == Channel::Mode::kRead ? O_RDONLY | O_CLOEXEC
                                                    : O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    int fd;
    do {
        fd = open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return FALSE;
    }
    Attach(ch, fd, channelMode);
    return TRUE;
}

ZK_EXPORT Boolean ChannelOpenFd(Channel* ch, int fd, const char* mode) {
    Channel::Mode channelMode;
    if (!ReadyToOpen(ch, fd >= 0, mode, &channelMode)) return FALSE;
    // A descriptor opened the other way round would fail at the first transfer, far from the cause.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return FALSE;
    }
    int accessMode = flags & O_ACCMODE;
    bool usable = channelMode == Channel::Mode::kRead ? accessMode != O_WRONLY : accessMode != O_RDONLY;
    if (!usable) {
        errno = EBADF;
        return FALSE;
    }
    Attach(ch, fd, channelMode);
    return TRUE;
}

ZK_EXPORT Boolean ChannelWriteBuf(Channel* ch, const void* bytes, size_t count) {
    if (!CheckMode(ch, Channel::Mode::kWrite)) {
        return FALSE;
    }
    if (count == 0) {
        return TRUE;
    }
    if (bytes == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    const unsigned char* from = static_cast<const unsigned char*>(bytes);
    size_t room = Channel::kBufferSize - ch->end;
    if (count <= room) {
        std::memcpy(ch->buffer + ch->end, from, count);
        ch->end += count;
        return TRUE;
    }
    if (count >= Channel::kBufferSize) {
        // Copying a block this large through the buffer would only add a copy.
        if (!Flush(ch)) {
            return FALSE;
        }
        size_t written;
        return WriteAll(ch, from, count, &written) ? TRUE : FALSE;
    }
    // Top up the buffer so that the file sees full-buffer writes.
    std::memcpy(ch->buffer + ch->end, from, room);
    ch->end += room;
    if (!Flush(ch)) {
        return FALSE;
    }
    std::memcpy(ch->buffer, from + room, count - room);
    ch->end = count - room;
    return TRUE;
}

ZK_EXPORT Boolean ChannelFlush(Channel* ch) {
    if (ch != nullptr && ch->mode == Channel::Mode::kRead) {
        return TRUE;  // nothing is ever pending on a read channel
    }
    if (!CheckMode(ch, Channel::Mode::kWrite)) {
        return FALSE;
    }
    return Flush(ch) ? TRUE : FALSE;
}

ZK_EXPORT Boolean ChannelSync(Channel* ch) {
    if (!ChannelFlush(ch)) {
        return FALSE;
    }
    int rc;
    do {
        rc = fsync(ch->fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? TRUE : FALSE;
}

ZK_EXPORT Boolean ChannelClose(Channel* ch) {
    if (ch == nullptr) {
        return TRUE;
    }
    bool ok = true;
    int firstErrno = 0;
    if (ch->mode == Channel::Mode::kWrite && !Flush(ch)) {
        ok = false;
        firstErrno = errno;
    }
    // No retry on EINTR: on Linux the descriptor is gone either way, and a retry could close a
    // descriptor another thread has just been given.
    if (ch->fd >= 0 && close(ch->fd) != 0 && ok) {
        ok = false;
        firstErrno = errno;
    }
    delete ch;
    if (!ok) {
        errno = firstErrno;
    }
    return ok ? TRUE : FALSE;
}

ZK_EXPORT int ChannelReadBuf(Channel* ch, void* buffer, size_t count, size_t* got) {
    if (got != nullptr) {
        *got = 0;
    }
    if (!CheckMode(ch, Channel::Mode::kRead)) {
        return -1;
    }
    if (count == 0) {
        return 0;
    }
    if (buffer == nullptr) {
        errno = EINVAL;
        return -1;
    }
    unsigned char* into = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    int result = 0;
    while (done < count) {
        size_t want = count - done;
        size_t buffered = ch->end - ch->start;
        if (buffered > 0) {
            size_t take = buffered < want ? buffered : want;
            std::memcpy(into + done, ch->buffer + ch->start, take);
            ch->start += take;
            done += take;
            continue;
        }
        ssize_t n;
        if (want >= Channel::kBufferSize) {
            n = ReadSome(ch, into + done, want);  // large reads skip the copy through the buffer
            if (n > 0) {
                done += static_cast<size_t>(n);
            }
        } else {
            n = ReadSome(ch, ch->buffer, Channel::kBufferSize);
            ch->start = 0;
            ch->end = n > 0 ? static_cast<size_t>(n) : 0;
        }
        if (n == 0) {
            errno = 0;
        }
        if (n <= 0) {
            result = -1;
            break;
        }
    }
    if (got != nullptr) {
        *got = done;
    }
    return result;
}

ZK_EXPORT int ChannelReadByte_(Channel* ch, int flags) {
    if (!CheckMode(ch, Channel::Mode::kRead)) {
        return -2;
    }
    if (flags != 0) {
        errno = EINVAL;
        return -2;
    }
    if (ch->start == ch->end) {
        ssize_t n = ReadSome(ch, ch->buffer, Channel::kBufferSize);
        ch->start = 0;
        ch->end = n > 0 ? static_cast<size_t>(n) : 0;
        if (n == 0) {
            errno = 0;
            return -1;
        }
        if (n < 0) {
            return -2;
        }
    }
    return ch->buffer[ch->start++];
}

}  // extern "C"
