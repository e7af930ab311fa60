// Arbitrary bytes as the static dictionary's images, through all three of its readers: the whole
// input as a dictionary file's content, the input as a channel carrying one length-prefixed image,
// and the input as a memory image of dictionaries composed back to back. Every image a reader
// accepts must
//   - write back to exactly the bytes it was read from (the image is used in place, so anything
//     else means the reader kept or looked at something other than what it was given); bytes
//     past the image's own length, which every reader ignores, excepted;
//   - answer lookups of keys cut from the input, of the seed dictionaries' keys and of a few fixed
//     keys without reading outside the image;
//   - when it is one of the seed dictionaries' images, give every key of that dictionary its own
//     identifier or value, and refuse the keys of the other seeds where it has check bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dict/hashdict.h"
#include "dict/hashdict_internal.h"
#include "fuzz/hashdict_seeds.h"
#include "fuzz/table_fuzz.h"

namespace {

using Bytes = std::vector<UByte>;

// What a writer puts on a channel, read back through an anonymous file.
template <class Write>
Bytes Written(Write&& write) {
    const int fd = memfd_create("hashdict_fuzz", 0);
    ZKFUZZ_REQUIRE(fd >= 0);
    const int keep = dup(fd);
    Channel* ch = ChannelNew(-1, -1);
    ZKFUZZ_REQUIRE(ChannelOpenFd(ch, fd, "w"));
    ZKFUZZ_REQUIRE(write(ch));
    ZKFUZZ_REQUIRE(ChannelClose(ch));
    const off_t size = lseek(keep, 0, SEEK_END);
    Bytes bytes(size_t(size > 0 ? size : 0));
    ZKFUZZ_REQUIRE(pread(keep, bytes.data(), bytes.size(), 0) == ssize_t(bytes.size()));
    close(keep);
    return bytes;
}

Bytes Image(const HashDict* d) {
    return Written([d](Channel* ch) { return HashDictFileWrite_(d, ch, FALSE); });
}

struct Seed {
    zkfuzz::SeedDict dict;
    Bytes image;
};

const std::vector<Seed>& Seeds() {
    static const std::vector<Seed> seeds = [] {
        std::vector<Seed> out;
        for (zkfuzz::SeedDict& s : zkfuzz::SeedDicts()) {
            HashDict* d = zkfuzz::BuildSeed(s);
            out.push_back({std::move(s), Image(d)});
            HashDictFree(d);
        }
        return out;
    }();
    return seeds;
}

Id Find(const HashDict* d, const std::string& key) { return HashDictFind(d, key.data(), int(key.size())); }

// The size bytes at bytes were accepted as d, whose image may end before them.
void Exercise(const HashDict* d, const UByte* bytes, size_t available, const uint8_t* input, size_t inputSize) {
    const size_t size = HashDictFileSize(d);
    ZKFUZZ_REQUIRE(size <= available);
    const Bytes again = Image(d);
    ZKFUZZ_REQUIRE(again.size() == size && std::memcmp(again.data(), bytes, size) == 0);

    static const char* const fixed[] = {"", "a", "the", "\xff\xfe", "0123456789abcdef0123456789"};
    for (const char* key : fixed) HashDictFind(d, key, static_cast<int>(std::strlen(key)));
    // Keys cut from the input reach bytes and lengths that the image's own alphabet may rank.
    for (size_t start = 0; start < inputSize && start < 64; start += 7) {
        const size_t len = inputSize - start < 24 ? inputSize - start : 24;
        HashDictFind(d, input + start, static_cast<int>(len));
    }
    HashDictSize(d);
    HashDictMaxLength(d);

    const Seed* self = nullptr;
    for (const Seed& s : Seeds()) {
        if (s.image.size() == size && std::memcmp(s.image.data(), bytes, size) == 0) self = &s;
    }
    for (const Seed& s : Seeds()) {
        for (Id i = 0; i < s.dict.keys.size(); ++i) {
            const Id found = Find(d, s.dict.keys[i]);
            if (&s == self) {
                ZKFUZZ_REQUIRE(found == zkfuzz::SeedValue(s.dict, i));
            } else if (self != nullptr && self->dict.probe == 8) {
                // Eight check bytes: a foreign key passes only by a 64-bit coincidence, or by being
                // one of the dictionary's own keys.
                bool own = false;
                for (const std::string& k : self->dict.keys) own = own || k == s.dict.keys[i];
                if (!own) ZKFUZZ_REQUIRE(found == HASHDICT_NOT_FOUND);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zkfuzz::ResetReports();
    // Openers require an 8-byte aligned image; the fuzzer's buffer need not be.
    std::vector<ULong> words(size / 8 + 1);
    if (size != 0) std::memcpy(words.data(), data, size);
    const auto* base = reinterpret_cast<const UByte*>(words.data());

    HashDict whole{};
    if (zk::HashDictMemOpen_(&whole, base, size)) {
        Exercise(&whole, base, size, data, size);
    } else {
        ZKFUZZ_REQUIRE(errno == EINVAL);
    }

    // A channel: a 4-byte length, then the image; what follows the image is left unread.
    {
        const int fd = memfd_create("hashdict_fuzz_in", 0);
        ZKFUZZ_REQUIRE(fd >= 0);
        ZKFUZZ_REQUIRE(size == 0 || write(fd, data, size) == ssize_t(size));
        ZKFUZZ_REQUIRE(lseek(fd, 0, SEEK_SET) == 0);
        Channel* ch = ChannelNew(-1, -1);
        ZKFUZZ_REQUIRE(ChannelOpenFd(ch, fd, "r"));
        HashDict* d = &whole;  // anything but NULL, to see it cleared
        if (HashDictFileRead(&d, ch)) {
            ZKFUZZ_REQUIRE(d != nullptr && size >= 4);
            UInt length;
            std::memcpy(&length, data, 4);
            ZKFUZZ_REQUIRE(length <= size - 4);
            Exercise(d, base + 4, length, data, size);
            HashDictMemClose(d);
        } else {
            ZKFUZZ_REQUIRE(d == nullptr && errno == EINVAL);
        }
        ChannelClose(ch);
    }

    // A memory image: each dictionary after padding to a multiple of 8 and an 8-byte length.
    const UByte* cursor = base;
    for (int i = 0; i < 16; ++i) {
        // Where this image's length must lie: the cursor rounded up to a multiple of 8 from base.
        const size_t at = (size_t(cursor - base) + 7) & ~size_t(7);
        HashDict* d = nullptr;
        if (!HashDictMMRead(&d, base, &cursor, base + size)) {
            ZKFUZZ_REQUIRE(d == nullptr && errno == EINVAL);
            break;
        }
        ZKFUZZ_REQUIRE(d != nullptr && at + 8 <= size);
        ULong stated;
        std::memcpy(&stated, base + at, 8);
        ZKFUZZ_REQUIRE(stated <= size - at - 8 && cursor == base + at + 8 + stated);
        Exercise(d, base + at + 8, stated, data, size);
        HashDictMMFree(d);
    }
    return 0;
}
