// zkdict: the command-line face of the library. Builds static dictionaries from key files and looks
// keys up in them, tells what kind of file a path holds, and builds, reads and dumps attribute
// dictionaries and hash table files. Run `zkdict --help`, or `zkdict <command> --help`.
//
// Exit status: 0 on success, 1 when an operation failed (a file that cannot be read or written, a
// key list that cannot be built), 2 on a usage error. Messages name the file and the problem.
#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dict/attrdict.h"
#include "dict/hashdict.h"
#include "dict/hashtable.h"
#include "zklib/zklib.h"

namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

// Raised with the exit status it asks for; main prints nothing more.
struct Exit {
    int status;
};

std::string g_command = "zkdict";

[[noreturn]] void Fail(int status, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", g_command.c_str(), message.c_str());
    throw Exit{status};
}

[[noreturn]] void Usage(const std::string& message) { Fail(kUsage, message + " (see --help)"); }

std::string Reason(int err) { return std::strerror(err); }

// ---- the library's reports --------------------------------------------------------------------------

// Reports go through zklib's message service. While a command probes or builds, they are kept, so
// that a refused probe stays quiet and the build's progress reports drive the progress display;
// the text of the last one explains a failure.
struct Reports {
    bool keep = false;
    std::string last;
    int retries = 0;
    void (*onProgress)(const char* text) = nullptr;
};

Reports g_reports;

void Handler(const char* path, int line, const char* module, const char* function, int severity, int flag,
             const char* text) {
    (void)path, (void)line, (void)module, (void)function, (void)flag;
    const std::string_view t = text != nullptr ? text : "";
    if (t.rfind("hdict: retry ", 0) == 0) g_reports.retries = std::atoi(text + 13);
    if (g_reports.onProgress != nullptr && severity <= 2) g_reports.onProgress(text);
    if (severity >= 3) g_reports.last = std::string(t);
    if (!g_reports.keep && severity >= 3) std::fprintf(stderr, "%s: %s\n", g_command.c_str(), text);
}

// ---- files and paths ----------------------------------------------------------------------------------

std::optional<std::string> ReadAll(const std::string& path) {
    if (path == "-") return std::string(std::istreambuf_iterator<char>(std::cin), {});
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

std::string ReadOrFail(const std::string& path) {
    errno = 0;
    std::optional<std::string> bytes = ReadAll(path);
    if (!bytes) Fail(kFailed, path + ": cannot read: " + Reason(errno != 0 ? errno : EIO));
    return *bytes;
}

// Lines split at '\n' (or at NUL with zeroSeparated); a final separator ends the last line and
// does not start another.
std::vector<std::string_view> Lines(std::string_view text, bool zeroSeparated) {
    std::vector<std::string_view> lines;
    const char sep = zeroSeparated ? '\0' : '\n';
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(sep, start);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

struct PathParts {
    std::string dir, name, suffix;
};

// dir/name.suffix as the library's openers and writers take it. A name without a dot gets
// defaultSuffix, when one is given.
PathParts Split(const std::string& path, const char* defaultSuffix) {
    PathParts p;
    const size_t slash = path.rfind('/');
    p.dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = base.rfind('.');
    if (defaultSuffix != nullptr && (dot == std::string::npos || dot == 0)) {
        p.name = base;
        p.suffix = defaultSuffix;
    } else if (defaultSuffix != nullptr) {
        p.name = base.substr(0, dot);
        p.suffix = base.substr(dot + 1);
    } else {
        p.name = base;
    }
    return p;
}

std::string Joined(const PathParts& p) {
    return (p.dir == "." ? "" : p.dir == "/" ? "/" : p.dir + "/") + p.name + (p.suffix.empty() ? "" : "." + p.suffix);
}

// A dictionary image read into memory the library can open in place: 8-byte aligned, preceded by
// its length as a memory image carries it.
struct LoadedDict {
    std::vector<ULong> words;
    HashDict* dict = nullptr;
    ~LoadedDict() { HashDictMMFree(dict); }
};

bool LoadDict(const std::string& bytes, LoadedDict* out) {
    out->words.assign(bytes.size() / 8 + 2, 0);
    const ULong length = bytes.size();
    std::memcpy(out->words.data(), &length, 8);
    if (!bytes.empty()) std::memcpy(out->words.data() + 1, bytes.data(), bytes.size());
    const auto* base = reinterpret_cast<const UByte*>(out->words.data());
    const UByte* cursor = base;
    return HashDictMMRead(&out->dict, base, &cursor, base + 8 + bytes.size()) == TRUE;
}

std::string Printable(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

double Milliseconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// ---- arguments ------------------------------------------------------------------------------------------

struct Args {
    std::vector<std::string> positional;
    std::unordered_map<std::string, std::string> options;  // --name value, or "" for a flag
    bool help = false;
};

// Options listed in withValue take the next argument; other options are flags. "--" ends options.
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

// ---- build ------------------------------------------------------------------------------------------

const char* const kBuildHelp =
    "usage: zkdict build KEYS OUT [--check N] [--values FILE --bits N] [--swap] [-0]\n"
    "\n"
    "Builds a static dictionary from KEYS (one key per line, or NUL-separated with -0; - reads\n"
    "standard input) and writes its image to OUT (\".dic\" is added to a name without a suffix).\n"
    "Key i (from 0, in file order) gets identifier i, or with --values the number on line i of FILE.\n"
    "  --check N      store N check bytes per key (0 to 8), so that foreign keys are refused\n"
    "  --values FILE  one unsigned number per key, each below 2^bits; not with --check\n"
    "  --bits N       the width of the values (1 to 32); needed with --values\n"
    "  --swap         write the image for a host of the other byte order\n"
    "  -0             keys are separated by NUL bytes instead of newlines\n"
    "Prints the number of keys, construction attempts, build time, image bytes and bits per key.\n"
    "A progress display goes to a terminal for large inputs.\n";

struct BuildInput {
    std::vector<std::string_view> keys;
    std::vector<Id> values;
};

UShort BuildKey(void* dict, Id idx, const UByte** bytes) {
    const std::string_view k = static_cast<BuildInput*>(dict)->keys[idx];
    *bytes = reinterpret_cast<const UByte*>(k.data());
    return UShort(k.size());
}

Id BuildValue(void* dict, Id idx) { return static_cast<BuildInput*>(dict)->values[idx]; }

bool g_progress = false;

// The build's four stages as a bar, each a quarter of it: reading, attempts, assignment, writing.
// The attempts of the hypergraph search have no known count, so the bar moves by stage and the text
// says which attempt runs.
enum Stage { kReading, kAttempts, kAssigning, kWriting, kStages };

void Progress(Stage stage, const std::string& text) {
    if (!g_progress) return;
    constexpr int kWidth = 24;
    const int filled = kWidth * stage / kStages;
    const std::string bar = std::string(size_t(filled), '#') + std::string(size_t(kWidth - filled), '.');
    std::fprintf(stderr, "\r[%s] %d/%d %-32s", bar.c_str(), int(stage) + 1, int(kStages), text.c_str());
}

void BuildProgress(const char* text) {
    const std::string_view t = text;
    if (t.rfind("hdict: retry ", 0) == 0) {
        Progress(kAttempts, "building: attempt " + std::to_string(std::atoi(text + 13) + 1));
    } else if (t.rfind("hdict: size=", 0) == 0) {
        Progress(kAssigning, "assigning");
    }
}

int Build(int argc, char** argv) {
    const Args a = Parse(argc, argv, 2, {"--check", "--values", "--bits"}, {"--swap", "-0"});
    if (a.help) return std::fputs(kBuildHelp, stdout), kOk;
    if (a.positional.size() != 2) Usage("build takes KEYS and OUT");
    const std::string& keysPath = a.positional[0];
    const bool hasValues = a.options.count("--values") != 0;
    if (hasValues != (a.options.count("--bits") != 0)) Usage("--values and --bits go together");
    if (hasValues && a.options.count("--check")) Usage("--check cannot be used with --values");
    const UByte probe = a.options.count("--check") ? UByte(Number(a.options.at("--check"), "--check", 8)) : 0;
    const UByte bits = hasValues ? UByte(Number(a.options.at("--bits"), "--bits", 32)) : 0;
    if (hasValues && bits == 0) Usage("--bits must be from 1 to 32");

    const auto start = std::chrono::steady_clock::now();
    const std::string text = ReadOrFail(keysPath);
    BuildInput input;
    input.keys = Lines(text, a.options.count("-0") != 0);
    g_progress = isatty(STDERR_FILENO) && input.keys.size() >= 100000;
    Progress(kReading, "reading");
    if (input.keys.size() > HASHDICT_MAX_ENTRIES) {
        Fail(kFailed, keysPath + ": " + std::to_string(input.keys.size()) + " keys, more than a dictionary holds");
    }
    // Duplicates are found here, where their lines are known; the library could only give up.
    std::unordered_map<std::string_view, size_t> seen;
    seen.reserve(input.keys.size());
    for (size_t i = 0; i < input.keys.size(); ++i) {
        if (input.keys[i].size() > 0xFFFF) {
            Fail(kFailed, keysPath + ":" + std::to_string(i + 1) + ": key of " + std::to_string(input.keys[i].size()) +
                              " bytes, longer than 65535");
        }
        auto [it, fresh] = seen.emplace(input.keys[i], i);
        if (!fresh) {
            Fail(kFailed, keysPath + ": duplicate key \"" + Printable(input.keys[i]) + "\" on lines " +
                              std::to_string(it->second + 1) + " and " + std::to_string(i + 1));
        }
    }
    seen = {};
    if (hasValues) {
        const std::string& valuesPath = a.options.at("--values");
        const std::string values = ReadOrFail(valuesPath);
        const std::vector<std::string_view> lines = Lines(values, false);
        if (lines.size() != input.keys.size()) {
            Fail(kFailed, valuesPath + ": " + std::to_string(lines.size()) + " values for " +
                              std::to_string(input.keys.size()) + " keys");
        }
        const ULong max = (ULong{1} << bits) - 1;
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string v(lines[i]);
            char* end = nullptr;
            errno = 0;
            const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || errno != 0 || n > max || v[0] == '-') {
                Fail(kFailed, valuesPath + ":" + std::to_string(i + 1) + ": \"" + Printable(v) +
                                  "\" is not a number below 2^" + std::to_string(bits));
            }
            input.values.push_back(Id(n));
        }
    }

    Progress(kAttempts, "building: attempt 1");
    g_reports.onProgress = BuildProgress;
    g_reports.retries = 0;
    const auto buildStart = std::chrono::steady_clock::now();
    HashDict* d = HashDictBuild(Id(input.keys.size()), &input, BuildKey, hasValues ? BuildValue : nullptr, bits,
                                probe, TRUE);
    const double buildMs = Milliseconds(buildStart);
    g_reports.onProgress = nullptr;

    Progress(kWriting, "writing");
    PathParts out = Split(a.positional[1], HASHDICT_SUFFIX);
    const bool written = HashDictWrite(d, out.dir.c_str(), out.name.c_str(), out.suffix.c_str(),
                                       a.options.count("--swap") ? TRUE : FALSE) == TRUE;
    const int err = errno;
    const size_t bytes = HashDictFileSize(d);
    HashDictFree(d);
    if (g_progress) std::fprintf(stderr, "\r%-70s\r", "");
    if (!written) Fail(kFailed, Joined(out) + ": cannot write: " + Reason(err));
    std::printf("wrote %s\n", Joined(out).c_str());
    std::printf("keys: %zu\nattempts: %d\nbuild time: %.1f ms (%.1f ms in all)\nimage bytes: %zu\n"
                "bits per key: %.2f\n",
                input.keys.size(), g_reports.retries + 1, buildMs, Milliseconds(start), bytes,
                input.keys.empty() ? 0.0 : 8.0 * double(bytes) / double(input.keys.size()));
    return kOk;
}

// ---- lookup -----------------------------------------------------------------------------------------

const char* const kLookupHelp =
    "usage: zkdict lookup DICT [KEY...] [--bench]\n"
    "\n"
    "Looks each KEY up in the dictionary image DICT (keys from standard input, one per line, when\n"
    "none are given) and prints the key, a tab and its identifier or value, or \"not found\". A\n"
    "dictionary without check bytes answers a foreign key with some identifier: only check bytes\n"
    "(zkdict build --check) let it say \"not found\" reliably.\n"
    "  --bench   also time the lookups of all the keys, repeated for at least half a second\n";

volatile Id g_sink;

std::string DictOrFail(const std::string& path, LoadedDict* d) {
    const std::string bytes = ReadOrFail(path);
    g_reports.keep = true;
    const bool ok = LoadDict(bytes, d);
    g_reports.keep = false;
    if (!ok) Fail(kFailed, path + ": not a dictionary image (" + Reason(EINVAL) + ")");
    return bytes;
}

int Lookup(int argc, char** argv) {
    const Args a = Parse(argc, argv, 2, {}, {"--bench"});
    if (a.help) return std::fputs(kLookupHelp, stdout), kOk;
    if (a.positional.empty()) Usage("lookup takes DICT");
    LoadedDict d;
    DictOrFail(a.positional[0], &d);
    std::string input;
    std::vector<std::string_view> keys;
    if (a.positional.size() > 1) {
        for (size_t i = 1; i < a.positional.size(); ++i) keys.push_back(a.positional[i]);
    } else {
        input = std::string(std::istreambuf_iterator<char>(std::cin), {});
        keys = Lines(input, false);
    }
    for (std::string_view k : keys) {
        const Id id = HashDictFind(d.dict, k.data(), int(k.size()));
        if (id == HASHDICT_NOT_FOUND) {
            std::printf("%.*s\tnot found\n", int(k.size()), k.data());
        } else {
            std::printf("%.*s\t%u\n", int(k.size()), k.data(), id);
        }
    }
    if (a.options.count("--bench") && !keys.empty()) {
        size_t lookups = 0;
        Id sink = 0;
        const auto start = std::chrono::steady_clock::now();
        do {
            for (std::string_view k : keys) sink ^= HashDictFind(d.dict, k.data(), int(k.size()));
            lookups += keys.size();
        } while (Milliseconds(start) < 500);
        const double ns = Milliseconds(start) * 1e6 / double(lookups);
        g_sink = sink;  // keeps the timed lookups from being optimised away
        std::printf("%zu lookups, %.1f ns each\n", lookups, ns);
    }
    return kOk;
}

// ---- info -------------------------------------------------------------------------------------------

const char* const kInfoHelp =
    "usage: zkdict info FILE\n"
    "\n"
    "Tells whether FILE is a hash table file, a static dictionary image or one file of an attribute\n"
    "dictionary pair (NAME.idx and NAME.dat), by opening it with the library's own reader, which\n"
    "checks it whole; then prints its header fields and sizes. Anything else is refused.\n";

bool InfoTable(const std::string& path) {
    g_reports.keep = true;
    HashTable* t = HashTableRead(path.c_str(), nullptr, nullptr, nullptr, FALSE);
    g_reports.keep = false;
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

bool InfoDict(const std::string& path, const std::string& bytes) {
    LoadedDict d;
    g_reports.keep = true;
    const bool ok = LoadDict(bytes, &d);
    g_reports.keep = false;
    if (!ok) return false;
    const HashDict* h = d.dict;
    std::printf("%s: static dictionary image\n", path.c_str());
    std::printf("  keys:              %u\n", h->h_nentries);
    std::printf("  vertices:          %u\n", h->h_size);
    std::printf("  longest key:       %u bytes\n", unsigned(h->h_maxlen));
    std::printf("  entry width:       %u bits\n", unsigned(h->h_nbits));
    std::printf("  byte values:       %u\n", unsigned(h->h_nchars));
    std::printf("  check bytes:       %u per key\n", unsigned(h->h_probe));
    std::printf("  tables:            rank %zu, coefficients %zu, function %zu, check %zu bytes\n",
                size_t(h->h_rank_size), size_t(h->h_coef_size), size_t(h->h_fun_size), size_t(h->h_probe_size));
    std::printf("  image bytes:       %zu", HashDictFileSize(h));
    if (bytes.size() != HashDictFileSize(h)) std::printf(" (file %zu)", bytes.size());
    std::printf("\n  bits per key:      %.2f\n",
                h->h_nentries == 0 ? 0.0 : 8.0 * double(HashDictFileSize(h)) / double(h->h_nentries));
    return true;
}

bool InfoAttr(const std::string& path) {
    std::string stem = path;
    for (const char* suffix : {".idx", ".dat"}) {
        if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, suffix) == 0) stem.resize(stem.size() - 4);
    }
    if (stem == path && access((path + ".idx").c_str(), F_OK) != 0) return false;
    const PathParts p = Split(stem, nullptr);
    g_reports.keep = true;
    AttrDict* ad = AttrDictOpen(p.dir.c_str(), p.name.c_str());
    g_reports.keep = false;
    if (ad == nullptr) return false;
    std::printf("%s: attribute dictionary %s (.idx and .dat)\n", path.c_str(), stem.c_str());
    std::printf("  strings:           %u\n", AttrDictSize(ad));
    std::printf("  index bytes:       %zu\n", ad->a_idx_size);
    std::printf("  data bytes:        %zu\n", ad->a_dat_size);
    AttrDictClose(ad);
    return true;
}

int Info(int argc, char** argv) {
    const Args a = Parse(argc, argv, 2, {}, {});
    if (a.help) return std::fputs(kInfoHelp, stdout), kOk;
    if (a.positional.size() != 1) Usage("info takes one FILE");
    const std::string& path = a.positional[0];
    errno = 0;
    const std::optional<std::string> bytes = ReadAll(path);
    if (!bytes && access((path + ".idx").c_str(), F_OK) != 0) {
        Fail(kFailed, path + ": cannot read: " + Reason(errno != 0 ? errno : EIO));
    }
    // The table reader checks its whole file, the image reader only that the tables fit: ask the
    // stricter one first.
    if (bytes && InfoTable(path)) return kOk;
    if (bytes && InfoDict(path, *bytes)) return kOk;
    if (InfoAttr(path)) return kOk;
    Fail(kFailed, path + ": not a hash table file, dictionary image or attribute dictionary");
}

// ---- attr -------------------------------------------------------------------------------------------

const char* const kAttrHelp =
    "usage: zkdict attr build NAME < strings\n"
    "       zkdict attr get NAME ID...\n"
    "       zkdict attr dump NAME\n"
    "\n"
    "An attribute dictionary keeps short strings (up to 255 bytes) by identifier in the file pair\n"
    "NAME.idx and NAME.dat. build stores the lines of standard input as strings 0, 1, ... and puts\n"
    "the pair in place atomically; get prints the strings of the given identifiers (\"not found\"\n"
    "beyond the last); dump prints every identifier, a tab and its string.\n";

AttrDict* OpenAttr(const std::string& name) {
    const PathParts p = Split(name, nullptr);
    g_reports.keep = true;
    AttrDict* ad = AttrDictOpen(p.dir.c_str(), p.name.c_str());
    const int err = errno;
    g_reports.keep = false;
    if (ad == nullptr) Fail(kFailed, name + ".idx: cannot open the attribute dictionary: " + Reason(err));
    return ad;
}

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
        const std::string text(std::istreambuf_iterator<char>(std::cin), {});
        const std::vector<std::string_view> lines = Lines(text, false);
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].size() > 255) {
                Fail(kFailed, "standard input:" + std::to_string(i + 1) + ": string of " +
                                  std::to_string(lines[i].size()) + " bytes, longer than 255");
            }
        }
        const PathParts p = Split(name, nullptr);
        AttrDict* ad = AttrDictBuild(p.dir.c_str(), p.name.c_str(), FALSE);
        if (ad == nullptr) Fail(kFailed, name + ".idx: cannot create: " + Reason(errno));
        for (std::string_view s : lines) AttrDictAdd(ad, reinterpret_cast<const UByte*>(s.data()), UByte(s.size()));
        if (!AttrDictCommit(ad)) Fail(kFailed, name + ": cannot commit: " + Reason(errno));
        std::printf("wrote %s.idx and %s.dat: %zu strings\n", name.c_str(), name.c_str(), lines.size());
        return kOk;
    }
    if (what == "get") {
        if (a.positional.size() < 3) Usage("attr get takes NAME and at least one ID");
        std::vector<UInt> ids;
        for (size_t i = 2; i < a.positional.size(); ++i) ids.push_back(UInt(Number(a.positional[i], "ID", 0xFFFFFFFFu)));
        AttrDict* ad = OpenAttr(name);
        for (UInt id : ids) {
            const UByte* bytes = nullptr;
            const UByte len = AttrDictGet(ad, id, &bytes);
            if (bytes == nullptr) {
                std::printf("%u\tnot found\n", id);
            } else {
                std::printf("%u\t%.*s\n", id, int(len), reinterpret_cast<const char*>(bytes));
            }
        }
        AttrDictClose(ad);
        return kOk;
    }
    if (what == "dump") {
        if (a.positional.size() != 2) Usage("attr dump takes only NAME");
        AttrDict* ad = OpenAttr(name);
        UInt id = 0;
        errno = 0;
        if (AttrDictSize(ad) > 0) AttrDictEnumerate(ad, 0, DumpOne, &id);
        const int err = errno;
        const UInt size = AttrDictSize(ad);
        const bool noData = ad->a_dat_size == 0;
        AttrDictClose(ad);
        // An empty data file holds only empty strings, and the walk then calls nothing.
        if (id != size && !noData) Fail(kFailed, name + ".dat: string " + std::to_string(id) + ": " + Reason(err));
        return kOk;
    }
    Usage("attr takes build, get or dump, not \"" + what + "\"");
}

// ---- table ------------------------------------------------------------------------------------------

const char* const kTableHelp =
    "usage: zkdict table dump FILE\n"
    "\n"
    "Prints every entry of the hash table file FILE in storage order: the key, a tab and the value\n"
    "bytes in hexadecimal. Bytes of a key outside printable ASCII are shown as \\xNN.\n";

int Table(int argc, char** argv) {
    const Args a = Parse(argc, argv, 2, {}, {});
    if (a.help) return std::fputs(kTableHelp, stdout), kOk;
    if (a.positional.size() != 2 || a.positional[0] != "dump") Usage("table takes dump FILE");
    const std::string& path = a.positional[1];
    g_reports.keep = true;
    HashTable* t = HashTableRead(path.c_str(), nullptr, nullptr, nullptr, FALSE);
    const int err = errno;
    g_reports.keep = false;
    if (t == nullptr) Fail(kFailed, path + ": not a hash table file: " + (err != 0 ? Reason(err) : g_reports.last));
    HashTableIterator* it = HashTableIteratorInit(t);
    for (; !HashTableIteratorEnd(it); HashTableIteratorNext(it)) {
        const UByte* key = nullptr;
        const UInt len = HashTableIteratorGetKey(it, &key);
        const auto* value = static_cast<const UByte*>(HashTableIteratorGetValue(it));
        std::string hex;
        for (UInt i = 0; i < t->t_val_len; ++i) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%02x", value[i]);
            hex += buf;
        }
        std::printf("%s\t%s\n", Printable({reinterpret_cast<const char*>(key), len}).c_str(), hex.c_str());
    }
    HashTableIteratorFinalize(it);
    HashTableFree(t);
    return kOk;
}

const char* const kHelp =
    "usage: zkdict <command> [arguments]\n"
    "\n"
    "commands:\n"
    "  build KEYS OUT     build a static dictionary from a key file\n"
    "  lookup DICT [KEY]  look keys up in a dictionary image\n"
    "  info FILE          tell what FILE holds and print its header\n"
    "  attr build|get|dump NAME ...\n"
    "                     attribute dictionaries (NAME.idx and NAME.dat)\n"
    "  table dump FILE    print the entries of a hash table file\n"
    "\n"
    "zkdict <command> --help describes a command. Exit status: 0 on success, 1 when the operation\n"
    "failed, 2 on a usage error.\n";

}  // namespace

int main(int argc, char** argv) {
    ZKSetMessageHandler(Handler);
    try {
        if (argc < 2) Usage("no command given");
        const std::string command = argv[1];
        if (command == "-h" || command == "--help" || command == "help") return std::fputs(kHelp, stdout), kOk;
        g_command = "zkdict " + command;
        int status;
        if (command == "build") {
            status = Build(argc, argv);
        } else if (command == "lookup") {
            status = Lookup(argc, argv);
        } else if (command == "info") {
            status = Info(argc, argv);
        } else if (command == "attr") {
            status = Attr(argc, argv);
        } else if (command == "table") {
            status = Table(argc, argv);
        } else {
            g_command = "zkdict";
            Usage("unknown command \"" + command + "\"");
        }
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "%s: cannot write the output: %s\n", g_command.c_str(), Reason(errno).c_str());
            return kFailed;
        }
        return status;
    } catch (const Exit& e) {
        std::fflush(stdout);
        return e.status;
    }
}
