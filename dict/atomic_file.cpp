// Replacing files through a synced temporary file and a rename.
#include "dict/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace zk {
namespace {

// A name part that differs between processes, threads and calls. It need not be secret: the file is
// created exclusively, so a guessed name costs an attacker nothing but us a retry.
std::string UniqueSuffix() {
    static std::atomic<ULong> counter{0};
    ULong bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) bits = 0;
    bits ^= (static_cast<ULong>(getpid()) << 32) ^ counter.fetch_add(1, std::memory_order_relaxed);
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

int SyncDirectory(const std::string& dir) {
    int fd;
    do {
        fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    int rc;
    do {
        rc = fsync(fd);
    } while (rc != 0 && errno == EINTR);
    // Some file systems cannot sync a directory at all; that is no failure of this write.
    if (rc != 0 && errno == EINVAL) rc = 0;
    const int err = errno;
    close(fd);
    errno = err;
    return rc;
}

}  // namespace

AtomicFile::~AtomicFile() { Abandon(); }

bool AtomicFile::Begin(const std::string& target) {
    Abandon();
    if (target.empty() || target.back() == '/') {
        errno = EINVAL;
        return false;
    }
    const size_t slash = target.rfind('/');
    dir_ = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string prefix = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    // A leading dot keeps the temporary file out of the way of directory listings and globs. The
    // target's name is cut so that the additions cannot take a valid name past NAME_MAX.
    const std::string stem = base.substr(0, 200);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temp = prefix + "." + stem + "." + UniqueSuffix() + ".tmp";
        int fd;
        do {
            fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        fd_ = fd;
        temp_ = std::move(temp);
        target_ = target;
        // A replaced file keeps its permissions, as it would if it were rewritten in place.
        struct stat st;
        if (stat(target_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && fchmod(fd_, st.st_mode & 07777) != 0) {
            Abandon();
            return false;
        }
        return true;
    }
    errno = EEXIST;
    return false;
}

Channel* AtomicFile::channel() {
    if (channel_ != nullptr) return channel_;
    if (fd_ < 0) {
        errno = EBADF;
        return nullptr;
    }
    Channel* ch = ChannelNew(-1, -1);
    if (ch == nullptr) return nullptr;
    if (!ChannelOpenFd(ch, fd_, "w")) {
        const int err = errno;
        ChannelClose(ch);
        errno = err;
        return nullptr;
    }
    channel_ = ch;
    return channel_;
}

std::FILE* AtomicFile::stream() {
    if (stream_ != nullptr) return stream_;
    if (fd_ < 0 || channel_ != nullptr || finished_) {
        errno = EBADF;
        return nullptr;
    }
    stream_ = fdopen(fd_, "w");
    return stream_;
}

bool AtomicFile::Commit() { return Finish() && Publish(); }

bool AtomicFile::Finish() {
    if (fd_ < 0 || finished_) {
        errno = EBADF;
        return false;
    }
    bool ok;
    if (channel_ != nullptr) {
        ok = ChannelSync(channel_);
    } else {
        // A stream remembers a failed write even when later flushes succeed.
        const bool failedBefore = stream_ != nullptr && std::ferror(stream_);
        ok = stream_ == nullptr || std::fflush(stream_) == 0;
        int rc = 0;
        if (ok) {
            do {
                rc = fsync(fd_);
            } while (rc != 0 && errno == EINTR);
        }
        ok = ok && rc == 0;
        if (ok && failedBefore) {
            errno = EIO;
            ok = false;
        }
    }
    if (!ok) {
        Abandon();
        return false;
    }
    // Closing can report a write error that the sync did not (NFS reports some only here).
    const bool closed = channel_ != nullptr  ? ChannelClose(channel_) != FALSE
                        : stream_ != nullptr ? std::fclose(stream_) == 0
                                             : close(fd_) == 0;
    channel_ = nullptr;
    stream_ = nullptr;
    fd_ = -1;
    if (!closed) {
        Abandon();
        return false;
    }
    finished_ = true;
    return true;
}

bool AtomicFile::Publish(bool syncDir) {
    if (!finished_) {
        errno = EBADF;
        return false;
    }
    if (rename(temp_.c_str(), target_.c_str()) != 0) {
        Abandon();
        return false;
    }
    temp_.clear();
    finished_ = false;
    return !syncDir || SyncDirectory(dir_) == 0;
}

void AtomicFile::Abandon() {
    const int err = errno;
    if (channel_ != nullptr) {
        ChannelClose(channel_);  // closes fd_ too
    } else if (stream_ != nullptr) {
        std::fclose(stream_);  // likewise
    } else if (fd_ >= 0) {
        close(fd_);
    }
    channel_ = nullptr;
    stream_ = nullptr;
    fd_ = -1;
    finished_ = false;
    if (!temp_.empty()) unlink(temp_.c_str());
    temp_.clear();
    errno = err;
}

}  // namespace zk
