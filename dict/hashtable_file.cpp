// Saving a HashTable as its memory image and loading it back; the layout is in dict/hashtable.h.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "dict/atomic_file.h"
#include "dict/hashtable.h"
#include "dict/hashtable_internal.h"
#include "zklib/regular_file.h"

namespace {

constexpr const char* kPath = "dict/hashtable";

// Offsets of the header fields. The header is packed: the 8-byte fields sit at odd offsets, so it
// is built and parsed byte-wise rather than through a struct.
constexpr size_t kSelectedAt = 0, kValLenAt = 4, kKeySizeAt = 8, kUsedAt = 9, kCapacityAt = 13, kSlotsAt = 17,
                 kDataUsedAt = 21, kDataSizeAt = 29, kHeaderSize = 37;
static_assert(kValLenAt == kSelectedAt + sizeof(Boolean) && kKeySizeAt == kValLenAt + sizeof(UInt) &&
                  kUsedAt == kKeySizeAt + sizeof(UByte) && kCapacityAt == kUsedAt + sizeof(UInt) &&
                  kSlotsAt == kCapacityAt + sizeof(UInt) && kDataUsedAt == kSlotsAt + sizeof(UInt) &&
                  kDataSizeAt == kDataUsedAt + sizeof(ULong) && kHeaderSize == kDataSizeAt + sizeof(ULong),
              "the header fields follow one another without padding");
static_assert(sizeof(size_t) == sizeof(ULong), "the data-area sizes are stored as 64-bit numbers");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the file is the little-endian memory image");

// Bulk reads go in chunks of at most this many elements, so that no single read is unbounded.
constexpr size_t kChunk = size_t(1) << 24;
// Where the stream's size is unknown, the first block is this small and doubles as bytes arrive.
constexpr size_t kFirstBlock = size_t(1) << 16;

template <class T>
void Put(UByte* header, size_t at, T value) {
    std::memcpy(header + at, &value, sizeof value);
}

template <class T>
T Get(const UByte* header, size_t at) {
    T value;
    std::memcpy(&value, header + at, sizeof value);
    return value;
}

// Set while HashTableTryRead or HashTableTryWrite runs on this thread: their failures are the
// caller's to report.
thread_local bool tQuiet = false;

struct QuietScope {
    QuietScope() noexcept { tQuiet = true; }
    ~QuietScope() { tQuiet = false; }
};

// A failure report of the file routines: severity 4, flag 0, the text followed by the system's
// reason. It returns; the caller cleans up and fails.
void Report(const char* function, int line, const char* format, const char* filename) {
    if (tQuiet) return;
    ZKSetMessageContext2_(kPath, line, "zkdict", function, 4, 0);
    ZKErrorRethrow_(format, filename != nullptr ? filename : "(null)");
}

// Reads count elements of elemSize bytes into a new block of exactly count elements, or gives NULL
// at a short read. With known, the stream has already been seen to hold them and the block is
// allocated whole; only the first meaningful elements are then read, and the stream skips the rest
// (the unused tail of a data area), which stays as fresh memory that nothing has touched. Otherwise
// everything is read, into a block that grows with the bytes that actually arrive, so that a short
// stream costs no more memory than it delivered, whatever its header claimed.
void* ReadBlock(std::FILE* f, bool vm, size_t elemSize, size_t count, size_t meaningful, bool known) {
    size_t have = known ? count : std::min(count, kFirstBlock);
    void* block = zk::HashMalloc(vm, elemSize, have, __LINE__);
    if (known) zk::AdviseHugePages(block, elemSize * have);
    const size_t read = known ? meaningful : count;
    auto fail = [&] {
        ZKErrorSave();
        zk::HashFree(vm, block, elemSize, have, __LINE__);
        ZKErrorRestore();
        return nullptr;
    };
    for (size_t done = 0; done < read;) {
        if (done == have) {
            const size_t next = std::min(count, 2 * have);
            block = zk::HashRealloc(vm, block, elemSize, have, next, __LINE__);
            have = next;
        }
        const size_t want = std::min({read - done, kChunk, have - done});
        const size_t got = std::fread(static_cast<UByte*>(block) + done * elemSize, elemSize, want, f);
        done += got;
        if (got < want) {
            if (!std::ferror(f)) errno = EINVAL;  // the file ends early
            return fail();
        }
    }
    if (read < count && std::fseek(f, long((count - read) * elemSize), SEEK_CUR) != 0) return fail();
    return block;
}

// The unused tail of the data area goes out as zeros: its bytes mean nothing, and on the heap they
// may be whatever the allocator had there before.
bool WriteZeros(Channel* ch, size_t count) {
    static const UByte zeros[65536] = {};
    for (size_t n; count != 0; count -= n) {
        n = count < sizeof zeros ? count : sizeof zeros;
        if (!ChannelWriteBuf(ch, zeros, n)) return false;
    }
    return true;
}

// Whether the stream still holds at least bytes bytes, when that can be known (a regular file).
// *known tells whether it could.
bool StreamHolds(std::FILE* f, ULong bytes, bool* known) {
    *known = false;
    struct stat st;
    const int fd = fileno(f);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return true;
    const long at = std::ftell(f);
    if (at < 0) return true;
    *known = true;
    return ULong(st.st_size) >= ULong(at) && ULong(st.st_size) - ULong(at) >= bytes;
}

// Whether every filed offset lies on the 8-byte grid: the file keeps no alignment flag, and this is
// how the reader tells an aligned table. The scan has no early exit, so that it needs no branch per
// slot and vectorises.
bool SlotsOnGrid(const UInt* slots, UInt nslots) {
    UInt offGrid = 0;
    for (UInt s = 0; s < nslots; s++) {
        const UInt e = slots[s];
        offGrid |= e < HASH_DELETED ? e & 7 : 0;
    }
    return offGrid == 0;
}

// An unaligned table copied into aligned form: every entry moved to the next multiple of 8, in
// storage order, and every slot pointing at its entry's new place. Only the tables whose filed
// offsets all happen to lie on the grid need it (a selection can leave just those): saved as they
// are, they would read back as aligned and be walked with padding they do not have. Written aligned,
// they read back with the same entries, slots and selection. False when the padding takes the data
// area past what the format can count.
bool CopyAligned(const HashTable* t, HashTable* out, std::vector<UByte>& data, std::vector<UInt>& slots) {
    struct Move {
        UInt from, to, span;
    };
    std::vector<Move> moves;  // in storage order, so both offsets ascend
    ULong used = 0;
    zk::ForEachEntry(t, 0, [&](UInt off) {
        const ULong at = (used + 7) & ~ULong(7);
        const UInt span = UInt(zk::NextEntry(t, off) - off);  // no padding: the table is unaligned
        if (at + span <= zk::kMaxDataUsed) moves.push_back({off, UInt(at), span});
        used = at + span;
    });
    if (used > zk::kMaxDataUsed) return false;
    data.assign(used, 0);
    for (const Move& m : moves) std::memcpy(data.data() + m.to, t->t_data + m.from, m.span);
    slots.assign(t->t_entries, t->t_entries + t->t_entries_size);
    for (UInt& e : slots) {
        if (e >= HASH_DELETED) continue;
        e = std::lower_bound(moves.begin(), moves.end(), e, [](const Move& m, UInt off) { return m.from < off; })->to;
    }
    *out = *t;
    out->t_data = data.data();
    out->t_data_used = used;
    out->t_data_size = std::max<size_t>(used, t->t_data_size);
    out->t_entries = slots.data();
    out->t_aligned = TRUE;
    return true;
}

}  // namespace

namespace zk {

bool LoadedImageSound(const HashTable& t, bool aligned) {
    const TableImage image{t.t_data, t.t_data_used, t.t_val_len, t.t_key_size, aligned, t.t_entries, t.t_entries_size, false};
    ImageCounts c;
    return CheckImage(image, &c) && (t.t_selected ? c.live == t.t_entries_used && c.dense == c.live
                                                  : c.entries == t.t_entries_used && c.live <= c.entries);
}

bool HashTableFileDataSize(const HashTable* table, size_t* dataBytes) {
    if (table->t_data_used > kMaxDataUsed || table->t_data_used > table->t_data_size) return false;
    // No entry can reach past kMaxDataUsed, so an allocation beyond 32 bits holds nothing worth keeping
    // past the used part.
    *dataBytes = table->t_data_size <= UINT_MAX_VALUE ? table->t_data_size : table->t_data_used;
    return true;
}

HashTable* HashTableReadStream(std::FILE* f, const char* name, HashKeyFunction hash, HashValueFunction value,
                               HashEqualFunction equal, Boolean vm) {
    auto fail = [name](int err, int line) -> HashTable* {
        if (err != 0) errno = err;
        Report("HashTableRead", line, "error reading %s", name);
        return nullptr;
    };
    UByte header[kHeaderSize];
    if (std::fread(header, 1, kHeaderSize, f) != kHeaderSize) return fail(std::ferror(f) ? 0 : EINVAL, __LINE__);

    HashTable t{};
    t.t_hash = hash;
    t.t_value = value;
    t.t_equal = equal;
    t.t_vm = vm ? TRUE : FALSE;
    const UInt selected = Get<UInt>(header, kSelectedAt);
    t.t_val_len = Get<UInt>(header, kValLenAt);
    t.t_key_size = header[kKeySizeAt];
    t.t_entries_used = Get<UInt>(header, kUsedAt);
    t.t_entries_capacity = Get<UInt>(header, kCapacityAt);
    t.t_entries_size = Get<UInt>(header, kSlotsAt);
    const ULong dataUsed = Get<ULong>(header, kDataUsedAt);
    const ULong dataSize = Get<ULong>(header, kDataSizeAt);

    // The header must describe a table this library could have made: a capacity that growth can
    // enlarge, the slot count it implies (so that growth never shrinks the slot array), no more entries
    // than the capacity, and a
    // data area the format can count, whose used part stays below the slot markers.
    if (selected > 1 || t.t_key_size > 4 || t.t_entries_capacity < kMinCapacity || t.t_entries_capacity > kMaxCapacity ||
        t.t_entries_size != SlotCount(t.t_entries_capacity) || t.t_entries_used > t.t_entries_capacity ||
        dataSize > UINT_MAX_VALUE || dataUsed > dataSize || dataUsed > kMaxDataUsed)
        return fail(EINVAL, __LINE__);
    t.t_selected = selected ? TRUE : FALSE;
    t.t_data_used = dataUsed;
    t.t_data_size = dataSize;

    bool known;
    if (!StreamHolds(f, sizeof(UInt) * ULong(t.t_entries_size) + dataSize, &known)) return fail(EINVAL, __LINE__);
    t.t_entries = static_cast<UInt*>(ReadBlock(f, t.t_vm, sizeof(UInt), t.t_entries_size, t.t_entries_size, known));
    if (t.t_entries == nullptr) return fail(0, __LINE__);
    t.t_data = static_cast<UByte*>(ReadBlock(f, t.t_vm, 1, t.t_data_size, t.t_data_used, known));
    if (t.t_data == nullptr) {
        ZKErrorSave();
        HashFree(t.t_vm, t.t_entries, sizeof(UInt), t.t_entries_size, __LINE__);
        ZKErrorRestore();
        return fail(0, __LINE__);
    }

    // A file with an entry offset off the 8-byte grid was written from an unaligned table (one
    // loaded that way itself), whose entries follow one another without padding. A file whose
    // offsets are all on the grid but whose data area only holds up walked without padding is
    // unaligned too: this library writes such tables aligned, but earlier files may hold them.
    bool aligned = SlotsOnGrid(t.t_entries, t.t_entries_size);
    bool ok = LoadedImageSound(t, aligned);
    if (!ok && aligned) {
        aligned = false;
        ok = LoadedImageSound(t, false);
    }
    t.t_aligned = aligned ? TRUE : FALSE;
    if (!ok) {
        HashFree(t.t_vm, t.t_data, 1, t.t_data_size, __LINE__);
        HashFree(t.t_vm, t.t_entries, sizeof(UInt), t.t_entries_size, __LINE__);
        return fail(EINVAL, __LINE__);
    }
    auto* table = static_cast<HashTable*>(Allocate_(sizeof(HashTable), nullptr, kPath, __LINE__));
    *table = t;
    return table;
}

}  // namespace zk

extern "C" {

ZK_EXPORT Boolean HashTableWrite(const HashTable* table, const char* filename) {
    size_t dataBytes;
    HashTable aligned;
    std::vector<UByte> alignedData;
    std::vector<UInt> alignedSlots;
    bool countable = zk::HashTableFileDataSize(table, &dataBytes);
    if (countable && !table->t_aligned && SlotsOnGrid(table->t_entries, table->t_entries_size)) {
        countable = CopyAligned(table, &aligned, alignedData, alignedSlots) &&
                    zk::HashTableFileDataSize(&aligned, &dataBytes);
        table = &aligned;
    }
    if (!countable) {
        errno = EFBIG;
        Report("HashTableWrite", __LINE__, "error writing %s", filename);
        return FALSE;
    }
    zk::AtomicFile file;
    Channel* ch = filename != nullptr && file.Begin(filename) ? file.channel() : nullptr;
    if (ch == nullptr) {
        if (filename == nullptr) errno = EINVAL;
        Report("HashTableWrite", __LINE__, "error opening %s", filename);
        return FALSE;
    }
    UByte header[kHeaderSize];
    Put<UInt>(header, kSelectedAt, table->t_selected ? 1 : 0);
    Put<UInt>(header, kValLenAt, table->t_val_len);
    header[kKeySizeAt] = table->t_key_size;
    Put<UInt>(header, kUsedAt, table->t_entries_used);
    Put<UInt>(header, kCapacityAt, table->t_entries_capacity);
    Put<UInt>(header, kSlotsAt, table->t_entries_size);
    Put<ULong>(header, kDataUsedAt, table->t_data_used);
    Put<ULong>(header, kDataSizeAt, dataBytes);
    if (!ChannelWriteBuf(ch, header, kHeaderSize)) {
        file.Abandon();
        return FALSE;
    }
    if (!ChannelWriteBuf(ch, table->t_entries, sizeof(UInt) * size_t(table->t_entries_size)) ||
        !ChannelWriteBuf(ch, table->t_data, table->t_data_used) ||
        !WriteZeros(ch, dataBytes - table->t_data_used) || !ChannelFlush(ch) || !ChannelSync(ch)) {
        Report("HashTableWrite", __LINE__, "error writing %s", filename);
        ZKErrorSave();
        file.Abandon();
        ZKErrorRestore();
        return FALSE;
    }
    // Closing covers putting the file in place: close, rename over the target, sync the directory.
    if (!file.Commit()) {
        Report("HashTableWrite", __LINE__, "error closing %s", filename);
        return FALSE;
    }
    return TRUE;
}

ZK_EXPORT HashTable* HashTableRead(const char* filename, HashKeyFunction hash, HashValueFunction value,
                                   HashEqualFunction equal, Boolean vm) {
    // Only a regular file can hold a table, and a FIFO must not keep the open waiting for a writer.
    const int fd = filename != nullptr ? zk::OpenRegularFile(filename) : -1;
    std::FILE* f = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (f == nullptr) {
        if (filename == nullptr) errno = EINVAL;
        if (fd >= 0) {
            ZKErrorSave();
            close(fd);
            ZKErrorRestore();
        }
        Report("HashTableRead", __LINE__, "error opening %s", filename);
        return nullptr;
    }
    HashTable* table = zk::HashTableReadStream(f, filename, hash, value, equal, vm);
    if (table == nullptr) {
        ZKErrorSave();
        std::fclose(f);
        ZKErrorRestore();
        return nullptr;
    }
    std::fclose(f);
    return table;
}

ZK_EXPORT HashTable* HashTableTryRead(const char* filename, HashKeyFunction hash, HashValueFunction value,
                                      HashEqualFunction equal, Boolean vm) {
    const QuietScope quiet;
    return HashTableRead(filename, hash, value, equal, vm);
}

ZK_EXPORT Boolean HashTableTryWrite(const HashTable* table, const char* filename) {
    const QuietScope quiet;
    return HashTableWrite(table, filename);
}

}  // extern "C"
