// AttrDict: building the data and index files through stdio streams, and reading them back from
// read-only mappings. The file layout is in dict/attrdict.h.
#include "dict/attrdict.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "dict/atomic_file.h"

namespace {

constexpr const char* kPath = "dict/attrdict";

// The path buffers hold 1024 characters and the NUL.
constexpr size_t kPathBuffer = 1025;
// Offsets are 32-bit: the data file ends at 2^32 - 1 bytes at most.
constexpr ULong kMaxDataSize = 0xFFFFFFFFull;
// Large enough that the data stream makes one system call per many strings.
constexpr size_t kStreamBuffer = size_t(1) << 16;

static_assert(sizeof(UInt) == 4, "the index holds 32-bit numbers");

// A build-mode handle: the record the caller sees, then what only the builder needs. The record
// comes first, so the caller's pointer is the builder's.
struct BuildState {
    zk::AtomicFile idx;
    zk::AtomicFile dat;
    bool tooBig = false;  // an add was refused because the data would pass kMaxDataSize
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

// Where string id starts in the data file, from its group's offset; false when stepping over the
// strings before it leaves the data file. The group offset is below a_dat_size (checked at open).
bool Locate(const AttrDict* adict, Id id, size_t* at) {
    size_t p = adict->a_idx[id / 4];
    for (UInt r = id % 4; r != 0; --r) {
        p += 1 + size_t(adict->a_dat[p]);
        if (p >= adict->a_dat_size) return false;
    }
    *at = p;
    return true;
}

// The index must be exactly the one the data file calls for: the data file delimits its own strings,
// so walking their length bytes from offset 0 gives the only index that describes it. Anything less
// than the whole walk lets an index pass over a data file it was not written for (the previous index
// beside new data after a commit was cut short between its two renames), which would read as wrong
// strings instead of failing; the walk reads one length byte per string.
bool PairIsSound(const AttrDict* adict) {
    if (adict->a_idx_size % sizeof(UInt) != 0) return false;
    const size_t words = adict->a_idx_size / sizeof(UInt);
    const UInt count = adict->a_idx[words - 1];
    const size_t groups = (size_t(count) + 3) / 4;
    if (words != groups + 1) return false;
    const UInt* offsets = adict->a_idx;
    const UByte* dat = adict->a_dat;
    const size_t end = dat == nullptr ? 0 : adict->a_dat_size;
    size_t p = 0;
    for (size_t i = 0; i < count; ++i) {
        if (p >= end) return false;
        if (i % 4 == 0 && offsets[i / 4] != p) return false;
        p += 1 + size_t(dat[p]);
    }
    return p == end;
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
    AttrDict* adict = &b->a;
    adict->a_idx_file = Create(b->state->idx, idxPath);
    if (adict->a_idx_file == nullptr) {
        ReleaseBuilder(b);
        return nullptr;
    }
    adict->a_dat_file = Create(b->state->dat, datPath);
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
    // Both files are complete on disk before either takes its final name, and the index goes last:
    // a reader that finds the new index finds the data it describes. Between the two renames the
    // previous index lies beside the new data; the open refuses that pair unless the index is the
    // one the new data calls for.
    const bool ok = s.idx.Finish() && s.dat.Finish() && s.dat.Publish(false) && s.idx.Publish(true);
    ReleaseBuilder(b);
    return ok ? TRUE : FALSE;
}

ZK_EXPORT AttrDict* AttrDictOpen(const char* dir, const char* name) {
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    char file[kPathBuffer];
    if (!FormatPath(file, "%s.idx", name)) return nullptr;
    auto* adict = static_cast<AttrDict*>(Allocate_(sizeof(AttrDict), nullptr, kPath, __LINE__));
    std::memset(adict, 0, sizeof *adict);
    Boolean empty = FALSE;
    adict->a_idx = static_cast<UInt*>(FileMapRead(dir, file, &adict->a_idx_size, &empty));
    if (adict->a_idx == nullptr) {
        if (empty) errno = EINVAL;  // not even the count
        ReleaseReader(adict);
        return nullptr;
    }
    FormatPath(file, "%s.dat", name);  // no longer than the index's name
    adict->a_dat = static_cast<UByte*>(FileMapRead(dir, file, &adict->a_dat_size, &empty));
    if (adict->a_dat == nullptr && !empty) {
        const int err = errno;
        FileUnmap(adict->a_idx, adict->a_idx_size);
        errno = err;
        ReleaseReader(adict);
        return nullptr;
    }
    if (!PairIsSound(adict)) {
        FileUnmap(adict->a_idx, adict->a_idx_size);
        FileUnmap(adict->a_dat, adict->a_dat_size);
        errno = EINVAL;
        ReleaseReader(adict);
        return nullptr;
    }
    adict->a_size = adict->a_idx[adict->a_idx_size / sizeof(UInt) - 1];
    return adict;
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
