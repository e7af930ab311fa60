// Crash safety of every file writer: writers killed at many points of a large write and exactly at
// each step that changes the directory, and writes stopped by a file-size limit, a directory they
// may not write and a full file system. Whatever happens, the targets must read as the old content
// or the complete new one, the reader changing nothing; beside them there may be only what the
// killed writer had made (its temporary files, a pending index), and the next write of the same
// targets must leave the targets alone in the directory. Every scenario runs with the writers'
// files unnamed until complete (O_TMPFILE) and, as where that is refused, named from the start.
//
// Each writer is one small class behind the Writer interface; every scenario is written once over
// that interface. The scenarios fork, so they must run in a process without other threads: they
// check that first.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dict/atomic_file.h"
#include "dict/attrdict.h"
#include "dict/hashdict.h"
#include "dict/hashtable.h"
#include "tests/test_files.h"
#include "tests/test_seed.h"

namespace {

using zktest::Bytes;
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::nanoseconds;

enum Version { kOld, kNew };
const char* const kVersionName[] = {"old", "new"};

// ---- files ----------------------------------------------------------------------------------------

bool ReadBytes(const std::string& path, Bytes* out) {
    out->clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) == 0) out->reserve(size_t(st.st_size));
    UByte buf[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            return n == 0;
        }
        out->insert(out->end(), buf, buf + n);
    }
}

std::set<std::string> ListDir(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
        }
        closedir(d);
    }
    return names;
}

// The name of a writer's temporary file for target: ".target.<16 hex digits>.tmp" beside it.
bool IsTempNameOf(const std::string& name, const std::string& target) {
    const std::string head = "." + target + ".", tail = ".tmp";
    if (name.size() != head.size() + 16 + tail.size() || name.compare(0, head.size(), head) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0) {
        return false;
    }
    return std::all_of(name.begin() + long(head.size()), name.end() - long(tail.size()),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) && !std::isupper(c); });
}

bool IsPrefix(const Bytes& part, const Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

std::string Errno(int err) { return std::to_string(err) + " (" + std::strerror(err) + ")"; }

// ---- processes ------------------------------------------------------------------------------------

int ThreadCount() { return int(ListDir("/proc/self/task").size()); }

bool WriteAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

// Everything until the other end is closed.
std::string ReadToEnd(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return out;
        out.append(buf, size_t(n));
    }
}

std::string DescribeStatus(int status) {
    if (WIFEXITED(status)) return "exited with " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

int Reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// What a child reports back through its pipe: one record, written whole.
struct ChildResult {
    enum { kRan = 1, kSkipped, kBroken };
    int state = 0;            // one of the above; 0 when the child never reported
    int ok = 0;               // the writer's result
    int err = 0;              // errno after it
    long long nanos = 0;      // how long the writer took
    char reports[1024] = {};  // the reports it made, one per line
    char detail[3072] = {};   // why it skipped or broke, or what a check in the child found
};

void SetText(char (&field)[1024], const std::string& text) { std::snprintf(field, sizeof field, "%s", text.c_str()); }
void SetText(char (&field)[3072], const std::string& text) { std::snprintf(field, sizeof field, "%s", text.c_str()); }

// The reports made in a child, as "function severity text" lines.
std::string& ChildReports() {
    static std::string reports;
    return reports;
}

void CaptureInChild(const char*, int, const char*, const char* function, int severity, int, const char* text) {
    ChildReports() += std::string(function) + " " + std::to_string(severity) + " " + text + "\n";
}

// Runs body in a forked child and hands back what it filled in. A child that dies before it
// reports gives state 0 and its exit status in detail.
ChildResult RunInChild(const std::function<void(ChildResult&)>& body) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ChildResult r;
        r.state = ChildResult::kBroken;
        SetText(r.detail, "pipe: " + Errno(errno));
        return r;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        ZKSetMessageHandler(CaptureInChild);
        ChildResult r;
        body(r);
        WriteAll(fds[1], &r, sizeof r);
        _exit(0);
    }
    close(fds[1]);
    ChildResult r;
    if (pid < 0) {
        r.state = ChildResult::kBroken;
        SetText(r.detail, "fork: " + Errno(errno));
        close(fds[0]);
        return r;
    }
    const std::string got = ReadToEnd(fds[0]);
    close(fds[0]);
    const int status = Reap(pid);
    if (got.size() == sizeof r) {
        std::memcpy(&r, got.data(), sizeof r);
    } else {
        SetText(r.detail, "the child " + DescribeStatus(status) + " without reporting");
    }
    return r;
}

// ---- the writers ------------------------------------------------------------------------------------

// What the library's reader made of the files.
struct Reading {
    enum Kind { kOld, kNew, kRefused, kWrong } kind;
    int err;             // for kRefused
    std::string detail;  // for kWrong: how it differs from both versions

    Reading(Kind k, int e = 0, std::string d = "") : kind(k), err(e), detail(std::move(d)) {}

    std::string Describe() const {
        switch (kind) {
            case kOld:
                return "reads as the old version";
            case kNew:
                return "reads as the new version";
            case kRefused:
                return "is refused with errno " + Errno(err);
            case kWrong:
                return "opens as neither version: " + detail;
        }
        return "?";
    }
};

// Compares what a reader found with each version's model: "" for a match, else the first difference.
Reading Classify(const std::string& asOld, const std::string& asNew) {
    if (asOld.empty()) return {Reading::kOld};
    if (asNew.empty()) return {Reading::kNew};
    return {Reading::kWrong, 0, "as the old version " + asOld + "; as the new version " + asNew};
}

// One file writer of the library with an old and a new content for its target(s): the old small
// and recognisable, the new several megabytes, so that a write takes long enough to be killed in.
class Writer {
public:
    Writer(std::string name, std::vector<std::string> targets) : name_(std::move(name)), targets_(std::move(targets)) {}
    virtual ~Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    const std::string& Name() const { return name_; }
    // The files one write replaces, in the order the writer renames them into place.
    const std::vector<std::string>& Targets() const { return targets_; }
    // Names besides the temporary files that a write cut short may leave, each with the whole new
    // content of the target it is paired with (an index of the target numbered second).
    virtual std::vector<std::pair<std::string, size_t>> Pending() const { return {}; }
    // Writes version v into dir: the writer's result, errno as it left it.
    virtual bool Write(const std::string& dir, Version v) const = 0;
    // Opens the files in dir with the library's reader and compares them with both versions.
    virtual Reading Read(const std::string& dir) const = 0;
    // The report the writer makes when a write fails at stage ("error opening", "error writing")
    // with err, or "" for a writer that reports nothing.
    virtual std::string FailureReport(const std::string&, const char*, int) const { return ""; }

    // The bytes of each target for each version, from a write of both into scratch.
    void MakeReferences(const std::string& scratch) {
        for (Version v : {kOld, kNew}) {
            ASSERT_EQ(mkdir((scratch + "/" + kVersionName[v]).c_str(), 0700), 0) << std::strerror(errno);
            ASSERT_TRUE(Write(scratch + "/" + kVersionName[v], v)) << name_ << ": " << std::strerror(errno);
            refs_[v].resize(targets_.size());
            for (size_t i = 0; i < targets_.size(); ++i)
                ASSERT_TRUE(ReadBytes(scratch + "/" + kVersionName[v] + "/" + targets_[i], &refs_[v][i]));
        }
        for (size_t i = 0; i < targets_.size(); ++i) ASSERT_NE(refs_[kOld][i], refs_[kNew][i]) << targets_[i];
    }
    const Bytes& Reference(Version v, size_t target) const { return refs_[v][target]; }
    size_t LargestNewFile() const {
        size_t n = 0;
        for (const Bytes& b : refs_[kNew]) n = std::max(n, b.size());
        return n;
    }

private:
    std::string name_;
    std::vector<std::string> targets_;
    std::vector<Bytes> refs_[2];
};

// Printable keys of 8 to 24 bytes, all distinct: the index in the first five, a random tail.
std::vector<std::string> DistinctKeys(size_t n, const std::string& tag, std::mt19937& rng) {
    std::vector<std::string> keys(n);
    for (size_t i = 0; i < n; ++i) {
        char head[32];
        std::snprintf(head, sizeof head, "%s%07zu", tag.c_str(), i);
        keys[i] = head;
        for (size_t len = keys[i].size() + rng() % 12; keys[i].size() < len;) keys[i] += char('a' + rng() % 26);
    }
    return keys;
}

class HashDictWriter : public Writer {
public:
    HashDictWriter() : Writer("HashDictWrite", {"d.dic"}) {
        std::mt19937 rng(zktest::Seed());
        keys_[kOld] = DistinctKeys(60, "old ", rng);
        keys_[kNew] = DistinctKeys(20000, "new ", rng);
        // One long key holding every byte value makes the coefficient table (3 x 256 values x 2048
        // positions x 4 bytes) several megabytes, without a slow build.
        std::string wide(2048, '\0');
        for (size_t i = 0; i < wide.size(); ++i) wide[i] = char(i * 7 % 256);
        keys_[kNew].push_back(wide);
        for (Version v : {kOld, kNew})
            dict_[v] = HashDictBuild(Id(keys_[v].size()), &keys_[v], Key, nullptr, 0, 0, FALSE);
    }
    ~HashDictWriter() override {
        HashDictFree(dict_[kOld]);
        HashDictFree(dict_[kNew]);
    }
    bool Write(const std::string& dir, Version v) const override {
        return HashDictWrite(dict_[v], dir.c_str(), "d", nullptr, FALSE) != FALSE;
    }
    Reading Read(const std::string& dir) const override {
        HashDict* d = HashDictOpen(dir.c_str(), "d", nullptr);
        if (d == nullptr) return {Reading::kRefused, errno};
        auto differs = [d](const std::vector<std::string>& keys) -> std::string {
            if (HashDictSize(d) != keys.size())
                return "holds " + std::to_string(HashDictSize(d)) + " keys, not " + std::to_string(keys.size());
            for (Id i = 0; i < keys.size(); ++i) {
                const Id got = HashDictFind(d, keys[i].data(), int(keys[i].size()));
                if (got != i) return "key " + std::to_string(i) + " finds " + std::to_string(got);
            }
            return "";
        };
        const Reading r = Classify(differs(keys_[kOld]), differs(keys_[kNew]));
        HashDictClose(d);
        return r;
    }

private:
    static UShort Key(void* keys, Id idx, const UByte** bytes) {
        const std::string& k = (*static_cast<std::vector<std::string>*>(keys))[idx];
        *bytes = reinterpret_cast<const UByte*>(k.data());
        return UShort(k.size());
    }
    std::vector<std::string> keys_[2];
    HashDict* dict_[2] = {};
};

class HashTableWriter : public Writer {
public:
    static constexpr UInt kValLen = 40;

    HashTableWriter() : Writer("HashTableWrite", {"t.tab"}) {
        std::mt19937 rng(zktest::Seed() + 1);
        const size_t counts[] = {100, 100000};
        for (Version v : {kOld, kNew}) {
            const std::vector<std::string> keys = DistinctKeys(counts[v], kVersionName[v], rng);
            table_[v] =
                HashTableNew(UInt(keys.size() + keys.size() / 4 + 5), nullptr, nullptr, nullptr, kValLen, 0, FALSE);
            for (const std::string& k : keys) {
                Bytes val(kValLen);
                for (UByte& b : val) b = UByte(rng());
                void* p = HashTableFind(table_[v], k.data(), UInt(k.size()), TRUE, nullptr, nullptr);
                if (p != nullptr) std::memcpy(p, val.data(), kValLen);
                entries_[v].emplace_back(k, std::move(val));
            }
        }
    }
    ~HashTableWriter() override {
        HashTableFree(table_[kOld]);
        HashTableFree(table_[kNew]);
    }
    bool Write(const std::string& dir, Version v) const override {
        return HashTableWrite(table_[v], (dir + "/t.tab").c_str()) != FALSE;
    }
    Reading Read(const std::string& dir) const override {
        HashTable* t = HashTableRead((dir + "/t.tab").c_str(), nullptr, nullptr, nullptr, FALSE);
        if (t == nullptr) return {Reading::kRefused, errno};
        auto differs = [t](const std::vector<std::pair<std::string, Bytes>>& entries) -> std::string {
            if (HashTableSize(t) != entries.size())
                return "holds " + std::to_string(HashTableSize(t)) + " entries, not " + std::to_string(entries.size());
            for (const auto& [key, val] : entries) {
                const void* p = HashTableFind(t, key.data(), UInt(key.size()), FALSE, nullptr, nullptr);
                if (p == nullptr) return "misses " + key;
                if (std::memcmp(p, val.data(), kValLen) != 0) return "has another value for " + key;
            }
            return "";
        };
        const Reading r = Classify(differs(entries_[kOld]), differs(entries_[kNew]));
        HashTableFree(t);
        return r;
    }
    std::string FailureReport(const std::string& dir, const char* stage, int err) const override {
        return "HashTableWrite 4 " + std::string(stage) + " " + dir + "/t.tab: " + std::strerror(err) + "\n";
    }

private:
    HashTable* table_[2] = {};
    std::vector<std::pair<std::string, Bytes>> entries_[2];
};

class AttrDictWriter : public Writer {
public:
    AttrDictWriter() : Writer("AttrDictCommit", {"a.dat", "a.idx"}) {
        std::mt19937 rng(zktest::Seed() + 2);
        for (int i = 0; i < 10; ++i) strings_[kOld].push_back("old string " + std::to_string(i));
        for (int i = 0; i < 40000; ++i) {
            std::string s(rng() % 256, '\0');
            for (char& c : s) c = char(rng());
            strings_[kNew].push_back(std::move(s));
        }
    }
    // The whole build: the temporary files are made by AttrDictBuild, filled by the adds and put
    // in place by the commit.
    bool Write(const std::string& dir, Version v) const override {
        AttrDict* a = AttrDictBuild(dir.c_str(), "a", FALSE);
        if (a == nullptr) return false;
        for (const std::string& s : strings_[v])
            AttrDictAdd(a, reinterpret_cast<const UByte*>(s.data()), UByte(s.size()));
        return AttrDictCommit(a) != FALSE;
    }
    std::vector<std::pair<std::string, size_t>> Pending() const override { return {{".a.idx.pending", 1}}; }
    Reading Read(const std::string& dir) const override {
        AttrDict* a = AttrDictOpen(dir.c_str(), "a");
        if (a == nullptr) return {Reading::kRefused, errno};
        auto differs = [a](const std::vector<std::string>& strings) -> std::string {
            if (AttrDictSize(a) != strings.size())
                return "holds " + std::to_string(AttrDictSize(a)) + " strings, not " + std::to_string(strings.size());
            for (Id id = 0; id < strings.size(); ++id) {
                const UByte* bytes = nullptr;
                const UByte len = AttrDictGet(a, id, &bytes);
                if (bytes == nullptr || std::string(reinterpret_cast<const char*>(bytes), len) != strings[id])
                    return "string " + std::to_string(id) + " differs";
            }
            return "";
        };
        const Reading r = Classify(differs(strings_[kOld]), differs(strings_[kNew]));
        AttrDictClose(a);
        return r;
    }

private:
    std::vector<std::string> strings_[2];
};

enum class WriterKind { kHashDict, kHashTable, kAttrDict };

std::unique_ptr<Writer> MakeWriter(WriterKind kind) {
    switch (kind) {
        case WriterKind::kHashDict:
            return std::make_unique<HashDictWriter>();
        case WriterKind::kHashTable:
            return std::make_unique<HashTableWriter>();
        case WriterKind::kAttrDict:
            return std::make_unique<AttrDictWriter>();
    }
    return nullptr;
}

// ---- checks shared by every scenario ------------------------------------------------------------------

// Where a directory stands after a write was killed or failed.
struct State {
    std::vector<int> versions;  // per target: kOld, kNew, or -1 for any other content (or none)
    int reading = -1;           // what the reader made of them: kOld, kNew, or -1 for anything else
    int leftovers = 0;          // files beside the targets
    bool AllAre(Version v) const {
        return std::all_of(versions.begin(), versions.end(), [v](int x) { return x == v; });
    }
};

std::string DescribeState(const Writer& w, const State& s) {
    std::string out;
    for (size_t i = 0; i < s.versions.size(); ++i)
        out += (i ? ", " : "") + w.Targets()[i] + " " + (s.versions[i] < 0 ? "neither" : kVersionName[s.versions[i]]);
    return out;
}

// Checks the directory: every target is byte for byte one version, and the reader reads all-old and
// all-new targets as that version and a mixed set as one of the two, without changing the
// directory. Beside the targets and the names in extra there may be only, for each target, one
// temporary file of the writer holding a prefix of the target's new bytes (whole when wholeTemps),
// and the writer's pending files holding the whole new bytes of their targets. Returns what was
// wrong, "" when nothing.
std::string CheckDirectory(const Writer& w, const std::string& dir, State* state, bool wholeTemps = false,
                           const std::set<std::string>& extra = {}) {
    std::string problems;
    state->versions.assign(w.Targets().size(), -1);
    state->reading = -1;
    state->leftovers = 0;
    for (size_t i = 0; i < w.Targets().size(); ++i) {
        Bytes bytes;
        const std::string& t = w.Targets()[i];
        if (!ReadBytes(dir + "/" + t, &bytes)) {
            problems += t + " cannot be read: " + Errno(errno) + "\n";
        } else if (bytes == w.Reference(kOld, i)) {
            state->versions[i] = kOld;
        } else if (bytes == w.Reference(kNew, i)) {
            state->versions[i] = kNew;
        } else {
            problems += t + " holds " + std::to_string(bytes.size()) + " bytes that are neither the old " +
                        std::to_string(w.Reference(kOld, i).size()) + " nor the new " +
                        std::to_string(w.Reference(kNew, i).size()) + "\n";
        }
    }
    const std::set<std::string> listed = ListDir(dir);
    if (problems.empty()) {
        const Reading r = w.Read(dir);
        if (r.kind == Reading::kOld || r.kind == Reading::kNew) state->reading = r.kind == Reading::kOld ? kOld : kNew;
        const bool fine = state->AllAre(kOld)   ? r.kind == Reading::kOld
                          : state->AllAre(kNew) ? r.kind == Reading::kNew
                                                : state->reading >= 0;
        if (!fine) problems += "the files (" + DescribeState(w, *state) + ") " + r.Describe() + "\n";
        if (ListDir(dir) != listed) problems += "reading changed the directory\n";
    }
    std::vector<bool> tempSeen(w.Targets().size(), false);
    const std::vector<std::pair<std::string, size_t>> pendings = w.Pending();
    for (const std::string& name : listed) {
        const auto t = std::find(w.Targets().begin(), w.Targets().end(), name);
        if (t != w.Targets().end() || extra.count(name) != 0) continue;
        ++state->leftovers;
        Bytes bytes;
        const bool read = ReadBytes(dir + "/" + name, &bytes);
        const auto pending =
            std::find_if(pendings.begin(), pendings.end(), [&](const auto& p) { return p.first == name; });
        if (pending != pendings.end()) {
            if (!read || bytes != w.Reference(kNew, pending->second))
                problems += "pending file " + name + " (" + std::to_string(bytes.size()) + " bytes) is not the new " +
                            w.Targets()[pending->second] + "\n";
            continue;
        }
        size_t i = 0;
        while (i < w.Targets().size() && !IsTempNameOf(name, w.Targets()[i])) ++i;
        if (i == w.Targets().size()) {
            problems += "stray file " + name + "\n";
        } else if (tempSeen[i]) {
            problems += "a second temporary file " + name + "\n";
        } else if (!read || !IsPrefix(bytes, w.Reference(kNew, i)) ||
                   (wholeTemps && bytes.size() != w.Reference(kNew, i).size())) {
            problems += "temporary file " + name + " (" + std::to_string(bytes.size()) + " bytes) is not " +
                        (wholeTemps ? "the whole" : "a prefix of the") + " new " + w.Targets()[i] + "\n";
        }
        if (i < w.Targets().size()) tempSeen[i] = true;
    }
    return problems;
}

// After a write that failed: the old version intact and readable, nothing left beside it.
std::string CheckUntouched(const Writer& w, const std::string& dir, const std::set<std::string>& extra = {}) {
    State s;
    std::string problems = CheckDirectory(w, dir, &s, false, extra);
    if (problems.empty() && !s.AllAre(kOld)) problems += "the files are " + DescribeState(w, s) + "\n";
    if (s.leftovers != 0) problems += "the failed write left a file behind\n";
    return problems;
}

// Runs the writer for the new version in this (child) process and records the outcome.
void WriteNew(const Writer& w, const std::string& dir, ChildResult& r) {
    ChildReports().clear();
    errno = 0;
    const Clock::time_point start = Clock::now();
    r.ok = w.Write(dir, kNew);
    r.err = errno;
    r.nanos = std::chrono::duration_cast<nanoseconds>(Clock::now() - start).count();
    r.state = ChildResult::kRan;
    SetText(r.reports, ChildReports());
}

// ---- the fixture ----------------------------------------------------------------------------------------

// How the writers' files come to be: unnamed until complete, or named from the start.
enum class Files { kUnnamed, kNamed };

class CrashSafety : public zktest::TempDirTest, public ::testing::WithParamInterface<std::tuple<WriterKind, Files>> {
protected:
    void SetUp() override {
        ASSERT_EQ(ThreadCount(), 1) << "these tests fork and need a process without other threads";
        TempDirTest::SetUp();
        named_ = std::get<1>(GetParam()) == Files::kNamed;
        if (!named_) {
            const int fd = open(dir_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
            if (fd < 0) GTEST_SKIP() << "no unnamed files in " << dir_ << ": " << Errno(errno);
            close(fd);
        }
        zk::AtomicFile::ForceNamedTemporariesForTesting(named_);
        writer_ = MakeWriter(std::get<0>(GetParam()));
        ASSERT_EQ(mkdir(PathOf("ref").c_str(), 0700), 0);
        ASSERT_NO_FATAL_FAILURE(writer_->MakeReferences(PathOf("ref")));
        work_ = PathOf("work");
        ASSERT_EQ(mkdir(work_.c_str(), 0700), 0);
    }
    void TearDown() override {
        zk::AtomicFile::ForceNamedTemporariesForTesting(false);
        TempDirTest::TearDown();
    }

    // Puts the old version in place in dir. Whatever an earlier write left is gone after it.
    void PutOld(const std::string& dir) {
        ASSERT_TRUE(writer_->Write(dir, kOld)) << std::strerror(errno);
        State s;
        ASSERT_EQ(CheckDirectory(*writer_, dir, &s), "");
        ASSERT_TRUE(s.AllAre(kOld));
        ASSERT_EQ(s.leftovers, 0) << "the write left files of earlier writes behind";
    }

    // A failed write of the new version: FALSE, errno err, the writer's report for stage if it
    // makes one, and the old version untouched in dir.
    void ExpectFailed(const ChildResult& r, const std::string& dir, int err, const char* stage) {
        ASSERT_EQ(r.state, ChildResult::kRan) << r.detail;
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.err, err) << "errno " << Errno(r.err);
        EXPECT_EQ(r.reports, writer_->FailureReport(dir, stage, err));
        EXPECT_STREQ(r.detail, "");
        EXPECT_EQ(CheckUntouched(*writer_, dir), "");
    }

    std::unique_ptr<Writer> writer_;
    std::string work_;
    bool named_ = false;
};

// ---- killed writers ---------------------------------------------------------------------------------------

// Sleeps most of the way to until and spins the last stretch, which a sleep cannot hit to the
// microsecond.
void WaitUntil(Clock::time_point until) {
    const nanoseconds slack = microseconds(150);
    if (until - Clock::now() > slack) std::this_thread::sleep_until(until - slack);
    while (Clock::now() < until) {
    }
}

struct Kill {
    bool inWriter;  // the writer had not returned when the kill came
    State state;
    std::string problems;
};

// Forks a child that writes the new version over the old one in dir; the child tells through a
// pipe when it is about to call the writer, and the kill comes delay later. A negative delay lets
// the writer finish and reports its time instead.
Kill KillWriterAfter(const Writer& w, const std::string& dir, nanoseconds delay, long long* nanos = nullptr) {
    Kill k{false, {}, ""};
    int report[2], release[2];
    if (pipe2(report, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0) {
        k.problems = "pipe: " + Errno(errno);
        return k;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        close(release[1]);
        ZKSetMessageHandler(CaptureInChild);
        WriteAll(report[1], "w", 1);
        ChildResult r;
        WriteNew(w, dir, r);
        WriteAll(report[1], &r, sizeof r);
        // Stay until killed, so that a kill after the writer returned still finds the child.
        char c;
        while (read(release[0], &c, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(report[1]);
    close(release[0]);
    if (pid < 0) {
        k.problems = "fork: " + Errno(errno);
        close(report[0]);
        close(release[1]);
        return k;
    }
    char go = 0;
    ssize_t n;
    while ((n = read(report[0], &go, 1)) < 0 && errno == EINTR) {
    }
    const Clock::time_point start = Clock::now();
    ChildResult r;
    std::string rest;
    if (n == 1 && delay >= nanoseconds(0)) {
        WaitUntil(start + delay);
    } else if (n == 1) {
        while (rest.size() < sizeof r) {
            char buf[sizeof r];
            const ssize_t got = read(report[0], buf, sizeof r - rest.size());
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            rest.append(buf, size_t(got));
        }
    }
    kill(pid, SIGKILL);
    const int status = Reap(pid);
    rest += ReadToEnd(report[0]);
    close(report[0]);
    close(release[1]);
    if (n != 1 || !WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL) {
        k.problems = "the writing child " + DescribeStatus(status) + (n != 1 ? " before it began" : "") + "\n";
        return k;
    }
    k.inWriter = rest.size() < sizeof r;
    if (!k.inWriter) {
        std::memcpy(&r, rest.data(), sizeof r);
        if (!r.ok) k.problems += "the write failed: errno " + Errno(r.err) + "\n";
        if (nanos != nullptr) *nanos = r.nanos;
    }
    k.problems += CheckDirectory(w, dir, &k.state);
    if (!k.inWriter && r.ok && !k.state.AllAre(kNew))
        k.problems += "the writer returned TRUE, yet the files are " + DescribeState(w, k.state) + "\n";
    return k;
}

// The first delays of the kills: a third from 1 microsecond growing geometrically to a quarter of
// the write's time, the rest evenly from there to well past its end, so that many kills land before
// the rename and several after it even when a write takes longer or shorter than measured.
std::vector<nanoseconds> SweepDelays(nanoseconds write, int count) {
    std::vector<nanoseconds> delays;
    const int early = count / 3;
    const double quarter = std::max(2000.0, double(write.count()) / 4);
    for (int i = 0; i < early; ++i) delays.emplace_back(long(1000.0 * std::pow(quarter / 1000.0, double(i) / early)));
    const double last = 1.75 * double(write.count());
    for (int i = 0; i < count - early; ++i)
        delays.emplace_back(long(quarter + (last - quarter) * double(i) / double(count - early - 1)));
    return delays;
}

TEST_P(CrashSafety, KilledWritersLeaveTheOldOrTheNewVersion) {
    const Writer& w = *writer_;
    ASSERT_NO_FATAL_FAILURE(PutOld(work_));

    // Two uninterrupted writes give the time a write takes here.
    long long slowest = 0;
    for (int i = 0; i < 2; ++i) {
        long long nanos = 0;
        const Kill k = KillWriterAfter(w, work_, nanoseconds(-1), &nanos);
        ASSERT_EQ(k.problems, "");
        ASSERT_FALSE(k.inWriter);
        ASSERT_TRUE(k.state.AllAre(kNew)) << DescribeState(w, k.state);
        slowest = std::max(slowest, nanos);
        ASSERT_NO_FATAL_FAILURE(PutOld(work_));
    }
    const nanoseconds write(slowest);

    int oldKept = 0, newInWriter = 0, newAfterWriter = 0, mixed = 0, leftFiles = 0, kills = 0;
    nanoseconds lastOld(0), firstNew(write * 2);
    // After each kill the next write, of the old version, must clear whatever the killed one left.
    auto killAfter = [&](nanoseconds delay) {
        ++kills;
        const Kill k = KillWriterAfter(w, work_, delay);
        EXPECT_EQ(k.problems, "") << "killed " << delay.count() / 1000 << " us into the write";
        leftFiles += k.state.leftovers > 0;
        if (k.state.reading == kOld) {
            oldKept += k.inWriter;
            lastOld = std::max(lastOld, delay);
        } else {
            ++(k.state.AllAre(kNew) ? (k.inWriter ? newInWriter : newAfterWriter) : mixed);
            firstNew = std::min(firstNew, delay);
        }
        PutOld(work_);
    };
    // Named files differ from unnamed ones only in what a kill leaves beside the targets: fewer
    // kills cover them.
    const int sweep = named_ ? 16 : 24, around = named_ ? 10 : 16;
    for (nanoseconds delay : SweepDelays(write, sweep)) {
        killAfter(delay);
        if (HasFatalFailure()) return;
    }
    // The renames and the directory's sync take a fraction of a millisecond at the end of the
    // write: more kills around where the outcome turned, which the write's jitter spreads over it.
    const nanoseconds centre = (lastOld + firstNew) / 2, span = write / 8;
    for (int i = 0; i < around; ++i) {
        killAfter(std::max(nanoseconds(0), centre - span + span * 2 * i / (around - 1)));
        if (HasFatalFailure()) return;
    }
    // Under heavy load a write can take far longer than measured: then later kills, until one lands.
    for (nanoseconds late = write * 2; newInWriter + newAfterWriter + mixed == 0 && kills < sweep + around + 10;
         late *= 2) {
        killAfter(late);
        if (HasFatalFailure()) return;
    }
    std::printf(
        "%s (%s files): %d kills over a write of %.1f ms: %d kept the old version, %d landed the new "
        "inside the writer, %d after it returned, %d left a mixed set; %d left "
        "files beside the targets, all cleared by the next write\n",
        w.Name().c_str(), named_ ? "named" : "unnamed", kills, double(slowest) / 1e6, oldKept, newInWriter,
        newAfterWriter, mixed, leftFiles);
    EXPECT_GT(oldKept, 0) << "no kill landed before the rename";
    EXPECT_GT(newInWriter + newAfterWriter, 0) << "no kill landed after the rename";
}

// ---- kills exactly at each step ----------------------------------------------------------------------------

// The calls of a traced writer that matter for durability, in order, with the paths they name. A
// step is a call that changes the directory: a link, a rename or an unlink.
struct Call {
    enum Kind { kSync, kStep, kOpenForWrite } kind;
    std::string path, to;  // a step's source and destination ("" for an unlink); the synced file
    ino_t ino = 0;         // the file synced, linked or renamed
    bool rename = false;   // a step that is a rename
    bool unnamed = false;  // a step that links an unnamed file, by /proc/self/fd or descriptor
};

std::string PeekString(pid_t pid, unsigned long long addr) {
    std::string s;
    for (;;) {
        errno = 0;
        const long word = ptrace(PTRACE_PEEKDATA, pid, reinterpret_cast<void*>(addr + s.size()), nullptr);
        if (errno != 0) return s;
        const char* bytes = reinterpret_cast<const char*>(&word);
        for (size_t i = 0; i < sizeof word; ++i) {
            if (bytes[i] == '\0' || s.size() >= PATH_MAX) return s;
            s += bytes[i];
        }
    }
}

std::string FdLink(pid_t pid, unsigned long long fd) {
    return "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
}

std::string FdPath(pid_t pid, unsigned long long fd) {
    char target[PATH_MAX + 1];
    const ssize_t n = readlink(FdLink(pid, fd).c_str(), target, PATH_MAX);
    return n < 0 ? "?" : std::string(target, size_t(n));
}

// The inode a traced call names by path (relative to dirfd) or, with an empty path, by dirfd itself;
// the traced process's /proc/self is its own. 0 when there is none.
ino_t InodeNamed(pid_t pid, unsigned long long dirfd, const std::string& path) {
    std::string at = path;
    bool follow = false;
    if (path.empty()) {
        at = FdLink(pid, dirfd);
        follow = true;
    } else if (path.rfind("/proc/self/", 0) == 0) {
        at = "/proc/" + std::to_string(pid) + path.substr(10);
        follow = true;
    } else if (path[0] != '/') {
        at = (int(dirfd) == AT_FDCWD ? "/proc/" + std::to_string(pid) + "/cwd" : FdLink(pid, dirfd)) + "/" + path;
    }
    struct stat st;
    return (follow ? stat(at.c_str(), &st) : lstat(at.c_str(), &st)) == 0 ? st.st_ino : 0;
}

struct Trace {
    bool traceable = true;  // false when this system does not let a parent trace its child
    std::string problems;
    std::vector<Call> calls;
    int steps = 0;
};

// Runs the writer for the new version in a traced child and records its syncs, steps and opens for
// writing. With killAt k > 0 the child is killed when its k-th step is about to be made
// (afterStep: has just been made), so that the kill lands exactly at that point.
Trace TraceWriter(const Writer& w, const std::string& dir, int killAt, bool afterStep) {
    Trace t;
    const pid_t pid = fork();
    if (pid == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(3);
        raise(SIGSTOP);
        errno = 0;
        const bool ok = w.Write(dir, kNew);
        _exit(ok ? 0 : 1);
    }
    if (pid < 0) {
        t.problems = "fork: " + Errno(errno);
        return t;
    }
    int status = Reap(pid);
    if (!WIFSTOPPED(status)) {
        t.traceable = false;
        t.problems = "the child " + DescribeStatus(status);
        return t;
    }
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL));
    bool inStep = false, killed = false;
    int signal = 0;
    for (;;) {
        if (ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void*>(long(signal))) != 0 && !killed) {
            t.problems += "PTRACE_SYSCALL: " + Errno(errno) + "\n";
            kill(pid, SIGKILL);
            killed = true;
        }
        signal = 0;
        status = Reap(pid);
        if (!WIFSTOPPED(status)) break;
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            signal = WSTOPSIG(status) == SIGSTOP ? 0 : WSTOPSIG(status);
            continue;
        }
        __ptrace_syscall_info info;
        if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void*>(sizeof info), &info) <= 0) {
            t.problems += "PTRACE_GET_SYSCALL_INFO: " + Errno(errno) + "\n";
            kill(pid, SIGKILL);
            killed = true;
            continue;
        }
        if (info.op == PTRACE_SYSCALL_INFO_EXIT) {
            if (inStep && info.exit.is_error) t.problems += "step " + std::to_string(t.steps) + " failed\n";
            if (inStep && afterStep && t.steps == killAt) {
                kill(pid, SIGKILL);
                killed = true;
            }
            inStep = false;
            continue;
        }
        if (info.op != PTRACE_SYSCALL_INFO_ENTRY) continue;
        const auto nr = info.entry.nr;
        const auto* a = info.entry.args;
        Call step{Call::kStep, "", ""};
        // Where each call has its paths: the *at forms take a directory before each.
        if (nr == SYS_fsync || nr == SYS_fdatasync) {
            t.calls.push_back({Call::kSync, FdPath(pid, a[0]), "", InodeNamed(pid, a[0], "")});
        } else if (nr == SYS_renameat || nr == SYS_renameat2 || nr == SYS_linkat) {
            step.path = PeekString(pid, a[1]);
            step.to = PeekString(pid, a[3]);
            step.ino = InodeNamed(pid, a[0], step.path);
            step.rename = nr != SYS_linkat;
            step.unnamed = nr == SYS_linkat && (step.path.empty() || step.path.rfind("/proc/self/fd/", 0) == 0);
        } else if (nr == SYS_unlinkat) {
            step.path = PeekString(pid, a[1]);
#ifdef SYS_rename
        } else if (nr == SYS_rename || nr == SYS_link) {
            step.path = PeekString(pid, a[0]);
            step.to = PeekString(pid, a[1]);
            step.ino = InodeNamed(pid, AT_FDCWD, step.path);
            step.rename = nr == SYS_rename;
        } else if (nr == SYS_unlink) {
            step.path = PeekString(pid, a[0]);
#endif
        } else if (nr == SYS_openat
#ifdef SYS_open
                   || nr == SYS_open
#endif
        ) {
            const bool at = nr == SYS_openat;
            if ((a[at ? 2 : 1] & O_ACCMODE) != O_RDONLY)
                t.calls.push_back({Call::kOpenForWrite, PeekString(pid, a[at ? 1 : 0]), ""});
        }
        if (step.path.empty() && step.to.empty() && !step.unnamed) continue;
        t.calls.push_back(step);
        inStep = true;
        if (++t.steps == killAt && !afterStep) {
            kill(pid, SIGKILL);
            killed = true;
        }
    }
    if (killAt > 0 && !(killed && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL))
        t.problems +=
            "the writer was not killed at step " + std::to_string(killAt) + " but " + DescribeStatus(status) + "\n";
    if (killAt == 0 && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        t.problems += "the traced writer " + DescribeStatus(status) + "\n";
    return t;
}

// The order that makes a replacement durable. A name that a reader looks at (a target, or a pending
// file that the reader falls back on) only ever receives a file that was synced before, by a link
// or a rename; the directory is synced after each such step and before the next, so that a power
// failure cannot keep a later one and lose an earlier; each target receives its file by a rename;
// and none of these names is ever opened for writing.
std::string CheckSyncOrder(const Writer& w, const std::string& dir, const std::vector<Call>& calls) {
    std::string problems;
    std::set<std::string> seen, renamedOnto;
    for (const std::string& t : w.Targets()) seen.insert(dir + "/" + t);
    for (const auto& p : w.Pending()) seen.insert(dir + "/" + p.first);
    std::set<ino_t> synced;
    bool dirSynced = true;
    for (const Call& c : calls) {
        if (c.kind == Call::kOpenForWrite && seen.count(c.path) != 0) problems += c.path + " was opened for writing\n";
        if (c.kind == Call::kSync) {
            synced.insert(c.ino);
            dirSynced = dirSynced || c.path == dir;
        }
        if (c.kind != Call::kStep || seen.count(c.to) == 0) continue;
        if (!dirSynced) problems += "the directory was not synced before " + c.path + " went to " + c.to + "\n";
        if (c.ino == 0 || synced.count(c.ino) == 0) problems += c.path + " went to " + c.to + " unsynced\n";
        if (c.rename) renamedOnto.insert(c.to);
        dirSynced = false;
    }
    if (!dirSynced) problems += "the directory was not synced after the last step\n";
    for (const std::string& t : w.Targets())
        if (renamedOnto.count(dir + "/" + t) == 0) problems += "nothing was renamed onto " + t + "\n";
    return problems;
}

// Kills at and just after every step of a write, in order: each leaves the old or the new version,
// never the new and then the old again at a later step, and the next write clears what it left.
TEST_P(CrashSafety, KillsAtEachStepLeaveTheOldOrTheNewVersion) {
    const Writer& w = *writer_;
    ASSERT_NO_FATAL_FAILURE(PutOld(work_));
    char real[PATH_MAX];
    ASSERT_NE(realpath(work_.c_str(), real), nullptr);
    const std::string dir = real;

    const Trace whole = TraceWriter(w, dir, 0, false);
    if (!whole.traceable) GTEST_SKIP() << "cannot trace a child here: " << whole.problems;
    ASSERT_EQ(whole.problems, "");
    EXPECT_EQ(CheckSyncOrder(w, dir, whole.calls), "");
    // Unnamed files get their names by a link of the descriptor, one per target; named ones never.
    const auto unnamedLinks =
        std::count_if(whole.calls.begin(), whole.calls.end(), [](const Call& c) { return c.unnamed; });
    EXPECT_EQ(size_t(unnamedLinks), named_ ? 0 : w.Targets().size());
    State s;
    EXPECT_EQ(CheckDirectory(w, dir, &s), "");
    EXPECT_TRUE(s.AllAre(kNew)) << DescribeState(w, s);
    EXPECT_EQ(s.leftovers, 0);

    std::vector<const Call*> steps;
    for (const Call& c : whole.calls)
        if (c.kind == Call::kStep) steps.push_back(&c);
    ASSERT_EQ(int(steps.size()), whole.steps);
    std::string listing;
    auto local = [&](const std::string& p) { return p.rfind(dir + "/", 0) == 0 ? p.substr(dir.size() + 1) : p; };
    for (const Call* c : steps) {
        const std::string verb = c->to.empty() ? "unlink " : c->rename ? "rename " : "link ";
        listing += "\n  " + verb + local(c->path) + (c->to.empty() ? "" : " -> " + local(c->to));
    }
    std::printf("%s (%s files), %zu steps:%s\n", w.Name().c_str(), named_ ? "named" : "unnamed", steps.size(),
                listing.c_str());
    int newFrom = 0;  // the first kill that left the new version
    int kill = 0;
    for (int k = 1; k <= whole.steps; ++k) {
        for (bool after : {false, true}) {
            ++kill;
            const Call& step = *steps[size_t(k - 1)];
            SCOPED_TRACE("killed " + std::string(after ? "after" : "at") + " step " + std::to_string(k) + ", " +
                         local(step.path) + (step.to.empty() ? " removed" : " to " + local(step.to)));
            ASSERT_NO_FATAL_FAILURE(PutOld(dir));
            const Trace t = TraceWriter(w, dir, k, after);
            ASSERT_EQ(t.problems, "");
            EXPECT_EQ(CheckDirectory(w, dir, &s, true), "");
            if (s.reading == kNew && newFrom == 0) newFrom = kill;
            if (newFrom != 0) {
                EXPECT_EQ(s.reading, kNew) << "the new version, left at an earlier step, is lost";
            }
        }
    }
    EXPECT_NE(newFrom, 0) << "no kill left the new version, not even after the last step";
    EXPECT_NE(newFrom, 1) << "a kill at the first step left the new version";
    ASSERT_NO_FATAL_FAILURE(PutOld(dir));
}

// ---- failed writes ---------------------------------------------------------------------------------------

TEST_P(CrashSafety, AFileSizeLimitFailsTheWriteWithEFBIG) {
    const Writer& w = *writer_;
    ASSERT_NO_FATAL_FAILURE(PutOld(work_));
    // Stopped at the first buffer, half way, and at the very last byte.
    const size_t size = w.LargestNewFile();
    for (const rlim_t limit : {rlim_t(4096), rlim_t(size / 2), rlim_t(size - 1)}) {
        SCOPED_TRACE("limit " + std::to_string(limit) + " of " + std::to_string(size));
        const ChildResult r = RunInChild([&](ChildResult& out) {
            struct sigaction ignore = {};
            ignore.sa_handler = SIG_IGN;
            struct rlimit lim;
            if (sigaction(SIGXFSZ, &ignore, nullptr) != 0 || getrlimit(RLIMIT_FSIZE, &lim) != 0 ||
                (lim.rlim_cur = limit, setrlimit(RLIMIT_FSIZE, &lim)) != 0) {
                out.state = ChildResult::kBroken;
                SetText(out.detail, "setting the limit: " + Errno(errno));
                return;
            }
            WriteNew(w, work_, out);
        });
        ASSERT_NO_FATAL_FAILURE(ExpectFailed(r, work_, EFBIG, "error writing"));
    }
}

TEST_P(CrashSafety, AReadOnlyDirectoryFailsTheWriteWithEACCES) {
    const Writer& w = *writer_;
    ASSERT_NO_FATAL_FAILURE(PutOld(work_));
    // Root passes any permission check, so as root the write runs as nobody, who must still reach
    // the directory and read the old files.
    ASSERT_EQ(chmod(dir_.c_str(), 0711), 0);
    ASSERT_EQ(chmod(work_.c_str(), 0555), 0);
    const ChildResult r = RunInChild([&](ChildResult& out) {
        const gid_t nobody = 65534;
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)) {
            out.state = ChildResult::kSkipped;
            SetText(out.detail, "cannot drop root privileges to uid and gid 65534: " + Errno(errno));
            return;
        }
        if (access(work_.c_str(), R_OK | X_OK) != 0 || access(work_.c_str(), W_OK) == 0) {
            out.state = ChildResult::kSkipped;
            SetText(out.detail, "uid " + std::to_string(geteuid()) + " cannot read " + work_ + " or can write it");
            return;
        }
        WriteNew(w, work_, out);
    });
    chmod(work_.c_str(), 0700);
    chmod(dir_.c_str(), 0700);
    if (r.state == ChildResult::kSkipped) GTEST_SKIP() << r.detail;
    ExpectFailed(r, work_, EACCES, "error opening");
}

TEST_P(CrashSafety, AFullFileSystemFailsTheWriteWithENOSPC) {
    const Writer& w = *writer_;
    // The file system is a small tmpfs in a mount namespace of the child's own, so that it goes
    // away with the child; the whole scenario runs there and reports what it found.
    const std::string fs = PathOf("fs");
    ASSERT_EQ(mkdir(fs.c_str(), 0700), 0);
    struct stat before;
    ASSERT_EQ(stat(fs.c_str(), &before), 0);
    // Completely full, and with room for part of the new file only.
    for (const off_t room : {off_t(0), off_t(w.LargestNewFile() / 3)}) {
        SCOPED_TRACE("room for " + std::to_string(room) + " bytes");
        const ChildResult r = RunInChild([&](ChildResult& out) {
            const size_t size = std::max<size_t>(1 << 20, 2 * size_t(room));
            const std::string options = "size=" + std::to_string(size) + ",mode=0700";
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("zkdict-test", fs.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
                out.state = ChildResult::kSkipped;
                SetText(out.detail, "cannot mount a small tmpfs in a private mount namespace: " + Errno(errno));
                return;
            }
            std::string problems;
            if (!w.Write(fs, kOld)) problems += "the old version does not fit: " + Errno(errno) + "\n";
            const std::string filler = fs + "/filler";
            const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            std::vector<char> block(1 << 16, 'f');
            off_t filled = 0;
            for (ssize_t n; fd >= 0 && (n = write(fd, block.data(), block.size())) > 0;) filled += n;
            if (fd < 0 || errno != ENOSPC) problems += "filling: " + Errno(errno) + "\n";
            if (fd >= 0 && (ftruncate(fd, std::max<off_t>(0, filled - room)) != 0 || close(fd) != 0))
                problems += "making room: " + Errno(errno) + "\n";
            if (problems.empty()) {
                WriteNew(w, fs, out);
                problems += CheckUntouched(w, fs, {"filler"});
            } else {
                out.state = ChildResult::kBroken;
            }
            SetText(out.detail, problems);
            umount2(fs.c_str(), MNT_DETACH);
        });
        if (r.state == ChildResult::kSkipped) GTEST_SKIP() << r.detail;
        ASSERT_EQ(r.state, ChildResult::kRan) << r.detail;
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.err, ENOSPC) << "errno " << Errno(r.err);
        EXPECT_EQ(r.reports, w.FailureReport(fs, "error writing", ENOSPC));
        EXPECT_STREQ(r.detail, "");
    }
    // Nothing stays mounted here.
    struct stat after;
    ASSERT_EQ(stat(fs.c_str(), &after), 0);
    EXPECT_EQ(after.st_dev, before.st_dev);
    EXPECT_TRUE(ListDir(fs).empty());
}

// ---- the temporaries of live and dead writers ---------------------------------------------------------------

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A write removes the temporary files of its target that dead writers left, and nothing else: not
// a live writer's, not another target's, not a name of another shape, no symbolic link, directory
// or FIFO of the right shape (which must not hold the write up either), nor what a link points to.
// The second write runs in another process, as a writer elsewhere would; the first, alive all the
// while, then commits as usual. Both ways of making the files, and the replaced file's permissions
// kept either way.
class AtomicFileTemporaries : public zktest::TempDirTest {
protected:
    void SetUp() override {
        ASSERT_EQ(ThreadCount(), 1) << "these tests fork and need a process without other threads";
        TempDirTest::SetUp();
    }
    void TearDown() override {
        zk::AtomicFile::ForceNamedTemporariesForTesting(false);
        TempDirTest::TearDown();
    }
};

TEST_F(AtomicFileTemporaries, OnlyDeadWritersFilesAreRemoved) {
    const std::string target = PathOf("t");
    const std::string dead = ".t.0123456789abcdef.tmp";
    const std::set<std::string> decoys = {
        ".t.0123456789ABCDEF.tmp", ".t.0123456789abcde.tmp", ".t.0123456789abcdef0.tmp", ".t.0123456789abcdeg.tmp",
        ".t.0123456789abcdef.tmp~", "t.0123456789abcdef.tmp", ".u.0123456789abcdef.tmp", ".t.0123456789abcdef.tm",
    };
    const std::string link = ".t.1111111111111111.tmp", directory = ".t.2222222222222222.tmp",
                      fifo = ".t.3333333333333333.tmp";
    const std::string outside = PathOf("outside");
    ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
    zktest::WriteFile(outside + "/pointed-at", Bytes{'x'});

    for (const bool named : {true, false}) {
        SCOPED_TRACE(named ? "named files" : "unnamed files");
        zktest::WriteFile(target, Bytes{'o', 'l', 'd'});
        ASSERT_EQ(chmod(target.c_str(), 0640), 0);
        zktest::WriteFile(PathOf(dead), Bytes{'d'});
        for (const std::string& d : decoys) zktest::WriteFile(PathOf(d), Bytes{'k'});
        ASSERT_EQ(symlink((outside + "/pointed-at").c_str(), PathOf(link).c_str()), 0);
        ASSERT_EQ(mkdir(PathOf(directory).c_str(), 0700), 0);
        ASSERT_EQ(mkfifo(PathOf(fifo).c_str(), 0600), 0);
        const std::set<std::string> kept = [&] {
            std::set<std::string> k = decoys;
            k.insert({"t", "outside", link, directory, fifo});
            return k;
        }();

        zk::AtomicFile::ForceNamedTemporariesForTesting(named);
        zk::AtomicFile live;
        ASSERT_TRUE(live.Begin(target)) << std::strerror(errno);
        ASSERT_EQ(write(live.fd(), "live", 4), 4);
        EXPECT_EQ(Exists(live.temp_path()), named);
        EXPECT_FALSE(Exists(PathOf(dead))) << "the live writer's own Begin clears the dead writer's file";
        zktest::WriteFile(PathOf(dead), Bytes{'d'});

        const ChildResult r = RunInChild([&](ChildResult& out) {
            zk::AtomicFile second;
            out.ok = second.Begin(target) && write(second.fd(), "second", 6) == 6 && second.Commit();
            out.err = errno;
            out.state = ChildResult::kRan;
        });
        ASSERT_EQ(r.state, ChildResult::kRan) << r.detail;
        EXPECT_TRUE(r.ok) << Errno(r.err);
        EXPECT_EQ(zktest::ReadFile(target), (Bytes{'s', 'e', 'c', 'o', 'n', 'd'}));
        EXPECT_FALSE(Exists(PathOf(dead)));
        EXPECT_EQ(Exists(live.temp_path()), named) << "the live writer's file was removed";
        std::set<std::string> expected = kept;
        if (named) expected.insert(live.temp_path().substr(dir_.size() + 1));
        EXPECT_EQ(Listing(), expected);

        ASSERT_TRUE(live.Commit()) << std::strerror(errno);
        EXPECT_EQ(zktest::ReadFile(target), (Bytes{'l', 'i', 'v', 'e'}));
        EXPECT_EQ(Listing(), kept);
        EXPECT_EQ(zktest::ReadFile(outside + "/pointed-at"), Bytes{'x'});
        struct stat st;
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);

        for (const std::string& name : kept)
            if (name != "t" && name != "outside") std::filesystem::remove(PathOf(name));
    }
}

std::string WriterName(const ::testing::TestParamInfo<std::tuple<WriterKind, Files>>& info) {
    static const char* const writers[] = {"HashDict", "HashTable", "AttrDict"};
    static const char* const files[] = {"Unnamed", "Named"};
    return std::string(writers[int(std::get<0>(info.param))]) + files[int(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Writers, CrashSafety,
                         ::testing::Combine(::testing::Values(WriterKind::kHashDict, WriterKind::kHashTable,
                                                              WriterKind::kAttrDict),
                                            ::testing::Values(Files::kUnnamed, Files::kNamed)),
                         WriterName);

}  // namespace
