// Replacing files through a synced new file and a rename, and clearing what dead writers left.
#include "dict/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zk {
namespace {

std::atomic<bool> forceNamed{false};

constexpr size_t kSuffixDigits = 16;
constexpr const char kTempTail[] = ".tmp";

// A name part that differs between processes, threads and calls. It need not be secret: names are
// taken exclusively (O_EXCL, or a link that fails on an existing name), so a guessed name costs an
// attacker nothing but us a retry.
std::string UniqueSuffix() {
    static std::atomic<ULong> counter{0};
    ULong bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) bits = 0;
    bits ^= (static_cast<ULong>(getpid()) << 32) ^ counter.fetch_add(1, std::memory_order_relaxed);
    char text[kSuffixDigits + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

// head followed by exactly the digits UniqueSuffix makes and the tail: a temporary of that target.
bool IsTempName(const char* name, const std::string& head) {
    const size_t n = std::strlen(name), tail = sizeof kTempTail - 1;
    if (n != head.size() + kSuffixDigits + tail || std::memcmp(name, head.data(), head.size()) != 0 ||
        std::memcmp(name + n - tail, kTempTail, tail) != 0) {
        return false;
    }
    for (const char* c = name + head.size(); c != name + n - tail; ++c)
        if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f'))) return false;
    return true;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether name (not followed) is still the file open as fd.
bool StillNamed(int dirfd, const char* name, int fd) {
    struct stat byName, byFd;
    return fstatat(dirfd, name, &byName, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &byFd) == 0 &&
           SameFile(byName, byFd);
}

int Flock(int fd, int op) {
    int rc;
    do {
        rc = flock(fd, op);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

void CloseKeepingErrno(int fd) {
    const int err = errno;
    close(fd);
    errno = err;
}

// The temporaries of one target whose writers are gone. Only names of the exact temporary shape
// are looked at, so the cost is one pass over the directory's entries and a probe per match.
void RemoveAbandonedTemps(const std::string& dir, const std::string& head) {
    const int err = errno;
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = dfd >= 0 ? fdopendir(dfd) : nullptr;
    if (d == nullptr) {
        if (dfd >= 0) close(dfd);
        errno = err;
        return;
    }
    while (const dirent* e = readdir(d)) {
        if ((e->d_type != DT_REG && e->d_type != DT_UNKNOWN) || !IsTempName(e->d_name, head)) continue;
        int fd;
        if (ProbeOwner(dirfd(d), e->d_name, false, &fd) == FileOwner::kGone) unlinkat(dirfd(d), e->d_name, 0);
        if (fd >= 0) close(fd);
    }
    closedir(d);
    errno = err;
}

// The path through which an unnamed file open as fd can be linked to a name.
std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// An O_TMPFILE file in dir, locked, or -1 when this directory (or this system) cannot give one that
// can later be named: then the caller makes a named file instead, so that content written is never
// stranded without a way to a name.
int OpenUnnamed(const std::string& dir) {
    int fd;
    do {
        fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat viaProc, direct;
    if (stat(ProcPath(fd).c_str(), &viaProc) != 0 || fstat(fd, &direct) != 0 || !SameFile(viaProc, direct)) {
        close(fd);
        return -1;
    }
    // Nobody else can reach the file yet, so the lock cannot be held elsewhere; a file system that
    // refuses locks leaves it unlocked, and a prober there cannot lock it either.
    Flock(fd, LOCK_EX | LOCK_NB);
    return fd;
}

// A named temporary in head's directory, locked, with its name in *name; -1 with errno set. A
// prober of another writer may lock the fresh file before we do, taking it for abandoned: then that
// name is given up and another made.
int OpenNamed(const std::string& head, std::string* name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temp = head + UniqueSuffix() + kTempTail;
        int fd;
        do {
            fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        if (Flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            close(fd);  // the prober removes it
            continue;
        }
        if (!StillNamed(AT_FDCWD, temp.c_str(), fd)) {
            close(fd);  // removed by a prober between the create and the lock
            continue;
        }
        *name = std::move(temp);
        return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

FileOwner ProbeOwner(int dirfd, const char* name, bool wait, int* out) {
    *out = -1;
    const int err = errno;
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
        errno = err;
        return FileOwner::kAbsent;
    }
    int fd;
    do {
        fd = openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno != ENOENT && errno != ELOOP) return FileOwner::kUnknown;
        errno = err;
        return FileOwner::kAbsent;
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !SameFile(opened, st)) {
        close(fd);
        errno = err;
        return FileOwner::kAbsent;
    }
    if (Flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
        if (errno != EWOULDBLOCK) {
            *out = fd;
            return FileOwner::kUnknown;
        }
        close(fd);
        errno = err;
        return FileOwner::kAlive;
    }
    errno = err;
    // The writer may have moved the file on before letting go of it.
    if (!StillNamed(dirfd, name, fd)) {
        close(fd);
        errno = err;
        return FileOwner::kAbsent;
    }
    *out = fd;
    return FileOwner::kGone;
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
    CloseKeepingErrno(fd);
    return rc;
}

void AtomicFile::ForceNamedTemporariesForTesting(bool on) { forceNamed.store(on, std::memory_order_relaxed); }

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
    std::string stem(1, '.');
    stem.append(base, 0, 200).push_back('.');
    RemoveAbandonedTemps(dir_, stem);

    head_ = prefix + stem;
    int fd = forceNamed.load(std::memory_order_relaxed) ? -1 : OpenUnnamed(dir_);
    unnamed_ = fd >= 0;
    std::string temp = head_ + UniqueSuffix() + kTempTail;
    if (fd < 0 && (fd = OpenNamed(head_, &temp)) < 0) return false;
    fd_ = fd;
    temp_ = std::move(temp);
    target_ = target;
    // The lock and an unnamed file must outlive the descriptor that Finish closes.
    lock_fd_ = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (lock_fd_ < 0) {
        Abandon();
        return false;
    }
    // A replaced file keeps its permissions, as it would if it were rewritten in place.
    struct stat st;
    if (stat(target_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && fchmod(fd_, st.st_mode & 07777) != 0) {
        Abandon();
        return false;
    }
    return true;
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

// Links the unnamed file to name; EEXIST leaves it unnamed.
bool AtomicFile::GiveName(const std::string& name) {
    if (linkat(AT_FDCWD, ProcPath(lock_fd_).c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno == EEXIST) return false;
    // /proc answered at Begin; should it not now, a process allowed to link by descriptor can.
    const int err = errno;
    if (linkat(lock_fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return true;
    errno = err;
    return false;
}

bool AtomicFile::LinkAs(const std::string& name) {
    if (!finished_ || linked_) {
        errno = EBADF;
        return false;
    }
    if (unnamed_) {
        if (!GiveName(name)) return false;
        unnamed_ = false;
    } else if (link(temp_.c_str(), name.c_str()) == 0) {
        // Should this fail, the next write of the target removes the name once the lock is gone.
        unlink(temp_.c_str());
    } else if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) {
        return false;
    } else {
        // A file system without hard links (FAT and the like): the file is renamed to the name once
        // the name is seen free, which two writers at the same moment could both see.
        struct stat st;
        if (lstat(name.c_str(), &st) == 0) errno = EEXIST;
        if (errno != ENOENT || rename(temp_.c_str(), name.c_str()) != 0) return false;
    }
    temp_ = name;
    linked_ = true;
    return true;
}

bool AtomicFile::Publish(bool syncDir) {
    if (!finished_) {
        errno = EBADF;
        return false;
    }
    // An unnamed file gets its temporary name only now, for the moment until the rename: a crash
    // in between leaves it for the next write of the target to remove.
    for (int attempt = 0; unnamed_; ++attempt) {
        if (GiveName(temp_)) {
            unnamed_ = false;
        } else if (errno != EEXIST || attempt == 100) {
            Abandon();
            return false;
        } else {
            temp_ = head_ + UniqueSuffix() + kTempTail;
        }
    }
    if (rename(temp_.c_str(), target_.c_str()) != 0) {
        Drop(!linked_);
        return false;
    }
    temp_.clear();
    Drop(false);
    return !syncDir || SyncDirectory(dir_) == 0;
}

void AtomicFile::Abandon() { Drop(true); }

void AtomicFile::Release() { Drop(!linked_); }

// Closes everything; with remove, a named file goes too, while the lock still keeps probers off it.
void AtomicFile::Drop(bool remove) {
    const int err = errno;
    if (channel_ != nullptr) {
        ChannelClose(channel_);  // closes fd_ too
    } else if (stream_ != nullptr) {
        std::fclose(stream_);  // likewise
    } else if (fd_ >= 0) {
        close(fd_);
    }
    if (remove && !unnamed_ && !temp_.empty()) unlink(temp_.c_str());
    if (lock_fd_ >= 0) close(lock_fd_);
    channel_ = nullptr;
    stream_ = nullptr;
    fd_ = -1;
    lock_fd_ = -1;
    unnamed_ = false;
    linked_ = false;
    finished_ = false;
    temp_.clear();
    errno = err;
}

}  // namespace zk
