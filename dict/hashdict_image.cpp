// The static dictionary's image: its writers, its three carriers and its openers.
//
// Layout, in the writer's byte order (offsets in bytes from the image start):
//
//   offset      size  content
//   0           4     h_nentries
//   4           4     h_size
//   8           2     h_maxlen
//   10          2     h_nbits
//   12          2     h_nchars
//   14          2     h_probe
//   16          8     R = h_rank_size
//   24          8     K = h_coef_size
//   32          8     F = h_fun_size
//   40          8     P = h_probe_size
//   48          R     rank table, Short[256] in use
//   48+R        K     coefficients, Id[3 x h_nchars x h_maxlen] in use
//   48+R+K      F     function table, ULong words of the packed h_fun
//   48+R+K+F    P     check bytes, h_probe per key; present when h_probe is not 0
//
// The header is 48 bytes and every table a whole number of 64-bit words, so every table is 8-byte
// aligned whenever the image is: that is what lets an opener point the record into the image as it
// lies. Swapped images reverse the bytes of every header field and table element (rank per 2, coef
// per 4, function words per 8), never the check bytes.
//
// Carriers: a file holding the image alone; on a channel, a 4-byte length and the image; inside a
// caller's memory image, zero padding to a multiple of 8 from the memory image's start, an 8-byte
// length and the image.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "dict/atomic_file.h"
#include "dict/bitarray.h"
#include "dict/hashdict.h"
#include "dict/hashdict_internal.h"

namespace zk {

static_assert(sizeof(ImageHeader) == kImageHeaderSize);
static_assert(offsetof(ImageHeader, nentries) == 0 && offsetof(ImageHeader, size) == 4);
static_assert(offsetof(ImageHeader, maxlen) == 8 && offsetof(ImageHeader, nbits) == 10);
static_assert(offsetof(ImageHeader, nchars) == 12 && offsetof(ImageHeader, probe) == 14);
static_assert(offsetof(ImageHeader, rank_size) == 16 && offsetof(ImageHeader, coef_size) == 24);
static_assert(offsetof(ImageHeader, fun_size) == 32 && offsetof(ImageHeader, probe_size) == 40);
static_assert(kImageHeaderSize % 8 == 0, "tables start word-aligned after the header");
static_assert(sizeof(Short) == 2 && sizeof(Id) == 4 && sizeof(ULong) == 8);

namespace {

constexpr const char* kPath = kHashDictPath;
constexpr size_t kRankEntries = 256;
// The longest path HashDictWrite forms and the longest file name HashDictOpen forms.
constexpr size_t kMaxPath = 1024;
// The first block of a channel read; it doubles as bytes arrive, up to the announced length.
constexpr size_t kReadChunk = size_t{1} << 20;

// The header as the record describes it, in host order.
ImageHeader HeaderOf(const HashDict* hdict) {
    ImageHeader h;
    h.nentries = hdict->h_nentries;
    h.size = hdict->h_size;
    h.maxlen = hdict->h_maxlen;
    h.nbits = hdict->h_nbits;
    h.nchars = hdict->h_nchars;
    h.probe = hdict->h_probe;
    h.rank_size = hdict->h_rank_size;
    h.coef_size = hdict->h_coef_size;
    h.fun_size = hdict->h_fun_size;
    h.probe_size = hdict->h_probe_size;
    return h;
}

bool HasCheckBytes(const HashDict* hdict) { return hdict->h_probe != 0 && hdict->h_probe_code != nullptr; }

template <class T>
bool WriteField(Channel* f, Boolean swap, T value) {
    return WriteBytes(f, swap, sizeof value, &value, sizeof value);
}

// Reads len bytes one at a time. FALSE at the end of the data (errno EINVAL: the stream is cut
// short) or on a channel error (errno as the channel set it).
Boolean HashDictUIntRead_(Channel* f, void* data, size_t len) {
    UByte* out = static_cast<UByte*>(data);
    for (size_t i = 0; i < len; ++i) {
        const int byte = ChannelReadByte_(f, 0);
        if (byte < 0) {
            if (byte == -1 || errno == 0) errno = EINVAL;
            return FALSE;
        }
        out[i] = static_cast<UByte>(byte);
    }
    return TRUE;
}

// Writes the intSize bytes at data after zero padding to a multiple of intSize of *writtenSize,
// counting both.
Boolean DataMMWrite(const void* data, Channel* f, size_t* writtenSize, size_t intSize, Boolean swap) {
    static const UByte kZeros[8] = {};
    const size_t pad = (intSize - *writtenSize % intSize) % intSize;
    *writtenSize += pad;
    if (pad != 0 && !ChannelWriteBuf(f, kZeros, pad)) return FALSE;
    *writtenSize += intSize;
    return WriteBytes(f, swap, intSize, data, intSize);
}

Boolean DataMMWrite_(const void* data, Channel* f, size_t* writtenSize, size_t intSize) {
    return DataMMWrite(data, f, writtenSize, intSize, FALSE);
}

Boolean DataMMWriteSwapped_(const void* data, Channel* f, size_t* writtenSize, size_t intSize) {
    return DataMMWrite(data, f, writtenSize, intSize, TRUE);
}

Boolean MMWrite(const HashDict* hdict, Channel* f, size_t* writtenSize, Boolean swap) {
    ZK_ASSERT(hdict != NULL && writtenSize != NULL);
    const ULong length = HashDictFileSize(hdict);
    const Boolean ok =
        swap ? DataMMWriteSwapped_(&length, f, writtenSize, 8) : DataMMWrite_(&length, f, writtenSize, 8);
    if (!ok || !HashDictFileWrite_(hdict, f, swap)) return FALSE;
    *writtenSize += length;
    return TRUE;
}

// The length bytes of an image announced on f, in a block that grows as they arrive, so that a
// corrupt length costs at most about twice the bytes the stream really holds. NULL, with nothing
// allocated, when the stream ends early or fails.
UByte* ReadImage(Channel* f, size_t length) {
    size_t capacity = length < kReadChunk ? length : kReadChunk;
    auto* block = static_cast<UByte*>(Allocate_(capacity, nullptr, kPath, __LINE__));
    size_t have = 0;
    while (have < length) {
        if (have == capacity) {
            capacity = length - capacity < capacity ? length : 2 * capacity;
            block = static_cast<UByte*>(Allocate_(capacity, block, kPath, __LINE__));
        }
        size_t got = 0;
        const int rc = ChannelReadBuf(f, block + have, capacity - have, &got);
        have += got;
        if (rc != 0) {
            const int err = errno != 0 ? errno : EINVAL;
            UnAllocate_(block, kPath, __LINE__);
            errno = err;
            return nullptr;
        }
    }
    return block;
}

}  // namespace

const char* ImageFault(const UByte* data, size_t length) {
    if (reinterpret_cast<uintptr_t>(data) % 8 != 0) return "image not 8-byte aligned";
    if (length < kImageHeaderSize) return "shorter than the header";
    ImageHeader h;
    std::memcpy(&h, data, sizeof h);
    if (h.nbits < 1 || h.nbits > 32) return "function-table width outside 1..32";
    if (h.probe > 8) return "more than 8 check bytes per key";
    if (h.nchars > 256) return "more than 256 ranked byte values";
    if (h.size < 5) return "fewer than 5 vertices";
    if ((h.rank_size | h.coef_size | h.fun_size | h.probe_size) % 8 != 0) return "table size not whole words";
    ULong total = kImageHeaderSize;
    if (__builtin_add_overflow(total, h.rank_size, &total) || __builtin_add_overflow(total, h.coef_size, &total) ||
        __builtin_add_overflow(total, h.fun_size, &total) || __builtin_add_overflow(total, h.probe_size, &total)) {
        return "table sizes overflow";
    }
    if (total > length) return "shorter than its tables";
    if (h.rank_size < kRankEntries * sizeof(Short)) return "rank table below 256 entries";
    const ULong ncoef = 3 * ULong{h.nchars} * h.maxlen;
    if (h.coef_size / sizeof(Id) < ncoef) return "coefficient table too small";
    const ULong funWords = ((ULong{h.size} + 1) * h.nbits + 63) / 64;
    if (h.fun_size / 8 < funWords) return "function table too small";
    if (h.probe != 0 && h.probe_size < ULong{h.probe} * h.nentries) return "too few check bytes";
    // Writers would drop such bytes and leave an image whose header claims them.
    if (h.probe == 0 && h.probe_size != 0) return "check bytes without a count per key";
    const auto* rank = reinterpret_cast<const Short*>(data + kImageHeaderSize);
    for (size_t b = 0; b < kRankEntries; ++b) {
        if (rank[b] < -1 || rank[b] >= static_cast<int>(h.nchars)) return "rank outside -1..h_nchars-1";
    }
    const auto* coef = reinterpret_cast<const Id*>(data + kImageHeaderSize + h.rank_size);
    for (ULong i = 0; i < ncoef; ++i) {
        if (coef[i] >= h.size) return "coefficient not below h_size";
    }
    return nullptr;
}

Boolean HashDictMemOpen_(HashDict* hdict, const UByte* data, size_t length) {
    ZK_ASSERT(hdict != NULL);
    hdict->h_created = FALSE;
    hdict->h_file = const_cast<UByte*>(data);
    hdict->h_file_size = length;
    if (ImageFault(data, length) != nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    ImageHeader h;
    std::memcpy(&h, data, sizeof h);
    hdict->h_nentries = h.nentries;
    hdict->h_size = h.size;
    hdict->h_maxlen = h.maxlen;
    hdict->h_nbits = h.nbits;
    hdict->h_nchars = h.nchars;
    hdict->h_probe = h.probe;
    hdict->h_rank_size = h.rank_size;
    hdict->h_coef_size = h.coef_size;
    hdict->h_fun_size = h.fun_size;
    hdict->h_probe_size = h.probe_size;
    hdict->h_probe_mask = h.probe == 0 ? 0 : h.probe == 8 ? ~ULong{0} : (ULong{1} << (8 * h.probe)) - 1;
    // The record never writes through these: the image may be a read-only mapping.
    UByte* at = const_cast<UByte*>(data) + kImageHeaderSize;
    hdict->h_rank = reinterpret_cast<Short*>(at);
    at += h.rank_size;
    hdict->h_coef = reinterpret_cast<Id*>(at);
    at += h.coef_size;
    hdict->h_fun = at;
    at += h.fun_size;
    hdict->h_probe_code = h.probe_size != 0 ? at : nullptr;
    return TRUE;
}

Boolean WriteBytes(Channel* f, Boolean swap, size_t size, const void* bytes, size_t nbytes) {
    ZK_ASSERT((nbytes % size) == 0);
    if (!swap || size == 1) return ChannelWriteBuf(f, bytes, nbytes);
    const UByte* from = static_cast<const UByte*>(bytes);
    UByte reversed[4096];  // a multiple of every unit size
    for (size_t done = 0; done < nbytes;) {
        const size_t chunk = nbytes - done < sizeof reversed ? nbytes - done : sizeof reversed;
        for (size_t unit = 0; unit < chunk; unit += size) {
            for (size_t j = 0; j < size; ++j) reversed[unit + j] = from[done + unit + size - 1 - j];
        }
        if (!ChannelWriteBuf(f, reversed, chunk)) return FALSE;
        done += chunk;
    }
    return TRUE;
}

}  // namespace zk

extern "C" {

ZK_EXPORT size_t HashDictFileSize(const HashDict* hdict) {
    ZK_ASSERT(hdict != NULL);
    size_t size = zk::kImageHeaderSize + hdict->h_rank_size + hdict->h_coef_size + hdict->h_fun_size;
    if (zk::HasCheckBytes(hdict)) size += hdict->h_probe_size;
    return size;
}

ZK_EXPORT Boolean HashDictFileWrite_(const HashDict* hdict, Channel* f, Boolean swap) {
    ZK_ASSERT(hdict != NULL);
    const zk::ImageHeader h = zk::HeaderOf(hdict);
    const bool ok = zk::WriteField(f, swap, h.nentries) && zk::WriteField(f, swap, h.size) &&
                    zk::WriteField(f, swap, h.maxlen) && zk::WriteField(f, swap, h.nbits) &&
                    zk::WriteField(f, swap, h.nchars) && zk::WriteField(f, swap, h.probe) &&
                    zk::WriteField(f, swap, h.rank_size) && zk::WriteField(f, swap, h.coef_size) &&
                    zk::WriteField(f, swap, h.fun_size) && zk::WriteField(f, swap, h.probe_size) &&
                    zk::WriteBytes(f, swap, 2, hdict->h_rank, hdict->h_rank_size) &&
                    (hdict->h_coef_size == 0 || zk::WriteBytes(f, swap, 4, hdict->h_coef, hdict->h_coef_size)) &&
                    zk::WriteBytes(f, swap, 8, hdict->h_fun, hdict->h_fun_size) &&
                    (!zk::HasCheckBytes(hdict) || zk::WriteBytes(f, swap, 1, hdict->h_probe_code, hdict->h_probe_size));
    return ok ? TRUE : FALSE;
}

ZK_EXPORT Boolean HashDictFileWrite(const HashDict* hdict, Channel* f, Boolean swap) {
    const size_t length = HashDictFileSize(hdict);
    // A truncated length would make the reader take a prefix of the image and the rest of the stream
    // for what follows it.
    if (length > UINT_MAX_VALUE) {
        errno = EFBIG;
        return FALSE;
    }
    return zk::WriteField(f, swap, static_cast<UInt>(length)) && HashDictFileWrite_(hdict, f, swap) ? TRUE : FALSE;
}

ZK_EXPORT Boolean HashDictWrite(const HashDict* hdict, const char* dir, const char* name, const char* suffix,
                                Boolean swap) {
    ZK_ASSERT(hdict != NULL);
    if (name == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    if (suffix == nullptr) suffix = HASHDICT_SUFFIX;
    char path[zk::kMaxPath + 1];
    // No directory means the current one, as for HashDictOpen; "/name" would be the root's.
    const int n = dir != nullptr && dir[0] != '\0' ? std::snprintf(path, sizeof path, "%s/%s.%s", dir, name, suffix)
                                                    : std::snprintf(path, sizeof path, "%s.%s", name, suffix);
    if (n < 0 || static_cast<size_t>(n) > zk::kMaxPath) {
        errno = ENAMETOOLONG;
        return FALSE;
    }
    zk::AtomicFile file;
    if (!file.Begin(path)) return FALSE;
    Channel* ch = file.channel();
    if (ch == nullptr || !HashDictFileWrite_(hdict, ch, swap)) {
        file.Abandon();
        return FALSE;
    }
    return file.Commit() ? TRUE : FALSE;
}

ZK_EXPORT Boolean HashDictMMWrite(const HashDict* hdict, Channel* f, size_t* writtenSize) {
    return zk::MMWrite(hdict, f, writtenSize, FALSE);
}

ZK_EXPORT Boolean HashDictMMWriteSwapped(const HashDict* hdict, Channel* f, size_t* writtenSize) {
    return zk::MMWrite(hdict, f, writtenSize, TRUE);
}

ZK_EXPORT HashDict* HashDictOpen(const char* dir, const char* name, const char* suffix) {
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    char file[zk::kMaxPath + 1];
    const int n = std::snprintf(file, sizeof file, "%s.%s", name, suffix != nullptr ? suffix : HASHDICT_SUFFIX);
    if (n < 0 || static_cast<size_t>(n) > zk::kMaxPath) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    size_t size = 0;
    Boolean empty = FALSE;
    void* mapping = FileMapRead(dir, file, &size, &empty);
    if (mapping == nullptr) {
        if (empty) errno = EINVAL;  // a zero-length file is no image
        return nullptr;
    }
    auto* hdict = static_cast<HashDict*>(Allocate_(sizeof(HashDict), nullptr, zk::kPath, __LINE__));
    if (!zk::HashDictMemOpen_(hdict, static_cast<const UByte*>(mapping), size)) {
        const int err = errno;
        FileUnmap(mapping, size);
        UnAllocate_(hdict, zk::kPath, __LINE__);
        errno = err;
        return nullptr;
    }
    return hdict;
}

ZK_EXPORT Boolean HashDictFileRead(HashDict** hdictPtr, Channel* f) {
    ZK_ASSERT(hdictPtr != NULL);
    *hdictPtr = nullptr;
    UInt length = 0;
    if (!zk::HashDictUIntRead_(f, &length, sizeof length)) return FALSE;
    if (length < zk::kImageHeaderSize) {
        errno = EINVAL;
        return FALSE;
    }
    UByte* block = zk::ReadImage(f, length);
    if (block == nullptr) return FALSE;
    auto* hdict = static_cast<HashDict*>(Allocate_(sizeof(HashDict), nullptr, zk::kPath, __LINE__));
    if (!zk::HashDictMemOpen_(hdict, block, length)) {
        UnAllocate_(hdict, zk::kPath, __LINE__);
        UnAllocate_(block, zk::kPath, __LINE__);
        errno = EINVAL;
        return FALSE;
    }
    *hdictPtr = hdict;
    return TRUE;
}

ZK_EXPORT Boolean HashDictMMRead(HashDict** hdictPtr, const UByte* base, const UByte** from, const UByte* end) {
    ZK_ASSERT(hdictPtr != NULL && from != NULL);
    *hdictPtr = nullptr;
    const UByte* p = *from;
    if (base == nullptr || p == nullptr || end == nullptr || p < base || p > end || end - p < 8) {
        errno = EINVAL;
        return FALSE;
    }
    while ((p - base) % 8 != 0) {
        if (end - p < 1 + 8) {
            *from = p + 1;
            errno = EINVAL;
            return FALSE;
        }
        ++p;
    }
    ULong length;
    std::memcpy(&length, p, sizeof length);
    p += 8;
    *from = p;
    if (length > static_cast<ULong>(end - p)) {
        errno = EINVAL;
        return FALSE;
    }
    auto* hdict = static_cast<HashDict*>(Allocate_(sizeof(HashDict), nullptr, zk::kPath, __LINE__));
    if (!zk::HashDictMemOpen_(hdict, p, length)) {
        UnAllocate_(hdict, zk::kPath, __LINE__);
        errno = EINVAL;
        return FALSE;
    }
    *from = p + length;
    *hdictPtr = hdict;
    return TRUE;
}

ZK_EXPORT Boolean HashDictClose(HashDict* hdict) {
    ZK_ASSERT(hdict != NULL);
    ZK_ASSERT(hdict->h_file != NULL);
    ZK_ASSERT(!hdict->h_created);
    const Boolean unmapped = FileUnmap(hdict->h_file, hdict->h_file_size);
    const int err = unmapped ? 0 : errno;
    UnAllocate_(hdict, zk::kPath, __LINE__);
    errno = err;
    return unmapped ? TRUE : FALSE;
}

ZK_EXPORT Boolean HashDictMemClose(HashDict* hdict) {
    ZK_ASSERT(hdict != NULL);
    ZK_ASSERT(hdict->h_file != NULL);
    ZK_ASSERT(!hdict->h_created);
    UnAllocate_(hdict->h_file, zk::kPath, __LINE__);
    UnAllocate_(hdict, zk::kPath, __LINE__);
    return TRUE;
}

}  // extern "C"
