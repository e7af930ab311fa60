// zkdict: the command-line face of the library. Builds static dictionaries and hash table files from
// lists of keys, looks keys up, tells what kind of file a path holds, and builds, reads and dumps
// attribute dictionaries. Run `zkdict --help`, or `zkdict <command> --help`.
//
// Exit status: 0 on success, 1 when an operation failed (a file that cannot be read or written, a
// key list that cannot be built), 2 on a usage error. Messages read "zkdict COMMAND: PATH: reason".
//
// Whatever a path names, the tool answers within a second and in bounded memory: files of the
// library's kinds are accepted only as regular files (checked before anything opens them, so a FIFO
// never blocks and a device is never opened), key lists may also be pipes, and every line read from
// a stream is bounded by the longest key a dictionary holds. Lists from regular files are mapped,
// not copied, and indexed by 32-bit line offsets (64-bit past 4 GiB), so that a build costs little beyond the key file
// itself and the library's own construction.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dict/attrdict.h"
#include "dict/hashdict.h"
#include "dict/hashtable.h"
#include "dict/zkdict_version.h"
#include "zklib/regular_file.h"
#include "zklib/zklib.h"

namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

// The longest key a dictionary holds, and so the longest line the tool keeps from any stream.
constexpr size_t kMaxKey = 0xFFFF;
// The longest string of an attribute dictionary.
constexpr size_t kMaxString = 255;
// The most entries a hash table holds: its slot count must fit 32 bits.
constexpr size_t kMaxTableEntries = 0x55555555;
// From this many keys on, a build on a terminal shows its progress.
constexpr size_t kProgressFrom = 100000;
// How long a key list that is a named FIFO may wait for its writer to open it.
constexpr int kWriterWaitMs = 1000;

// Raised with the exit status it asks for; main prints nothing more.
struct Exit {
    int status;
};

std::string g_command = "zkdict";

std::string Reason(int err) { return std::strerror(err); }

// Bytes as a listing shows them: those outside printable ASCII, and the backslash, as \xNN; in a
// message also the double quote, and the bytes after the first `limit` as "...".
std::string Escaped(std::string_view s, bool quoted, size_t limit) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (i == limit) return out + "...";
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\' && !(quoted && c == '"')) {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

std::string Printable(std::string_view s) { return Escaped(s, false, SIZE_MAX); }

// A key or a value as a message quotes it.
std::string Quoted(std::string_view s) { return "\"" + Escaped(s, true, 64) + "\""; }

double Milliseconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// ---- progress -----------------------------------------------------------------------------------------

// A build's four stages as a bar, each a quarter of it: reading, attempts, assignment, writing. The
// text after it names the step and, where the amount is known, the share of it done: the bytes of a
// mapped key file, the keys of each pass the library makes over the list. The bar itself moves by
// stage only, since a failed attempt starts its pass over.
enum Stage { kReading, kAttempts, kAssigning, kWriting, kStages };

class Progress {
public:
    // Asks for the display: it is drawn only when standard error is a terminal.
    void Enable() {
        if (!enabled_) on_ = isatty(STDERR_FILENO) == 1;
        enabled_ = true;
    }
    bool on() const { return on_; }
    Stage stage() const { return stage_; }
    void Show(Stage stage, const std::string& text, int percent = -1) {
        stage_ = stage;
        text_ = text;
        percent_ = percent;
        Draw();
    }
    void Percent(int percent) {
        if (percent == percent_) return;
        percent_ = percent;
        Draw();
    }
    // Wipes the display, so that what follows starts on a clean line.
    void Clear() {
        if (!drawn_) return;
        std::fprintf(stderr, "\r%*s\r", kLine, "");
        drawn_ = false;
    }

private:
    static constexpr int kWidth = 24, kText = 40, kLine = kWidth + kText + 8;
    void Draw() {
        if (!on_) return;
        const int filled = kWidth * int(stage_) / int(kStages);
        char bar[kWidth + 1];
        std::memset(bar, '#', size_t(filled));
        std::memset(bar + filled, '.', size_t(kWidth - filled));
        bar[kWidth] = '\0';
        std::string text = text_;
        if (percent_ >= 0) text += " " + std::to_string(percent_) + "%";
        std::fprintf(stderr, "\r[%s] %d/%d %-*s", bar, int(stage_) + 1, int(kStages), kText, text.c_str());
        drawn_ = true;
    }
    bool enabled_ = false, on_ = false, drawn_ = false;
    Stage stage_ = kReading;
    std::string text_;
    int percent_ = -1;
};

Progress g_progress;

// ---- failures -------------------------------------------------------------------------------------------

[[noreturn]] void Fail(int status, const std::string& message) {
    g_progress.Clear();
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", g_command.c_str(), message.c_str());
    throw Exit{status};
}

[[noreturn]] void Usage(const std::string& message) { Fail(kUsage, message + " (see --help)"); }

[[noreturn]] void FailOn(const std::string& path, const std::string& reason) { Fail(kFailed, path + ": " + reason); }

std::string CannotRead(int err) { return "cannot read: " + Reason(err); }

// Answers written so far go out now; a reader at the other end of a pipe is waiting for them.
void FlushOutput() {
    if (std::fflush(stdout) != 0) FailOn("standard output", "cannot write: " + Reason(errno));
}

// ---- the library's reports ----------------------------------------------------------------------------

// Reports come through zklib's message service. Around the library calls whose failures the tool
// reports itself (Quiet), they are only kept: the tool says what failed, and the text of the last one
// can explain it. Elsewhere an error report is printed, since nothing else would say why the process
// is about to end. A build's progress reports drive the progress display and count the attempts.
struct Reports {
    std::string last;
    int quiet = 0;
    int retries = 0;
    bool building = false;
    size_t keys = 0;             // keys of the build, for the share of a pass
    const char* checkPass = "";  // what the pass over the keys after the assignment does
};

Reports g_reports;

void BuildReport(std::string_view text) {
    if (text.rfind("hdict: retry ", 0) == 0) {
        g_reports.retries = std::atoi(std::string(text.substr(13)).c_str());
        g_progress.Show(kAttempts, "building: attempt " + std::to_string(g_reports.retries + 1), 0);
    } else if (text.rfind("hdict: nentries=", 0) == 0) {
        g_progress.Show(kAttempts, "building: attempt 1", 0);
    } else if (text.rfind("hdict: size=", 0) == 0) {
        g_progress.Show(kAssigning, "assigning");
    }
}

void Handler(const char* path, int line, const char* module, const char* function, int severity, int flag,
             const char* text) {
    (void)path, (void)line, (void)module, (void)function, (void)flag;
    const std::string_view t = text != nullptr ? text : "";
    if (severity <= 2) {
        if (g_reports.building) BuildReport(t);
        return;
    }
    g_reports.last = std::string(t);
    if (g_reports.quiet == 0) {
        g_progress.Clear();
        std::fprintf(stderr, "%s: %s\n", g_command.c_str(), g_reports.last.c_str());
    }
}

// Why a library call failed: its errno, or when it left none, its last report.
std::string LibraryReason(int err) {
    if (err != 0) return Reason(err);
    return g_reports.last.empty() ? "failed" : g_reports.last;
}

// The scope of a library call whose failure the tool reports itself.
struct Quiet {
    Quiet() { ++g_reports.quiet; }
    ~Quiet() { --g_reports.quiet; }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;
};

// The library calls the key callback once per key, in increasing index order, in every pass over the
// list (the scan, each attempt, the check bytes, the verification of values); every 64K keys the
// display learns how far the pass has come.
constexpr Id kTickMask = 0xFFFF;

void BuildTick(Id idx) {
    if (!g_progress.on() || g_reports.keys == 0) return;
    if (idx == 0 && g_progress.stage() == kAssigning) g_progress.Show(kAssigning, g_reports.checkPass, 0);
    g_progress.Percent(int(ULong{idx} * 100 / g_reports.keys));
}

// ---- paths ------------------------------------------------------------------------------------------------

std::string What(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "a special file";
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool EndsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Why stat failed, telling a dangling symbolic link from a missing name.
std::string StatProblem(const std::string& path, int err) {
    struct stat st;
    if (err == ENOENT && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        return CannotRead(err) + " (a dangling symbolic link)";
    }
    return CannotRead(err);
}

// Why path cannot be opened as a file of the library's kinds, or "" when it is a regular file this
// process may read: the libraries' own check (a device is never opened, a FIFO never waited on),
// with the kind it refused named.
std::string RegularFileProblem(const std::string& path) {
    struct stat st;
    const int fd = zk::OpenRegularFile(path.c_str(), &st);
    if (fd >= 0) {
        close(fd);
        return "";
    }
    const int err = errno;
    if ((err == ENODEV || err == EINVAL) && stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        return "is " + What(st.st_mode) + ", not a regular file";
    }
    return StatProblem(path, err);
}

void RequireRegularFile(const std::string& path) {
    const std::string problem = RegularFileProblem(path);
    if (!problem.empty()) FailOn(path, problem);
}

// A path as the library's openers and writers take it: directory, name and suffix. A base name with
// a dot after its first character has a suffix; ".profile" has none.
struct PathParts {
    std::string dir, name, suffix;
    bool hasSuffix = false;
};

PathParts Split(const std::string& path) {
    PathParts p;
    const size_t slash = path.rfind('/');
    // Spelled out: AttrDictBuild joins an empty directory as the root.
    p.dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = base.rfind('.');
    p.hasSuffix = dot != std::string::npos && dot > 0;
    p.name = p.hasSuffix ? base.substr(0, dot) : base;
    if (p.hasSuffix) p.suffix = base.substr(dot + 1);
    return p;
}

// An output path must name a file: not a directory (which would leave a hidden ".dic" inside it),
// and not a FIFO or a device, which the atomic replacement of the writers would swap for a file.
// `rule` says what the argument must name instead.
void CheckOutput(const std::string& given, const std::string& file, const char* rule) {
    if (given.empty() || given.back() == '/') Usage(given + ": names a directory; " + rule);
    for (const std::string& path : {given, file}) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            Usage(path + ": is " + What(st.st_mode) + "; " + rule);
    }
}

// ---- lists of lines -----------------------------------------------------------------------------------

// Anonymous memory that grows in place: a list read from a pipe is never copied as it grows nor held
// twice at its peak, and capacity not yet touched costs no memory.
class Block {
public:
    Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() {
        if (data_ != nullptr) MemoryUnmap_(data_, capacity_, __FILE__, __LINE__);
    }
    char* data() const { return static_cast<char*>(data_); }
    size_t capacity() const { return capacity_; }
    void Swap(Block& other) {
        std::swap(data_, other.data_);
        std::swap(capacity_, other.capacity_);
    }
    // Room for bytes in all; false, with errno set, when the memory cannot be had.
    bool Reserve(size_t bytes) {
        if (bytes <= capacity_) return true;
        const size_t next = std::max({bytes, capacity_ * 2, size_t{1} << 20});
        void* moved = MemoryRemap_(data_, capacity_, next, __FILE__, __LINE__);
        if (moved == nullptr) return false;
        data_ = moved;
        capacity_ = next;
        return true;
    }

private:
    void* data_ = nullptr;
    size_t capacity_ = 0;
};

// Where each line of a list starts, plus one entry past the last line, so that line i ends
// (separator excluded) at start(i + 1) - 1. An unterminated last line gets a virtual separator past
// the end. Offsets take 32 bits while the text is below 4 GiB, 64 bits beyond.
class LineStarts {
public:
    bool wide() const { return wide_; }
    template <class Offset>
    const Offset* As() const {
        return reinterpret_cast<const Offset*>(block_.data());
    }
    ULong operator[](size_t i) const { return wide_ ? As<ULong>()[i] : As<UInt>()[i]; }
    // False, with errno set, when the memory cannot be had.
    bool Push(ULong offset) {
        if (!wide_ && offset > UINT_MAX_VALUE && !Widen()) return false;
        const size_t width = wide_ ? sizeof(ULong) : sizeof(UInt);
        if (!block_.Reserve((count_ + 1) * width)) return false;
        if (wide_) {
            reinterpret_cast<ULong*>(block_.data())[count_++] = offset;
        } else {
            reinterpret_cast<UInt*>(block_.data())[count_++] = UInt(offset);
        }
        return true;
    }

private:
    bool Widen() {
        Block wider;
        if (!wider.Reserve((count_ + 1) * sizeof(ULong))) return false;
        for (size_t i = 0; i < count_; ++i) reinterpret_cast<ULong*>(wider.data())[i] = As<UInt>()[i];
        block_.Swap(wider);
        wide_ = true;
        return true;
    }
    Block block_;
    size_t count_ = 0;
    bool wide_ = false;
};

// What a list holds and what it may hold.
struct ListRules {
    const char* what;    // "key", "value", "string": the noun of messages
    char separator;      // '\n', or '\0' for -0
    size_t maxLine;      // the longest line kept, in bytes
    size_t maxCount;     // the most lines
    bool distinctEmpty;  // a second empty line is a duplicate key, refused as soon as it arrives
};

// A list of lines: a regular file mapped in place, or the bytes a stream gave, kept in a Block.
struct LineList {
    LineList() = default;
    LineList(const LineList&) = delete;
    LineList& operator=(const LineList&) = delete;
    ~LineList() {
        if (mapping != nullptr) munmap(mapping, mappingSize);
    }
    std::string_view Line(size_t i) const {
        const ULong start = starts[i];
        return {data + start, size_t(starts[i + 1] - start - 1)};
    }
    // Line i for a message: "PATH:3".
    std::string At(size_t i) const { return name + ":" + std::to_string(i + 1); }
    // Two lines for a message: "on lines 2 and 4", or "at entries 2 and 4" in a NUL-separated list.
    std::string Positions(size_t a, size_t b) const {
        return (separator == '\n' ? "on lines " : "at entries ") + std::to_string(a + 1) + " and " +
               std::to_string(b + 1);
    }

    std::string name;  // the path, or "standard input"
    char separator = '\n';
    const char* data = nullptr;
    size_t size = 0;
    size_t count = 0;
    LineStarts starts;
    void* mapping = nullptr;
    size_t mappingSize = 0;
    Block buffer;
};

// Splits the bytes of a list into lines as they arrive, holding each to the rules.
class LineSplitter {
public:
    LineSplitter(LineList* list, const ListRules& rules) : list_(list), rules_(rules) {
        list->separator = rules.separator;
        Push(0);
    }
    // Takes the bytes of the list up to `to`; those before were taken by the calls before.
    void Take(size_t to) {
        const char* base = list_->data;
        for (size_t p = taken_; p < to;) {
            const void* hit = std::memchr(base + p, rules_.separator, to - p);
            if (hit == nullptr) break;
            const size_t end = size_t(static_cast<const char*>(hit) - base);
            EndLine(end);
            p = end + 1;
        }
        taken_ = to;
        if (to - lineStart_ > rules_.maxLine) TooLong();
    }
    void Finish() {
        if (lineStart_ < list_->size) EndLine(list_->size);
    }

private:
    void EndLine(size_t end) {
        const size_t length = end - lineStart_;
        if (length > rules_.maxLine) TooLong();
        if (length == 0 && rules_.distinctEmpty) {
            if (firstEmpty_ != SIZE_MAX) {
                FailOn(list_->name, "duplicate key \"\" " + list_->Positions(firstEmpty_, list_->count));
            }
            firstEmpty_ = list_->count;
        }
        if (++list_->count > rules_.maxCount) {
            FailOn(list_->name, "more than " + std::to_string(rules_.maxCount) + " " + rules_.what + "s");
        }
        Push(ULong{end} + 1);
        lineStart_ = end + 1;
    }
    [[noreturn]] void TooLong() const {
        FailOn(list_->At(list_->count),
               std::string(rules_.what) + " longer than " + std::to_string(rules_.maxLine) + " bytes");
    }
    void Push(ULong offset) {
        if (!list_->starts.Push(offset)) FailOn(list_->name, "cannot index the lines: " + Reason(errno));
    }
    LineList* list_;
    ListRules rules_;
    size_t taken_ = 0, lineStart_ = 0, firstEmpty_ = SIZE_MAX;
};

// Closes a descriptor of our own when the reading ends, by success or failure.
struct Descriptor {
    int fd = -1;
    bool own = false;
    ~Descriptor() {
        if (own && fd >= 0) close(fd);
    }
};

void SetBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// Waits until a descriptor that said "not yet" has something to read.
void AwaitInput(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
}

// Opens a list named by a path: a regular file, a named FIFO or a pipe such as /dev/fd/N. The open
// never blocks (O_NONBLOCK: a FIFO without a writer would otherwise wait for one), and devices and
// sockets are refused before anything opens them.
void OpenList(const std::string& path, Descriptor* d, struct stat* st) {
    if (stat(path.c_str(), st) != 0) FailOn(path, StatProblem(path, errno));
    const auto refuse = [&path](mode_t mode) {
        if (S_ISDIR(mode)) FailOn(path, "is a directory");
        if (!S_ISREG(mode) && !S_ISFIFO(mode)) {
            FailOn(path, "is " + What(mode) + "; a list is read from a file, a pipe or standard input (-)");
        }
    };
    refuse(st->st_mode);
    do {
        d->fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (d->fd < 0 && errno == EINTR);
    if (d->fd < 0) FailOn(path, CannotRead(errno));
    d->own = true;
    if (fstat(d->fd, st) != 0) FailOn(path, CannotRead(errno));
    refuse(st->st_mode);  // the name may have changed since the first look
    if (S_ISREG(st->st_mode)) SetBlocking(d->fd);
}

// Reads a stream to its end, splitting as the bytes arrive. A named FIFO (opened without blocking)
// must have a writer: one already connected shows as "no data yet" or data, however slow it then is;
// with none, the read gives an end at once, and the FIFO gets kWriterWaitMs for one to come.
void ReadStream(int fd, bool namedFifo, LineList* list, LineSplitter* splitter) {
    constexpr size_t kChunk = size_t{1} << 20;
    bool awaitingWriter = namedFifo;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (!list->buffer.Reserve(list->size + kChunk)) FailOn(list->name, CannotRead(errno));
        list->data = list->buffer.data();
        const ssize_t n = read(fd, list->buffer.data() + list->size, kChunk);
        if (n > 0) {
            if (awaitingWriter) {
                SetBlocking(fd);
                awaitingWriter = false;
            }
            list->size += size_t(n);
            splitter->Take(list->size);
            if (list->count >= kProgressFrom) g_progress.Enable();
            g_progress.Show(kReading, "reading: " + std::to_string(list->size >> 20) + " MiB");
            continue;
        }
        if (n == 0 && !awaitingWriter) break;
        if (n == 0) {
            // No writer at the moment: none has opened the FIFO yet, or one came and left without
            // writing. A poll wakes for the first writer's data or departure, never before a writer.
            const int left = kWriterWaitMs - int(Milliseconds(start));
            pollfd p{fd, POLLIN, 0};
            const int ready = left > 0 ? poll(&p, 1, left) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) FailOn(list->name, CannotRead(errno));
            if (ready == 0) FailOn(list->name, "is a FIFO that no writer opened within a second");
            SetBlocking(fd);
            awaitingWriter = false;
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) FailOn(list->name, CannotRead(errno));
        // Connected but quiet: from here on a pipe like any other. A standard input the caller left
        // non-blocking is waited for the same way.
        if (awaitingWriter) {
            SetBlocking(fd);
            awaitingWriter = false;
        }
        AwaitInput(fd);
    }
}

// Reads the list at path ("-": standard input) whole. A regular file is mapped, not copied; a stream
// is read into memory that grows in place. Either way only the line offsets are added.
void ReadList(const std::string& path, const ListRules& rules, LineList* list) {
    list->name = path == "-" ? "standard input" : path;
    Descriptor d;
    struct stat st;
    if (path == "-") {
        d.fd = STDIN_FILENO;
        if (fstat(d.fd, &st) != 0) FailOn(list->name, CannotRead(errno));
        if (S_ISDIR(st.st_mode)) FailOn(list->name, "is a directory");
    } else {
        OpenList(path, &d, &st);
    }
    LineSplitter splitter(list, rules);
    // Standard input may have been read in part before; its list is the rest.
    off_t from = path == "-" && S_ISREG(st.st_mode) ? lseek(d.fd, 0, SEEK_CUR) : 0;
    if (from < 0) from = 0;
    // A regular file that says it is empty may still give bytes (those under /proc do): read it.
    if (S_ISREG(st.st_mode) && st.st_size > from) {
        list->mappingSize = size_t(st.st_size);
        void* mapping = mmap(nullptr, list->mappingSize, PROT_READ, MAP_PRIVATE, d.fd, 0);
        if (mapping == MAP_FAILED) FailOn(list->name, CannotRead(errno));
        list->mapping = mapping;
        list->data = static_cast<const char*>(mapping) + from;
        list->size = size_t(st.st_size - from);
        // In slices, so that the display can tell how far the reading has come.
        constexpr size_t kSlice = size_t{16} << 20;
        for (size_t at = 0; at < list->size;) {
            at = std::min(list->size, at + kSlice);
            splitter.Take(at);
            if (list->count >= kProgressFrom) g_progress.Enable();
            g_progress.Show(kReading, "reading", int(ULong{at} * 100 / list->size));
        }
    } else {
        ReadStream(d.fd, S_ISFIFO(st.st_mode) && path != "-", list, &splitter);
    }
    splitter.Finish();
}

ListRules KeyRules(char separator, size_t maxCount) { return {"key", separator, kMaxKey, maxCount, true}; }

// ---- arguments ------------------------------------------------------------------------------------------

struct Args {
    std::vector<std::string> positional;
    std::unordered_map<std::string, std::string> options;  // --name value, or "" for a flag
    bool help = false;
    bool Has(const std::string& option) const { return options.count(option) != 0; }
};

// Options listed in withValue take the next argument; other options are flags. "--" ends options;
// "-" alone is an argument (standard input).
Args Parse(int argc, char** argv, int first, const std::vector<std::string>& withValue,
           const std::vector<std::string>& flags) {
    Args a;
    bool options = true;
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && (arg == "-h" || arg == "--help")) {
            a.help = true;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            bool known = false;
            for (const std::string& o : withValue) {
                if (arg == o) {
                    if (i + 1 == argc) Usage(arg + " needs a value");
                    a.options[arg] = argv[++i];
                    known = true;
                }
            }
            for (const std::string& f : flags) {
                if (arg == f) a.options[arg] = "", known = true;
            }
            if (!known) Usage("unknown option " + arg);
        } else {
            a.positional.push_back(arg);
        }
    }
    return a;
}

unsigned long Number(const std::string& text, const std::string& what, unsigned long max) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v > max || text[0] == '-') {
        Usage(what + " must be a number from 0 to " + std::to_string(max) + ", not \"" + text + "\"");
    }
    return v;
}

// An unsigned decimal number of at most max, or false.
bool Decimal(std::string_view text, ULong max, ULong* value) {
    if (text.empty() || text.size() > 20) return false;
    ULong v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + ULong(c - '0');
        if (v > max) return false;
    }
    *value = v;
    return true;
}

// ---- dictionaries -----------------------------------------------------------------------------------

// The width of a dictionary of identifiers: ArrayNew_ packs the values 0 to nentries at
// floor(log2(nentries)) + 1 bits, and 1 bit for none.
unsigned IdentifierWidth(Id nentries) { return nentries == 0 ? 1 : unsigned(std::bit_width(nentries)); }

// Whether the dictionary answers with identifiers rather than values of its builder's. An image does
// not say, but check bytes come only with identifiers, and values of another width than an
// identifier's are values; zkdict build never gives a dictionary of values that width (see --bits).
bool AnswersAreIdentifiers(const HashDict* d) {
    return d->h_probe != 0 || d->h_nbits == IdentifierWidth(d->h_nentries);
}

struct DictCloser {
    void operator()(HashDict* d) const { HashDictClose(d); }
};
using OpenDict = std::unique_ptr<HashDict, DictCloser>;

// The file a dictionary path names: the path itself when its name has a suffix (the library opens
// only NAME.SUFFIX), else PATH.dic, which zkdict build makes of a name without one.
std::string DictionaryFile(const std::string& path) {
    if (Split(path).hasSuffix) return path;
    const std::string withSuffix = path + "." HASHDICT_SUFFIX;
    if (Exists(withSuffix)) return withSuffix;
    const std::string problem = RegularFileProblem(path);
    if (!problem.empty()) FailOn(path, problem);
    FailOn(path, "not a dictionary file (its name has no suffix, and there is no " + withSuffix + ")");
}

// Opens a dictionary image in place, the library's way: mapped, nothing copied. Null, with errno,
// when the library refuses it.
HashDict* MapDictionary(const std::string& file) {
    const PathParts p = Split(file);
    const Quiet quiet;
    return HashDictOpen(p.dir.c_str(), p.name.c_str(), p.suffix.c_str());
}

OpenDict OpenDictionaryOrFail(const std::string& path) {
    const std::string file = DictionaryFile(path);
    RequireRegularFile(file);
    HashDict* d = MapDictionary(file);
    if (d == nullptr) FailOn(file, errno == EINVAL ? "not a dictionary image" : "cannot read: " + LibraryReason(errno));
    return OpenDict(d);
}

// ---- build ------------------------------------------------------------------------------------------

const char* const kBuildHelp =
    "usage: zkdict build KEYS OUT [--check N] [--values FILE --bits N] [--swap] [-0]\n"
    "\n"
    "Builds a static dictionary from the list KEYS and writes its image to OUT (\".dic\" is added to a\n"
    "name without a suffix; OUT must not name a directory).\n"
    "KEYS holds one key per line (NUL-separated with -0), each of at most 65535 bytes; a separator\n"
    "after the last key is optional. It is a file, a pipe, or - for standard input; a named FIFO must\n"
    "get its writer within a second. Key i (from 0, in list order) gets identifier i, or with\n"
    "--values the number on line i of FILE. Duplicate keys are refused, naming both lines.\n"
    "  --check N      store N check bytes per key (0 to 8), so that foreign keys are refused\n"
    "  --values FILE  one unsigned decimal number per line and key, each below 2^bits; not with\n"
    "                 --check\n"
    "  --bits N       the width of the values (1 to 32); needed with --values. When N is the width\n"
    "                 the identifiers of as many keys take, entries get one bit more, so that\n"
    "                 zkdict lookup can tell the dictionary holds values\n"
    "  --swap         write the image for a host of the other byte order\n"
    "  -0             keys are separated by NUL bytes instead of newlines\n"
    "Prints the number of keys, construction attempts, build time, image bytes and bits per key.\n"
    "From 100,000 keys on, a progress display goes to standard error when it is a terminal.\n";

template <class Offset>
struct BuildKeys {
    const char* data;
    const Offset* starts;
    const Id* values;
};

template <class Offset>
UShort KeyAt(void* context, Id idx, const UByte** bytes) {
    const auto* keys = static_cast<const BuildKeys<Offset>*>(context);
    const Offset start = keys->starts[idx];
    *bytes = reinterpret_cast<const UByte*>(keys->data + start);
    if ((idx & kTickMask) == 0) [[unlikely]] {
        BuildTick(idx);
    }
    return UShort(keys->starts[idx + 1] - start - 1);
}

template <class Offset>
Id ValueAt(void* context, Id idx) {
    return static_cast<const BuildKeys<Offset>*>(context)->values[idx];
}

template <class Offset>
HashDict* TryBuild(const LineList& keys, const std::vector<Id>* values, UByte bits, UByte probe,
                   HashDictBuildError* error) {
    BuildKeys<Offset> source{keys.data, keys.starts.As<Offset>(), values != nullptr ? values->data() : nullptr};
    return HashDictTryBuild(Id(keys.count), &source, KeyAt<Offset>, values != nullptr ? ValueAt<Offset> : nullptr, bits,
                            probe, TRUE, error);
}

// The numbers of a values file, one per key.
std::vector<Id> ReadValues(const std::string& path, size_t keys, UByte bits) {
    LineList list;
    ReadList(path, {"value", '\n', kMaxKey, HASHDICT_MAX_ENTRIES, false}, &list);
    if (list.count != keys) {
        FailOn(list.name, std::to_string(list.count) + " values for " + std::to_string(keys) + " keys");
    }
    std::vector<Id> values(keys);
    const ULong max = (ULong{1} << bits) - 1;
    for (size_t i = 0; i < keys; ++i) {
        ULong v = 0;
        if (!Decimal(list.Line(i), max, &v)) {
            FailOn(list.At(i), Quoted(list.Line(i)) + " is not a number below 2^" + std::to_string(bits));
        }
        values[i] = Id(v);
    }
    return values;
}

int Build(int argc, char** argv) {
    const Args a = Parse(argc, argv, 2, {"--check", "--values", "--bits"}, {"--swap", "-0"});
    if (a.help) return std::fputs(kBuildHelp, stdout), kOk;
    if (a.positional.size() != 2) Usage("build takes KEYS and OUT");
    const std::string& keysPath = a.positional[0];
    const bool hasValues = a.Has("--values");
    if (hasValues != a.Has("--bits")) Usage("--values and --bits go together");
    if (hasValues && a.Has("--check")) Usage("--check cannot be used with --values");
    const UByte probe = a.Has("--check") ? UByte(Number(a.options.at("--check"), "--check", 8)) : 0;
    UByte bits = hasValues ? UByte(Number(a.options.at("--bits"), "--bits", 32)) : 0;
    if (hasValues && bits == 0) Usage("--bits must be from 1 to 32");
    if (hasValues && keysPath == "-" && a.options.at("--values") == "-") Usage("KEYS and --values cannot both be -");
    const std::string& out = a.positional[1];
    const PathParts target = Split(out);
    const std::string outFile = target.hasSuffix ? out : out + "." HASHDICT_SUFFIX;
    CheckOutput(out, outFile, "OUT is a file to write");

    const auto start = std::chrono::steady_clock::now();
    LineList keys;
    ReadList(keysPath, KeyRules(a.Has("-0") ? '\0' : '\n', HASHDICT_MAX_ENTRIES), &keys);
    std::vector<Id> values;
    if (hasValues) values = ReadValues(a.options.at("--values"), keys.count, bits);
    // A dictionary of values as wide as identifiers would read as one of identifiers; one bit more
    // keeps the kinds apart. Identifiers never take 32 bits, so the wider entry always fits.
    const UByte requested = bits;
    if (hasValues && bits == IdentifierWidth(Id(keys.count))) ++bits;

    g_reports.keys = keys.count;
    g_reports.checkPass = probe != 0 ? "assigning: check bytes" : "assigning: verifying values";
    g_reports.building = true;
    g_progress.Show(kAttempts, "building: scanning keys", 0);
    const auto buildStart = std::chrono::steady_clock::now();
    HashDictBuildError error{};
    HashDict* built = keys.starts.wide() ? TryBuild<ULong>(keys, hasValues ? &values : nullptr, bits, probe, &error)
                                         : TryBuild<UInt>(keys, hasValues ? &values : nullptr, bits, probe, &error);
    const double buildMs = Milliseconds(buildStart);
    g_reports.building = false;
    if (built == nullptr) {
        switch (error.code) {
        case HASHDICT_ERROR_DUPLICATE:
            FailOn(keys.name,
                   "duplicate key " + Quoted(keys.Line(error.first)) + " " + keys.Positions(error.first, error.second));
        case HASHDICT_ERROR_CANNOT_GENERATE:
            FailOn(keys.name, "cannot build: no construction attempt succeeded");
        default:
            FailOn(keys.name, "cannot build: " + Reason(EINVAL));
        }
    }
    const std::unique_ptr<HashDict, void (*)(HashDict*)> d(built, HashDictFree);

    g_progress.Show(kWriting, "writing");
    const Quiet quiet;
    const bool written = HashDictWrite(d.get(), target.dir.c_str(), target.name.c_str(),
                                       target.hasSuffix ? target.suffix.c_str() : HASHDICT_SUFFIX,
                                       a.Has("--swap") ? TRUE : FALSE) == TRUE;
    const int err = errno;
    g_progress.Clear();
    if (!written) FailOn(outFile, "cannot write: " + LibraryReason(err));
    const size_t bytes = HashDictFileSize(d.get());
    std::printf("wrote %s\n", outFile.c_str());
    std::printf("keys: %zu\nattempts: %d\n", keys.count, g_reports.retries + 1);
    if (bits != requested) {
        std::printf("value bits: %u (one more than --bits, so that lookups tell values from identifiers)\n",
                    unsigned(bits));
    }
    std::printf("build time: %.1f ms (%.1f ms in all)\nimage bytes: %zu\nbits per key: %.2f\n", buildMs,
                Milliseconds(start), bytes, keys.count == 0 ? 0.0 : 8.0 * double(bytes) / double(keys.count));
    return kOk;
}

// ---- lookup -----------------------------------------------------------------------------------------

const char* const kLookupHelp =
    "usage: zkdict lookup DICT [KEY...] [--values] [-0] [--bench]\n"
    "\n"
    "Looks each KEY up in the dictionary DICT (DICT.dic when DICT has no suffix) and prints the key,\n"
    "a tab and its identifier or value, or \"not found\". Without KEY it is a filter: keys come from\n"
    "standard input, one per line (at most 65535 bytes), and each answer is written out before the\n"
    "next key is waited for.\n"
    "A dictionary without check bytes answers a foreign key with some number, which may be another\n"
    "key's identifier: only check bytes (zkdict build --check) refuse foreign keys reliably. A number\n"
    "that names no key (the key count or more) is shown as \"not found\" unless the dictionary holds\n"
    "values. lookup tells that by the width of its entries, which zkdict build keeps apart from that\n"
    "of identifiers; for a dictionary of values built otherwise, say --values.\n"
    "  --values  the dictionary holds values: print every number it answers\n"
    "  -0        keys are separated by NUL bytes, and every answer line ends with a NUL byte\n"
    "  --bench   also time the lookups of all the keys (read whole first), repeated for at least\n"
    "            half a second\n";

volatile Id g_sink;

class Answers {
public:
    Answers(const HashDict* d, bool identifiers, char end) : d_(d), identifiers_(identifiers), end_(end) {}
    void Answer(std::string_view key) const {
        const Id id = HashDictFind(d_, key.data(), int(key.size()));
        std::fwrite(key.data(), 1, key.size(), stdout);
        if (id == HASHDICT_NOT_FOUND || (identifiers_ && id >= d_->h_nentries)) {
            std::fputs("\tnot found", stdout);
        } else {
            char buf[16] = {'\t'};
            const auto r = std::to_chars(buf + 1, buf + sizeof buf, id);
            std::fwrite(buf, 1, size_t(r.ptr - buf), stdout);
        }
        std::putc(end_, stdout);
    }

private:
    const HashDict* d_;
    bool identifiers_;
    char end_;
};

// Answers the keys of standard input as they come, in a buffer of bounded size: a key longer than
// a dictionary can hold is refused instead of growing it.
void AnswerStream(const Answers& answers, char separator) {
    constexpr size_t kChunk = size_t{64} << 10;
    std::vector<char> buf(kMaxKey + 1 + kChunk);
    size_t begin = 0, end = 0, line = 0;
    for (;;) {
        for (const void* hit; (hit = std::memchr(buf.data() + begin, separator, end - begin)) != nullptr;) {
            const size_t stop = size_t(static_cast<const char*>(hit) - buf.data());
            answers.Answer({buf.data() + begin, stop - begin});
            ++line;
            begin = stop + 1;
        }
        if (end - begin > kMaxKey) {
            FailOn("standard input:" + std::to_string(line + 1),
                   "key longer than " + std::to_string(kMaxKey) + " bytes");
        }
        std::memmove(buf.data(), buf.data() + begin, end - begin);
        end -= begin;
        begin = 0;
        FlushOutput();
        const ssize_t n = read(STDIN_FILENO, buf.data() + end, buf.size() - end);
        if (n > 0) {
            end += size_t(n);
        } else if (n == 0) {
            if (end > 0) answers.Answer({buf.data(), end});
            return;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            AwaitInput(STDIN_FILENO);
        } else if (errno != EINTR) {
            FailOn("standard input", CannotRead(errno));
        }
    }
}

int Lookup(int argc, char** argv) {
    const Args a = Parse(argc, argv, 2, {}, {"--bench", "--values", "-0"});
    if (a.help) return std::fputs(kLookupHelp, stdout), kOk;
    if (a.positional.empty()) Usage("lookup takes DICT");
    const OpenDict d = OpenDictionaryOrFail(a.positional[0]);
    const char separator = a.Has("-0") ? '\0' : '\n';
    const Answers answers(d.get(), !a.Has("--values") && AnswersAreIdentifiers(d.get()), separator);
    std::vector<std::string_view> keys;
    LineList list;
    if (a.positional.size() > 1) {
        for (size_t i = 1; i < a.positional.size(); ++i) keys.push_back(a.positional[i]);
    } else if (!a.Has("--bench")) {
        AnswerStream(answers, separator);
        return kOk;
    } else {
        ReadList("-", {"key", separator, kMaxKey, SIZE_MAX, false}, &list);
        for (size_t i = 0; i < list.count; ++i) keys.push_back(list.Line(i));
    }
    for (std::string_view k : keys) answers.Answer(k);
    if (a.Has("--bench") && !keys.empty()) {
        FlushOutput();
        size_t lookups = 0;
        Id sink = 0;
        const auto start = std::chrono::steady_clock::now();
        do {
            for (std::string_view k : keys) sink ^= HashDictFind(d.get(), k.data(), int(k.size()));
            lookups += keys.size();
        } while (Milliseconds(start) < 500);
        const double ns = Milliseconds(start) * 1e6 / double(lookups);
        g_sink = sink;  // keeps the timed lookups from being optimised away
        std::printf("%zu lookups, %.1f ns each\n", lookups, ns);
    }
    return kOk;
}

// ---- attribute dictionaries ---------------------------------------------------------------------------

struct AttrCloser {
    void operator()(AttrDict* ad) const { AttrDictClose(ad); }
};
using OpenAttr = std::unique_ptr<AttrDict, AttrCloser>;

// The stem of a pair: NAME, or NAME without the .idx or .dat that names one of its files.
std::string AttrStem(const std::string& name) {
    if ((EndsWith(name, ".idx") || EndsWith(name, ".dat")) && !Exists(name + ".idx")) {
        return name.substr(0, name.size() - 4);
    }
    return name;
}

// Opens the pair stem.idx and stem.dat, or says which file is at fault. The library is asked first,
// since a pair caught in the middle of a commit opens through an index under another name; when it
// refuses, each file is looked at on its own, so that a missing, unreadable or odd one is named, and
// a pair whose two files are both sound on their own is one whose files do not agree.
OpenAttr OpenAttrOrFail(const std::string& stem) {
    const PathParts p = Split(stem + ".idx");
    AttrDict* ad;
    {
        const Quiet quiet;
        ad = AttrDictOpen(p.dir.c_str(), p.name.c_str());
    }
    if (ad != nullptr) return OpenAttr(ad);
    const int err = errno;
    for (const char* suffix : {".idx", ".dat"}) RequireRegularFile(stem + suffix);
    if (err == EINVAL) {
        FailOn(stem + ".idx", "does not check out with " + stem + ".dat: they are not the two files of one " +
                                  "attribute dictionary, or one of them is damaged");
    }
    FailOn(stem + ".idx", "cannot open with " + stem + ".dat: " + LibraryReason(err));
}

const char* const kAttrHelp =
    "usage: zkdict attr build NAME < strings\n"
    "       zkdict attr get NAME ID...\n"
    "       zkdict attr dump NAME\n"
    "\n"
    "An attribute dictionary keeps short strings (up to 255 bytes) by identifier in the file pair\n"
    "NAME.idx and NAME.dat. build stores the lines of standard input as strings 0, 1, ... and puts\n"
    "the pair in place atomically; get prints the strings of the given identifiers (\"not found\"\n"
    "beyond the last); dump prints every identifier, a tab and its string. NAME may also be given\n"
    "as one of the two files.\n";

UInt DumpOne(UByte* bytes, UInt length, void* ptr) {
    UInt* id = static_cast<UInt*>(ptr);
    std::printf("%u\t%.*s\n", (*id)++, int(length), reinterpret_cast<const char*>(bytes));
    return 0;
}

int Attr(int argc, char** argv) {
    const Args a = Parse(argc, argv, 2, {}, {});
    if (a.help || a.positional.empty()) {
        if (!a.help) Usage("attr takes build, get or dump");
        return std::fputs(kAttrHelp, stdout), kOk;
    }
    const std::string& what = a.positional[0];
    if (a.positional.size() < 2) Usage("attr " + what + " takes NAME");
    const std::string& name = a.positional[1];
    if (what == "build") {
        if (a.positional.size() != 2) Usage("attr build takes only NAME; the strings come from standard input");
        CheckOutput(name, name + ".idx", "NAME is the stem of the files NAME.idx and NAME.dat");
        CheckOutput(name, name + ".dat", "NAME is the stem of the files NAME.idx and NAME.dat");
        LineList lines;
        ReadList("-", {"string", '\n', kMaxString, UINT_MAX_VALUE, false}, &lines);
        const PathParts p = Split(name + ".idx");
        const Quiet quiet;
        AttrDict* ad = AttrDictBuild(p.dir.c_str(), p.name.c_str(), FALSE);
        if (ad == nullptr) FailOn(name + ".idx", "cannot create: " + LibraryReason(errno));
        for (size_t i = 0; i < lines.count; ++i) {
            const std::string_view s = lines.Line(i);
            AttrDictAdd(ad, reinterpret_cast<const UByte*>(s.data()), UByte(s.size()));
        }
        if (!AttrDictCommit(ad)) FailOn(name + ".idx", "cannot write the pair: " + LibraryReason(errno));
        std::printf("wrote %s.idx and %s.dat: %zu strings\n", name.c_str(), name.c_str(), lines.count);
        return kOk;
    }
    if (what == "get") {
        if (a.positional.size() < 3) Usage("attr get takes NAME and at least one ID");
        std::vector<UInt> ids;
        for (size_t i = 2; i < a.positional.size(); ++i)
            ids.push_back(UInt(Number(a.positional[i], "ID", 0xFFFFFFFFu)));
        const OpenAttr ad = OpenAttrOrFail(AttrStem(name));
        for (UInt id : ids) {
            const UByte* bytes = nullptr;
            const UByte len = AttrDictGet(ad.get(), id, &bytes);
            if (bytes == nullptr) {
                std::printf("%u\tnot found\n", id);
            } else {
                std::printf("%u\t%.*s\n", id, int(len), reinterpret_cast<const char*>(bytes));
            }
        }
        return kOk;
    }
    if (what == "dump") {
        if (a.positional.size() != 2) Usage("attr dump takes only NAME");
        const std::string stem = AttrStem(name);
        const OpenAttr ad = OpenAttrOrFail(stem);
        UInt id = 0;
        errno = 0;
        if (AttrDictSize(ad.get()) > 0) AttrDictEnumerate(ad.get(), 0, DumpOne, &id);
        // An empty data file holds only empty strings, and the walk then calls nothing.
        if (id != AttrDictSize(ad.get()) && ad->a_dat_size != 0) {
            FailOn(stem + ".dat", "string " + std::to_string(id) + ": " + Reason(errno != 0 ? errno : EINVAL));
        }
        return kOk;
    }
    Usage("attr takes build, get or dump, not \"" + what + "\"");
}

// ---- hash table files ---------------------------------------------------------------------------------

const char* const kTableHelp =
    "usage: zkdict table build KEYS OUT [--values FILE] [-0]\n"
    "       zkdict table dump FILE\n"
    "\n"
    "build makes the hash table file OUT (OUT must not name a directory) of the keys of the list\n"
    "KEYS: one per line (NUL-separated with -0), each of at most 65535 bytes, from a file, a pipe or\n"
    "- for standard input. With --values, line i of FILE is the value of key i in hexadecimal, every\n"
    "value of the same length, which becomes the table's value size (at most 65535 bytes); without,\n"
    "values are empty. Duplicate keys are refused, naming both lines.\n"
    "dump prints every entry of the hash table file FILE in storage order: the key, a tab and the\n"
    "value bytes in hexadecimal. Bytes of a key outside printable ASCII are shown as \\xNN.\n";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsHex(std::string_view hex) {
    return hex.size() % 2 == 0 && std::all_of(hex.begin(), hex.end(), [](char c) { return HexDigit(c) >= 0; });
}

void DecodeHex(std::string_view hex, UByte* out) {
    for (size_t i = 0; i < hex.size(); i += 2) out[i / 2] = UByte(HexDigit(hex[i]) << 4 | HexDigit(hex[i + 1]));
}

int TableBuild(const Args& a) {
    if (a.positional.size() != 3) Usage("table build takes KEYS and OUT");
    const std::string& keysPath = a.positional[1];
    const std::string& out = a.positional[2];
    if (a.Has("--values") && keysPath == "-" && a.options.at("--values") == "-") {
        Usage("KEYS and --values cannot both be -");
    }
    CheckOutput(out, out, "OUT is a file to write");
    LineList keys;
    ReadList(keysPath, KeyRules(a.Has("-0") ? '\0' : '\n', kMaxTableEntries), &keys);
    LineList values;
    UInt valueBytes = 0;
    if (a.Has("--values")) {
        ReadList(a.options.at("--values"), {"value", '\n', 2 * kMaxKey, kMaxTableEntries, false}, &values);
        if (values.count != keys.count) {
            FailOn(values.name, std::to_string(values.count) + " values for " + std::to_string(keys.count) + " keys");
        }
        if (values.count > 0) valueBytes = UInt(values.Line(0).size() / 2);
    }
    const std::unique_ptr<HashTable, void (*)(HashTable*)> t(
        HashTableNew(UInt(std::max<size_t>(keys.count, 5)), nullptr, nullptr, nullptr, valueBytes, 0, FALSE),
        HashTableFree);
    for (size_t i = 0; i < keys.count; ++i) {
        const std::string_view key = keys.Line(i);
        const UInt before = HashTableSize(t.get());
        void* value;
        while ((value = HashTableFind(t.get(), key.data(), UInt(key.size()), TRUE, nullptr, nullptr)) == nullptr) {
            if (!HashTableFull(t.get())) FailOn(keys.At(i), "the keys take more room than a hash table has");
            HashTableGrow(t.get(), 2.0f, nullptr);
        }
        if (HashTableSize(t.get()) == before) {
            size_t first = 0;
            while (keys.Line(first) != key) ++first;
            FailOn(keys.name, "duplicate key " + Quoted(key) + " " + keys.Positions(first, i));
        }
        if (values.count > 0) {
            const std::string_view hex = values.Line(i);
            if (!IsHex(hex)) FailOn(values.At(i), Quoted(hex) + " is not bytes in hexadecimal, two digits each");
            if (hex.size() != 2 * size_t{valueBytes}) {
                FailOn(values.At(i), "a value of " + std::to_string(hex.size() / 2) + " bytes; the first has " +
                                         std::to_string(valueBytes));
            }
            DecodeHex(hex, static_cast<UByte*>(value));
        }
    }
    bool written;
    {
        const Quiet quiet;
        written = HashTableWrite(t.get(), out.c_str()) == TRUE;
    }
    if (!written) {
        FailOn(out, "cannot write: " + LibraryReason(errno));
    }
    std::printf("wrote %s: %u entries, %u value bytes each\n", out.c_str(), HashTableSize(t.get()), valueBytes);
    return kOk;
}

// Reads a hash table file, the library's way; null, with errno, when it refuses the file.
HashTable* ReadTable(const std::string& path) {
    const Quiet quiet;
    return HashTableRead(path.c_str(), nullptr, nullptr, nullptr, FALSE);
}

int TableDump(const Args& a) {
    if (a.positional.size() != 2) Usage("table dump takes FILE");
    const std::string& path = a.positional[1];
    RequireRegularFile(path);
    HashTable* read = ReadTable(path);
    if (read == nullptr)
        FailOn(path, errno == EINVAL ? "not a hash table file" : "cannot read: " + LibraryReason(errno));
    const std::unique_ptr<HashTable, void (*)(HashTable*)> t(read, HashTableFree);
    HashTableIterator* it = HashTableIteratorInit(t.get());
    std::string hex;
    for (; !HashTableIteratorEnd(it); HashTableIteratorNext(it)) {
        const UByte* key = nullptr;
        const UInt len = HashTableIteratorGetKey(it, &key);
        const auto* value = static_cast<const UByte*>(HashTableIteratorGetValue(it));
        hex.clear();
        for (UInt i = 0; i < t->t_val_len; ++i) {
            hex += "0123456789abcdef"[value[i] >> 4];
            hex += "0123456789abcdef"[value[i] & 15];
        }
        const std::string shown = Printable({reinterpret_cast<const char*>(key), len});
        std::printf("%s\t%s\n", shown.c_str(), hex.c_str());
    }
    HashTableIteratorFinalize(it);
    return kOk;
}

int Table(int argc, char** argv) {
    const Args a = Parse(argc, argv, 2, {"--values"}, {"-0"});
    if (a.help) return std::fputs(kTableHelp, stdout), kOk;
    if (!a.positional.empty() && a.positional[0] == "build") return TableBuild(a);
    if (!a.positional.empty() && a.positional[0] == "dump") {
        if (!a.options.empty()) Usage("table dump takes no options");
        return TableDump(a);
    }
    Usage("table takes build KEYS OUT or dump FILE");
}

// ---- info -------------------------------------------------------------------------------------------

const char* const kInfoHelp =
    "usage: zkdict info FILE\n"
    "\n"
    "Tells whether FILE is a hash table file, a static dictionary image or one file of an attribute\n"
    "dictionary pair (NAME.idx and NAME.dat; FILE may also be NAME), by opening it with the\n"
    "library's own reader, which checks it; then prints its header fields and sizes. Anything else\n"
    "is refused.\n";

bool InfoTable(const std::string& path) {
    HashTable* t = ReadTable(path);
    if (t == nullptr) return false;
    std::printf("%s: hash table file\n", path.c_str());
    std::printf("  selected:          %s\n", t->t_selected ? "yes (frozen by an in-place selection)" : "no");
    std::printf("  value bytes:       %u\n", t->t_val_len);
    std::printf("  key length width:  %u%s\n", unsigned(t->t_key_size), t->t_key_size == 0 ? " (variable)" : "");
    std::printf("  entries:           %u of %u\n", t->t_entries_used, t->t_entries_capacity);
    std::printf("  slots:             %u\n", t->t_entries_size);
    std::printf("  data bytes:        %zu used of %zu\n", size_t(t->t_data_used), size_t(t->t_data_size));
    HashTableFree(t);
    return true;
}

bool InfoDict(const std::string& file) {
    const OpenDict d(MapDictionary(file));
    if (d == nullptr) return false;
    const HashDict* h = d.get();
    std::printf("%s: static dictionary image\n", file.c_str());
    std::printf("  keys:              %u\n", h->h_nentries);
    std::printf("  vertices:          %u\n", h->h_size);
    std::printf("  longest key:       %u bytes\n", unsigned(h->h_maxlen));
    std::printf("  entry width:       %u bits\n", unsigned(h->h_nbits));
    std::printf("  answers:           %s\n",
                AnswersAreIdentifiers(h) ? "identifiers (the keys' positions in the list)" : "values of its builder's");
    std::printf("  byte values:       %u\n", unsigned(h->h_nchars));
    std::printf("  check bytes:       %u per key\n", unsigned(h->h_probe));
    std::printf("  tables:            rank %zu, coefficients %zu, function %zu, check %zu bytes\n",
                size_t(h->h_rank_size), size_t(h->h_coef_size), size_t(h->h_fun_size), size_t(h->h_probe_size));
    std::printf("  image bytes:       %zu", HashDictFileSize(h));
    if (h->h_file_size != HashDictFileSize(h)) std::printf(" (file %zu)", size_t(h->h_file_size));
    std::printf("\n  bits per key:      %.2f\n",
                h->h_nentries == 0 ? 0.0 : 8.0 * double(HashDictFileSize(h)) / double(h->h_nentries));
    return true;
}

void InfoAttr(const std::string& path, const std::string& stem) {
    const OpenAttr ad = OpenAttrOrFail(stem);
    std::printf("%s: attribute dictionary %s (.idx and .dat)\n", path.c_str(), stem.c_str());
    std::printf("  strings:           %u\n", AttrDictSize(ad.get()));
    std::printf("  index bytes:       %zu\n", ad->a_idx_size);
    std::printf("  data bytes:        %zu\n", ad->a_dat_size);
}

int Info(int argc, char** argv) {
    const Args a = Parse(argc, argv, 2, {}, {});
    if (a.help) return std::fputs(kInfoHelp, stdout), kOk;
    if (a.positional.size() != 1) Usage("info takes one FILE");
    const std::string& path = a.positional[0];
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        RequireRegularFile(path);
        // The table reader checks its whole file, the image reader only that the tables fit: ask the
        // stricter one first.
        if (InfoTable(path)) return kOk;
        if (Split(path).hasSuffix && InfoDict(path)) return kOk;
        if (EndsWith(path, ".idx") || EndsWith(path, ".dat")) {
            InfoAttr(path, path.substr(0, path.size() - 4));
            return kOk;
        }
        FailOn(path, "not a hash table file, dictionary image or attribute dictionary file");
    }
    const int err = errno;
    // A name that is no file may be the stem of a pair, or a dictionary without its suffix.
    if (err == ENOENT && !Exists(path)) {
        if (Exists(path + ".idx") || Exists(path + ".dat")) {
            InfoAttr(path, path);
            return kOk;
        }
        const std::string dict = path + "." HASHDICT_SUFFIX;
        if (Exists(dict)) {
            RequireRegularFile(dict);
            if (InfoDict(dict)) return kOk;
            FailOn(dict, "not a dictionary image");
        }
    }
    FailOn(path, StatProblem(path, err));
}

// ---- version and the command list ---------------------------------------------------------------------

int Version() {
    const char* running = ZKDictVersion();
    std::printf("zkdict %s", running);
    if (std::strcmp(running, ZKDICT_VERSION_STRING) != 0) std::printf(" (built with %s)", ZKDICT_VERSION_STRING);
    std::printf("\n");
    return kOk;
}

const char* const kHelp =
    "usage: zkdict <command> [arguments]\n"
    "\n"
    "commands:\n"
    "  build KEYS OUT        build a static dictionary from a list of keys\n"
    "  lookup DICT [KEY...]  look keys up in a dictionary; a filter without KEY\n"
    "  info FILE             tell what FILE holds and print its header\n"
    "  attr build|get|dump NAME ...\n"
    "                        attribute dictionaries (NAME.idx and NAME.dat)\n"
    "  table build KEYS OUT  build a hash table file from a list of keys (and values)\n"
    "  table dump FILE       print the entries of a hash table file\n"
    "  version               print the library's version (also --version)\n"
    "\n"
    "zkdict <command> --help describes a command. Exit status: 0 on success, 1 when the operation\n"
    "failed, 2 on a usage error.\n";

int Run(int argc, char** argv) {
    if (argc < 2) Usage("no command given");
    const std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") return std::fputs(kHelp, stdout), kOk;
    if (command == "--version" || command == "version") return Version();
    g_command = "zkdict " + command;
    if (command == "build") return Build(argc, argv);
    if (command == "lookup") return Lookup(argc, argv);
    if (command == "info") return Info(argc, argv);
    if (command == "attr") return Attr(argc, argv);
    if (command == "table") return Table(argc, argv);
    g_command = "zkdict";
    Usage("unknown command \"" + command + "\"");
}

}  // namespace

int main(int argc, char** argv) {
    ZKSetMessageHandler(Handler);
    int status;
    try {
        status = Run(argc, argv);
    } catch (const Exit& e) {
        return e.status;
    } catch (const std::bad_alloc&) {
        g_progress.Clear();
        std::fprintf(stderr, "%s: out of memory\n", g_command.c_str());
        return kFailed;
    } catch (const std::exception& e) {
        g_progress.Clear();
        std::fprintf(stderr, "%s: %s\n", g_command.c_str(), e.what());
        return kFailed;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: standard output: cannot write: %s\n", g_command.c_str(), Reason(errno).c_str());
        return kFailed;
    }
    return status;
}
