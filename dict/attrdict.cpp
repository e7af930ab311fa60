// AttrDict: building the data and index files through stdio streams, and reading them back from
// read-only mappings. The file layout is in dict/attrdict.h.
#include "dict/attrdict.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "dict/atomic_file.h"
#include "zklib/regular_file.h"

namespace {

constexpr const char* kPath = "dict/attrdict";

// The path buffers hold 1024 characters and the NUL.
constexpr size_t kPathBuffer = 1025;
// Offsets are 32-bit: the data file ends at 2^32 - 1 bytes at most.
constexpr ULong kMaxDataSize = 0xFFFFFFFFull;
// Large enough that the data stream makes one system call per many strings.
constexpr size_t kStreamBuffer = size_t(1) << 16;
// An open that finds the files changing under it (a commit running) looks again, this many times
// in all; each look is a few system calls unless a pair checks out.
constexpr int kOpenAttempts = 8;
// A commit claims the pending name, clearing a dead commit's file from it or waiting for a live
// commit to finish with it, at most this many times before it gives up with EBUSY.
constexpr int kClaimAttempts = 100;

static_assert(sizeof(UInt) == 4, "the index holds 32-bit numbers");

// A build-mode handle: the record the caller sees, then what only the builder needs. The record
// comes first, so the caller's pointer is the builder's.
struct BuildState {
    zk::AtomicFile idx;
    zk::AtomicFile dat;
    bool tooBig = false;  // an add was refused because the data would pass kMaxDataSize
    std::string idxPath, datPath, pendingPath;
    std::string dir;  // the pair's directory, to sync between the steps of the commit
};

struct Builder {
    AttrDict a;
    BuildState* state;
};
static_assert(offsetof(Builder, a) == 0, "the caller's handle is the builder");

void ReleaseBuilder(Builder* b) {
    const int err = errno;
    b->state->~BuildState();  // abandons whatever temporary file is left
    UnAllocate_(b->state, kPath, __LINE__);
    UnAllocate_(b, kPath, __LINE__);
    errno = err;
}

void ReleaseReader(AttrDict* adict) {
    const int err = errno;
    UnAllocate_(adict, kPath, __LINE__);
    errno = err;
}

// "%s/%s.idx" and the like into a buffer of kPathBuffer bytes; false with ENAMETOOLONG when it does
// not fit, so that a long name is never cut down to some other file's name.
bool FormatPath(char (&path)[kPathBuffer], const char* format, const char* a, const char* b = nullptr) {
    const int n = b != nullptr ? std::snprintf(path, sizeof path, format, a, b) : std::snprintf(path, sizeof path, format, a);
    if (n < 0 || size_t(n) >= sizeof path) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

// Opens one file of the pair under its temporary name, as a stream with a large buffer.
std::FILE* Create(zk::AtomicFile& file, const char* path) {
    if (!file.Begin(path)) return nullptr;
    std::FILE* f = file.stream();
    if (f == nullptr) {
        file.Abandon();
        return nullptr;
    }
    setvbuf(f, nullptr, _IOFBF, kStreamBuffer);
    return f;
}

void WriteUInt(std::FILE* f, Boolean swap, UInt val) {
    if (swap) {
        const UByte* bytes = reinterpret_cast<const UByte*>(&val);
        for (int i = int(sizeof val) - 1; i >= 0; --i) putc_unlocked(bytes[i], f);
    } else {
        fwrite_unlocked(&val, sizeof val, 1, f);
    }
}

// Where string id starts in the data file, from its group's offset; false when that offset, or a
// step over the strings before it, leaves the data file. The open checked the pair, but either file
// may be rewritten in place under the handle since, so every value read from a mapping is checked
// on the way; only the number of index words (fixed by the mapping's size) is taken as checked.
bool Locate(const AttrDict* adict, Id id, size_t* at) {
    size_t p = adict->a_idx[id / 4];
    if (p >= adict->a_dat_size) return false;
    for (UInt r = id % 4; r != 0; --r) {
        p += 1 + size_t(adict->a_dat[p]);
        if (p >= adict->a_dat_size) return false;
    }
    *at = p;
    return true;
}

// A file mapped read-only, with the identity it had when it was opened.
struct Mapped {
    UByte* at = nullptr;   // NULL for an empty file
    size_t size = 0;
    struct stat st = {};
    bool present = false;  // opened (and mapped unless empty)
    bool tried = false;    // looked for at all
    int err = 0;           // when not present: why

    const UInt* Words() const { return reinterpret_cast<const UInt*>(at); }
};

void Map(int fd, Mapped* m) {
    m->tried = true;
    if (m->st.st_size > 0) {
        void* block = mmap(nullptr, size_t(m->st.st_size), PROT_READ, MAP_SHARED, fd, 0);
        if (block == MAP_FAILED) {
            m->err = errno;
            return;
        }
        m->at = static_cast<UByte*>(block);
        m->size = size_t(m->st.st_size);
    }
    m->present = true;
}

// Maps path as FileMapRead would: regular files only, never waiting on a FIFO.
void MapPath(const std::string& path, Mapped* m) {
    m->tried = true;
    const int fd = zk::OpenRegularFile(path.c_str(), &m->st);
    if (fd < 0) {
        m->err = errno;
        return;
    }
    Map(fd, m);
    close(fd);  // the mapping keeps the file open
}

void MapOpen(int fd, Mapped* m) {
    m->tried = true;
    if (fstat(fd, &m->st) != 0) {
        m->err = errno;
        return;
    }
    Map(fd, m);
}

void Unmap(Mapped* m) {
    if (m->at != nullptr) munmap(m->at, m->size);
    m->at = nullptr;
    m->present = false;
}

// Whether path names another file than the one m was opened from, or one has come or gone.
bool Moved(const std::string& path, const Mapped& m) {
    if (!m.tried) return false;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return m.present || (errno == ENOENT) != (m.err == ENOENT);
    if (!m.present) return m.err == ENOENT;
    return st.st_dev != m.st.st_dev || st.st_ino != m.st.st_ino;
}

UInt Swapped(UInt v) { return __builtin_bswap32(v); }

// The index must be exactly the one the data file calls for: the data file delimits its own strings,
// so walking their length bytes from offset 0 gives the only index that describes it. Anything less
// than the whole walk lets an index pass over a data file it was not written for (the previous index
// beside the new data, while a commit is between its steps), which would read as wrong strings
// instead of failing; the walk reads one length byte per string. With swapped, the index's numbers
// are read in the other byte order, as written for hosts of that order.
bool PairIsSound(const Mapped& idx, const Mapped& dat, bool swapped = false) {
    if (!idx.present || !dat.present || idx.size < sizeof(UInt) || idx.size % sizeof(UInt) != 0) return false;
    const size_t words = idx.size / sizeof(UInt);
    auto word = [&](size_t i) { return swapped ? Swapped(idx.Words()[i]) : idx.Words()[i]; };
    const UInt count = word(words - 1);
    const size_t groups = (size_t(count) + 3) / 4;
    if (words != groups + 1) return false;
    const UByte* bytes = dat.at;
    const size_t end = dat.size;
    size_t p = 0;
    for (size_t i = 0; i < count; ++i) {
        if (p >= end) return false;
        if (i % 4 == 0 && word(i / 4) != p) return false;
        p += 1 + size_t(bytes[p]);
    }
    return p == end;
}

// The pair as the host that builds it may write it: in either byte order.
bool PairIsSoundEitherWay(const Mapped& idx, const Mapped& dat) {
    return PairIsSound(idx, dat) || PairIsSound(idx, dat, true);
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Where a commit keeps its new index between its first and last step: beside the index, under the
// index's name hidden and with ".pending" after it. Not of the shape of any writer's temporary file.
std::string PendingPathOf(const std::string& idxPath) {
    const size_t base = idxPath.rfind('/') + 1;  // 0 without a directory
    return idxPath.substr(0, base) + "." + idxPath.substr(base) + ".pending";
}

// What a commit that died left under the pending name, put right: with the pair still sound, the
// pending index is dropped; with the data already replaced, so that only the pending index fits it,
// it is renamed over the index, as the commit would have; with neither, it is dropped as well, since
// it makes nothing readable. A file whose committer still holds it is left alone, or with wait,
// waited for (it is gone or moved on when the wait ends). Without locks on this file system a
// pending index is taken as left by a dead commit: without them, commits of one name are not to run
// at once. A pending name taken by anything but a regular file gives EEXIST; false with errno when
// the files cannot be read.
bool SettlePending(const BuildState& s, bool wait) {
    int fd;
    const zk::FileOwner owner = zk::ProbeOwner(AT_FDCWD, s.pendingPath.c_str(), wait, &fd);
    if (owner == zk::FileOwner::kAlive) return true;
    if (owner == zk::FileOwner::kAbsent) {
        struct stat st;
        if (lstat(s.pendingPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            errno = EEXIST;
            return false;
        }
        return true;
    }
    if (fd < 0) return false;
    Mapped pending, idx, dat;
    MapOpen(fd, &pending);
    MapPath(s.idxPath, &idx);
    MapPath(s.datPath, &dat);
    bool ok = true;
    if (!pending.present || (!dat.present && dat.err != ENOENT)) {
        errno = !pending.present ? pending.err : dat.err;  // nothing can be decided
        ok = false;
    } else {
        struct stat st;
        // Under the lock the name cannot move; without one, it is looked at once more.
        const bool same = owner == zk::FileOwner::kGone ||
                          (lstat(s.pendingPath.c_str(), &st) == 0 && st.st_dev == pending.st.st_dev &&
                           st.st_ino == pending.st.st_ino);
        if (same && !PairIsSoundEitherWay(idx, dat) && PairIsSoundEitherWay(pending, dat)) {
            ok = rename(s.pendingPath.c_str(), s.idxPath.c_str()) == 0;
        } else if (same) {
            ok = unlink(s.pendingPath.c_str()) == 0 || errno == ENOENT;
        }
    }
    const int err = errno;
    Unmap(&pending);
    Unmap(&idx);
    Unmap(&dat);
    close(fd);  // lets go of the lock, once the name is settled
    errno = err;
    return ok;
}

// Gives the finished index the pending name, which exists only while a commit is between its
// first and last step. The name is taken by a link, which fails on an existing name, so that no two
// commits hold it at once; one found there is settled first. Synced, so that the pending index is
// on disk before the data file is replaced.
bool ClaimPending(BuildState& s) {
    for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
        if (s.idx.LinkAs(s.pendingPath)) return zk::SyncDirectory(s.dir) == 0;
        if (errno != EEXIST || !SettlePending(s, true)) return false;
    }
    errno = EBUSY;
    return false;
}

// A read-mode handle on two mappings that check out; they belong to the handle from here on.
AttrDict* NewReader(const Mapped& idx, const Mapped& dat) {
    auto* adict = static_cast<AttrDict*>(Allocate_(sizeof(AttrDict), nullptr, kPath, __LINE__));
    std::memset(adict, 0, sizeof *adict);
    adict->a_idx = const_cast<UInt*>(idx.Words());
    adict->a_idx_size = idx.size;
    adict->a_dat = dat.at;
    adict->a_dat_size = dat.size;
    adict->a_size = adict->a_idx[idx.size / sizeof(UInt) - 1];
    return adict;
}

// dir/file as FileMapRead forms it: no directory means the current one.
bool ReaderPath(const char* dir, const char* file, std::string* path) {
    *path = dir != nullptr && dir[0] != '\0' ? std::string(dir) + "/" + file : std::string(file);
    if (path->size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

ZK_EXPORT AttrDict* AttrDictBuild(const char* dir, const char* name, Boolean swap) {
    if (dir == nullptr || name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    char idxPath[kPathBuffer], datPath[kPathBuffer];
    if (!FormatPath(idxPath, "%s/%s.idx", dir, name) || !FormatPath(datPath, "%s/%s.dat", dir, name)) return nullptr;
    auto* b = static_cast<Builder*>(Allocate_(sizeof(Builder), nullptr, kPath, __LINE__));
    std::memset(b, 0, sizeof *b);
    b->state = new (Allocate_(sizeof(BuildState), nullptr, kPath, __LINE__)) BuildState;
    BuildState& s = *b->state;
    s.idxPath = idxPath;
    s.datPath = datPath;
    s.dir = DirectoryOf(s.idxPath);
    s.pendingPath = PendingPathOf(s.idxPath);
    // What a dead commit left is put right now rather than at the commit, so that the directory is
    // back to its two files for as long as this build runs; the commit settles whatever this could
    // not.
    const int err = errno;
    SettlePending(s, false);
    errno = err;
    AttrDict* adict = &b->a;
    adict->a_idx_file = Create(s.idx, idxPath);
    if (adict->a_idx_file == nullptr) {
        ReleaseBuilder(b);
        return nullptr;
    }
    adict->a_dat_file = Create(s.dat, datPath);
    if (adict->a_dat_file == nullptr) {
        ReleaseBuilder(b);  // removes the index's temporary file too
        return nullptr;
    }
    adict->a_size = 0;
    adict->a_offset = 0;
    adict->a_swap = swap;
    return adict;
}

ZK_EXPORT void AttrDictAdd(AttrDict* adict, const UByte* bytes, UByte len) {
    ZK_ASSERT(adict != NULL);
    ZK_ASSERT(adict->a_dat_file != NULL);
    if (ULong(adict->a_offset) + 1 + len > kMaxDataSize) {
        reinterpret_cast<Builder*>(adict)->state->tooBig = true;
        return;
    }
    if (adict->a_size % 4 == 0) WriteUInt(adict->a_idx_file, adict->a_swap, adict->a_offset);
    putc_unlocked(len, adict->a_dat_file);
    if (len != 0) fwrite_unlocked(bytes, 1, len, adict->a_dat_file);
    adict->a_size += 1;
    adict->a_offset += UInt(len) + 1;
}

ZK_EXPORT Boolean AttrDictCommit(AttrDict* adict) {
    ZK_ASSERT(adict != NULL);
    ZK_ASSERT(adict->a_idx_file != NULL);
    ZK_ASSERT(adict->a_dat_file != NULL);
    Builder* b = reinterpret_cast<Builder*>(adict);
    BuildState& s = *b->state;
    if (s.tooBig) {
        errno = EFBIG;
        ReleaseBuilder(b);
        return FALSE;
    }
    WriteUInt(adict->a_idx_file, adict->a_swap, adict->a_size);
    // The steps and what a crash between any two of them leaves are told in dict/attrdict.h. Each
    // step that changes what a reader finds is synced before the next, so that a power failure
    // keeps their order too.
    bool ok = s.idx.Finish() && s.dat.Finish() && ClaimPending(s);
    if (ok && !s.dat.Publish(false)) {
        ok = false;  // the data file is the previous one still: the pending index goes with the builder
    } else if (ok && zk::SyncDirectory(s.dir) != 0) {
        // The new data file is in place, perhaps not durably; only the pending index describes it.
        ok = false;
        s.idx.Release();
    } else if (ok) {
        ok = s.idx.Publish(true);  // a failed rename leaves the pending index for the next build
    }
    ReleaseBuilder(b);
    return ok ? TRUE : FALSE;
}

ZK_EXPORT AttrDict* AttrDictOpen(const char* dir, const char* name) {
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    char file[kPathBuffer];
    std::string idxPath, datPath;
    if (!FormatPath(file, "%s.idx", name) || !ReaderPath(dir, file, &idxPath)) return nullptr;
    FormatPath(file, "%s.dat", name);  // no longer than the index's name
    ReaderPath(dir, file, &datPath);
    const std::string pendingPath = PendingPathOf(idxPath);
    // The index is looked at first, so that a missing or empty one gives its errno. A pair that does
    // not check out may be a commit caught between its steps: its pending index then fits the data.
    // Should nothing fit, the names are looked at once more: when they still name the files that
    // were read, the failure stands; when a commit has moved them meanwhile, the open starts over.
    int err = 0;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        Mapped idx, dat, pending;
        MapPath(idxPath, &idx);
        MapPath(datPath, &dat);
        if (PairIsSound(idx, dat)) return NewReader(idx, dat);
        err = !idx.present ? idx.err : idx.size == 0 ? EINVAL : !dat.present ? dat.err : EINVAL;
        if (dat.present) {
            MapPath(pendingPath, &pending);
            if (PairIsSound(pending, dat)) {
                Unmap(&idx);
                return NewReader(pending, dat);
            }
        }
        const bool moved = Moved(idxPath, idx) || Moved(datPath, dat) || Moved(pendingPath, pending);
        Unmap(&idx);
        Unmap(&dat);
        Unmap(&pending);
        if (!moved) break;
    }
    errno = err;
    return nullptr;
}

ZK_EXPORT Boolean AttrDictClose(AttrDict* adict) {
    ZK_ASSERT(adict != NULL);
    ZK_ASSERT(adict->a_idx_file == NULL && adict->a_dat_file == NULL);
    bool ok = FileUnmap(adict->a_idx, adict->a_idx_size) != FALSE;
    int err = errno;
    if (adict->a_dat != nullptr && !FileUnmap(adict->a_dat, adict->a_dat_size) && ok) {
        ok = false;
        err = errno;
    }
    ReleaseReader(adict);
    errno = err;
    return ok ? TRUE : FALSE;
}

// Unlike Commit and Close it takes either mode, and NULL, so that a clean-up path need not know what
// it holds.
ZK_EXPORT void AttrDictAbandon(AttrDict* adict) {
    if (adict == nullptr) return;
    const int err = errno;
    if (adict->a_idx_file != nullptr) {
        ReleaseBuilder(reinterpret_cast<Builder*>(adict));  // the temporaries go with the builder
    } else {
        AttrDictClose(adict);
    }
    errno = err;
}

ZK_EXPORT UByte AttrDictGet(const AttrDict* adict, Id id, const UByte** bytes) {
    // A build-mode handle has no index mapped and reads as holding no string.
    if (adict == nullptr || id >= adict->a_size || adict->a_idx == nullptr) return 0;
    size_t at;
    if (!Locate(adict, id, &at)) return 0;
    const UByte len = adict->a_dat[at];
    if (at + 1 + len > adict->a_dat_size) return 0;
    *bytes = adict->a_dat + at + 1;
    return len;
}

ZK_EXPORT UInt AttrDictSize(const AttrDict* adict) {
    ZK_ASSERT(adict != NULL);
    return adict->a_size;
}

ZK_EXPORT UInt AttrDictEnumerate(const AttrDict* adict, Id startPoint, AttrDictEnumerateFunction fun, void* ptr) {
    ZK_ASSERT(adict != NULL);
    if (adict->a_dat == nullptr) return 0;
    Id id = startPoint;
    ZK_ASSERT(id < adict->a_size);
    const size_t end = adict->a_dat_size;
    size_t at;
    if (!Locate(adict, id, &at)) {
        errno = EINVAL;
        return 0;
    }
    for (;;) {
        const UByte len = adict->a_dat[at];
        if (at + 1 + len > end) {
            errno = EINVAL;
            return 0;
        }
        const UInt ret = fun(adict->a_dat + at + 1, len, ptr);
        if (ret != 0) return ret;
        if (++id == adict->a_size) return 0;
        at = id % 4 == 0 ? adict->a_idx[id / 4] : at + 1 + len;
        if (at >= end) {
            errno = EINVAL;
            return 0;
        }
    }
}

}  // extern "C"
