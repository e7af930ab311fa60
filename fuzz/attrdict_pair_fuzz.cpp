// Arbitrary bytes as the two files of an attribute dictionary, written into a scratch directory and
// opened with AttrDictOpen. The input is laid out as
//
//   byte 0         flags: bit 7 leaves the data file missing; bits 0-3 give k, and a second walk
//                  from each start point returns non-zero from its (k + 1)-th call
//   bytes 1-2      the length of the index file, little-endian, cut to what the input still holds
//   that many      the index file
//   the rest       the data file, possibly empty
//
// so that a truncated or overlong index is one change of the length away. The pair is parsed here a
// second time, straight from the bytes: the reader must accept exactly the pairs whose index is the
// one the data file's strings call for, refuse the rest with EINVAL, and then give for every
// identifier the string the parse finds, through both Get and Enumerate.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dict/attrdict.h"
#include "fuzz/table_fuzz.h"

namespace {

using zkfuzz::Touch;

constexpr const char* kName = "f";
constexpr UInt kMissingData = 0x80;
// The index length takes two bytes, so an index holds fewer than 2^14 words and a count that
// checks out stays below 2^16: every identifier is checked and every walk runs to its end.
constexpr size_t kHeader = 3;

// One directory per process, so that parallel fuzzing jobs never share files.
class Scratch {
public:
    Scratch() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/zk-attrdict-XXXXXX";
        ZKFUZZ_REQUIRE(mkdtemp(pattern.data()) != nullptr);
        dir_ = pattern;
        idx_ = dir_ + "/" + kName + ".idx";
        dat_ = dir_ + "/" + kName + ".dat";
    }
    ~Scratch() {
        unlink(idx_.c_str());
        unlink(dat_.c_str());
        rmdir(dir_.c_str());
    }
    const char* Dir() const { return dir_.c_str(); }
    const std::string& Index() const { return idx_; }
    const std::string& Data() const { return dat_; }

private:
    std::string dir_, idx_, dat_;
};

Scratch& TheScratch() {
    static Scratch scratch;
    return scratch;
}

void WriteFile(const std::string& path, const UByte* bytes, size_t n) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ZKFUZZ_REQUIRE(fd >= 0);
    while (n > 0) {
        const ssize_t w = write(fd, bytes, n);
        ZKFUZZ_REQUIRE(w > 0);
        bytes += w;
        n -= size_t(w);
    }
    ZKFUZZ_REQUIRE(close(fd) == 0);
}

// The pair as written, read without any of the library's code.
struct Pair {
    const UByte* idx;
    size_t idxSize;
    const UByte* dat;
    size_t datSize;

    size_t Words() const { return idxSize / 4; }
    UInt Word(size_t i) const {
        UInt v;
        std::memcpy(&v, idx + 4 * i, sizeof v);
        return v;
    }
    UInt Count() const { return Word(Words() - 1); }
};

// What can be checked of the index before the data file is looked at.
bool IndexSound(const Pair& p) {
    if (p.idxSize == 0 || p.idxSize % 4 != 0) return false;
    const UInt count = p.Count();
    if (p.Words() != (uint64_t(count) + 3) / 4 + 1) return false;
    if (count > 0 && p.Word(0) != 0) return false;
    for (size_t g = 1; g + 1 < p.Words(); g++)
        if (p.Word(g) < p.Word(g - 1)) return false;
    return true;
}

// The data file delimits its own strings: parsed from offset 0, they must end exactly at its end, be
// as many as the count, and start each group where the index says.
bool PairSound(const Pair& p) {
    if (!IndexSound(p)) return false;
    std::vector<uint64_t> starts;
    uint64_t pos = 0;
    while (pos < p.datSize) {
        starts.push_back(pos);
        pos += 1 + uint64_t(p.dat[pos]);
    }
    if (pos != p.datSize || starts.size() != p.Count()) return false;
    for (size_t g = 0; g + 1 < p.Words(); g++)
        if (p.Word(g) != starts[4 * g]) return false;
    return true;
}

struct Span {
    bool inside;
    size_t at;  // the string's first byte, just past its length byte
    UByte len;
};

// String id of a sound pair: from its group's offset, over the strings before it in the group.
Span Locate(const Pair& p, Id id) {
    uint64_t pos = p.Word(id / 4);
    for (UInt k = 0; k < id % 4; k++) {
        if (pos >= p.datSize) return {false, 0, 0};
        pos += 1 + uint64_t(p.dat[pos]);
    }
    if (pos >= p.datSize || pos + 1 + p.dat[pos] > p.datSize) return {false, 0, 0};
    return {true, size_t(pos + 1), p.dat[pos]};
}

// A value no string pointer can have, to see that a call left the pointer alone.
const UByte* Untouched() {
    static const UByte marker = 0;
    return &marker;
}

void CheckGet(const AttrDict* d, const Pair& p) {
    const UInt count = p.Count();
    for (Id id = 0; id < count; id++) {
        const UByte* bytes = Untouched();
        const UByte len = AttrDictGet(d, id, &bytes);
        const Span s = Locate(p, id);
        if (!s.inside) {
            ZKFUZZ_REQUIRE(len == 0 && bytes == Untouched());
            continue;
        }
        // An empty string at the very end points just past the mapping, and is never read.
        ZKFUZZ_REQUIRE(len == s.len && bytes == d->a_dat + s.at);
        ZKFUZZ_REQUIRE(bytes > d->a_dat && bytes + len <= d->a_dat + d->a_dat_size);
        Touch(bytes, len);
    }
    for (const Id id : {count, count + 1, count + 4, Id(~0u)}) {
        const UByte* bytes = Untouched();
        ZKFUZZ_REQUIRE(AttrDictGet(d, id, &bytes) == 0 && bytes == Untouched());
    }
}

struct Walk {
    const AttrDict* d;
    const Pair* p;
    Id next;
    UInt calls;
    UInt stopAt;  // the call that returns non-zero; 0 for none
};

constexpr UInt kStopped = 0x5a000000;

UInt Visit(UByte* bytes, UInt length, void* ptr) {
    auto* w = static_cast<Walk*>(ptr);
    ZKFUZZ_REQUIRE(w->next < w->p->Count());
    const Span s = Locate(*w->p, w->next);
    ZKFUZZ_REQUIRE(s.inside && length == s.len && bytes == w->d->a_dat + s.at);
    Touch(bytes, length);
    w->next++;
    w->calls++;
    return w->calls == w->stopAt ? kStopped | w->stopAt : 0;
}

// A walk from start, to its end or to the stopAt-th call, must visit the strings the parse finds in
// order and stop early, with EINVAL, just before the first one that is not inside the data file.
void CheckWalk(const AttrDict* d, const Pair& p, Id start, UInt stopAt) {
    Id end = start;
    while (end < p.Count() && (stopAt == 0 || end - start < stopAt) && Locate(p, end).inside) end++;
    Walk w{d, &p, start, 0, stopAt};
    errno = 0;
    const UInt r = AttrDictEnumerate(d, start, Visit, &w);
    ZKFUZZ_REQUIRE(w.calls == end - start && w.next == end);
    if (stopAt != 0 && w.calls == stopAt) {
        ZKFUZZ_REQUIRE(r == (kStopped | stopAt));
    } else {
        ZKFUZZ_REQUIRE(r == 0);
        if (end < p.Count()) ZKFUZZ_REQUIRE(errno == EINVAL);
    }
}

void CheckAccepted(const AttrDict* d, const Pair& p, UInt stopAt) {
    const UInt count = p.Count();
    ZKFUZZ_REQUIRE(AttrDictSize(d) == count && d->a_size == count);
    ZKFUZZ_REQUIRE(d->a_idx_file == nullptr && d->a_dat_file == nullptr);
    ZKFUZZ_REQUIRE(d->a_idx != nullptr && d->a_idx_size == p.idxSize);
    ZKFUZZ_REQUIRE(std::memcmp(d->a_idx, p.idx, p.idxSize) == 0);
    ZKFUZZ_REQUIRE(d->a_dat_size == p.datSize && (d->a_dat == nullptr) == (p.datSize == 0));
    ZKFUZZ_REQUIRE(p.datSize == 0 || std::memcmp(d->a_dat, p.dat, p.datSize) == 0);

    CheckGet(d, p);
    // An enumeration must start below the size, and an empty dictionary has no such start.
    if (count == 0) return;
    for (const Id start : {Id(0), count / 2, count - 1}) {
        CheckWalk(d, p, start, 0);
        CheckWalk(d, p, start, stopAt);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zkfuzz::ResetReports();
    const Scratch& scratch = TheScratch();
    const UInt flags = size > 0 ? data[0] : 0;
    const size_t rest = size > kHeader ? size - kHeader : 0;
    size_t idxSize = size >= kHeader ? size_t(data[1]) | size_t(data[2]) << 8 : 0;
    if (idxSize > rest) idxSize = rest;
    const UByte* idx = data + (size > kHeader ? kHeader : size);
    const Pair p{idx, idxSize, idx + idxSize, rest - idxSize};
    const bool missing = (flags & kMissingData) != 0;

    WriteFile(scratch.Index(), p.idx, p.idxSize);
    if (missing) {
        ZKFUZZ_REQUIRE(unlink(scratch.Data().c_str()) == 0 || errno == ENOENT);
    } else {
        WriteFile(scratch.Data(), p.dat, p.datSize);
    }

    {
        const UByte* bytes = Untouched();
        ZKFUZZ_REQUIRE(AttrDictGet(nullptr, 0, &bytes) == 0 && bytes == Untouched());
    }

    errno = 0;
    AttrDict* d = AttrDictOpen(scratch.Dir(), kName);
    if (missing) {
        // The index alone may be found wanting before the data file is looked for.
        ZKFUZZ_REQUIRE(d == nullptr);
        ZKFUZZ_REQUIRE(errno == ENOENT || (errno == EINVAL && !IndexSound(p)));
        return 0;
    }
    if (!PairSound(p)) {
        ZKFUZZ_REQUIRE(d == nullptr && errno == EINVAL);
        return 0;
    }
    ZKFUZZ_REQUIRE(d != nullptr);
    CheckAccepted(d, p, (flags & 15) + 1);
    ZKFUZZ_REQUIRE(AttrDictClose(d) == TRUE);
    return 0;
}
