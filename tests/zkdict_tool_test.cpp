// The zkdict command-line tool, driven through its real binary: every command on valid input,
// refusals with their exit status and messages, what it must not print, and what it must survive
// (directories, FIFOs, sockets, devices and endless streams where files are expected). Every run is
// bounded by timeout(1), so a hang fails its test instead of stalling the suite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "dict/hashdict.h"
#include "dict/hashtable.h"
#include "dict/zkdict_version.h"
#include "tests/test_files.h"

namespace {

using namespace std::string_literals;

struct Outcome {
    int status;
    std::string out, err;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Whether a progress display showed the step part-way: its text, then 1 to 99 and "%".
bool ShowsStepPartWay(const std::string& screen, const std::string& step) {
    for (size_t at = screen.find(step); at != std::string::npos; at = screen.find(step, at + 1)) {
        const int share = std::atoi(screen.c_str() + at + step.size());
        const size_t digits = share >= 10 ? 2 : 1;
        if (share >= 1 && share <= 99 && screen.compare(at + step.size() + digits, 1, "%") == 0) return true;
    }
    return false;
}

class ZkdictTool : public zktest::TempDirTest {
protected:
    // Runs a shell command line with standard input from the file stdinFile.
    Outcome Run(const std::string& command, const std::string& stdinFile) {
        const std::string out = PathOf("stdout"), err = PathOf("stderr");
        const int rc = std::system((command + " <" + stdinFile + " >" + out + " 2>" + err).c_str());
        Outcome r{WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc), Text(out), Text(err)};
        unlink(out.c_str());
        unlink(err.c_str());
        return r;
    }
    // Runs the tool with the arguments (already quoted for the shell) and standard input from the
    // file stdinFile, or from /dev/null; `prefix` goes before the command (another user, say).
    Outcome Tool(const std::string& args, const std::string& stdinFile = "/dev/null", const std::string& prefix = "") {
        return Run(prefix + "timeout -k 5 10 " + ZKDICT_TOOL + " " + args, stdinFile);
    }
    // The same through bash, for process substitution.
    Outcome Bash(const std::string& args) {
        Write("run.sh", "exec timeout -k 5 10 " + std::string(ZKDICT_TOOL) + " " + args + "\n");
        Outcome r = Run("bash " + PathOf("run.sh"), "/dev/null");
        unlink(PathOf("run.sh").c_str());
        return r;
    }
    std::string Text(const std::string& path) {
        const zktest::Bytes b = zktest::ReadFile(path);
        return std::string(b.begin(), b.end());
    }
    void Write(const std::string& name, const std::string& text) {
        zktest::WriteFile(PathOf(name), zktest::Bytes(text.begin(), text.end()));
    }
    // A failure of one operation on one path: status 1, the message about that path, nothing out.
    void ExpectRefused(const Outcome& r, const std::string& command, const std::string& path) {
        EXPECT_EQ(r.status, 1) << command << " " << path << ": " << r.err;
        EXPECT_EQ(r.err.rfind("zkdict " + command + ": " + path, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "") << command << " " << path;
    }
};

TEST_F(ZkdictTool, BuildThenLookUpAndDescribeTheImage) {
    Write("keys", "apple\npear\nplum\n\xff\x01 bytes\n");
    Outcome r = Tool("build " + PathOf("keys") + " " + PathOf("fruit") + " --check 3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "keys: 4\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "attempts: ")) << r.out;
    EXPECT_TRUE(Has(r.out, "bits per key: ")) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Listing(), (std::set<std::string>{"keys", "fruit.dic"}));

    // A dictionary path without its suffix finds the file build made of it.
    r = Tool("lookup " + PathOf("fruit") + " plum apple peach");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "plum\t2\napple\t0\npeach\tnot found\n");
    Write("probe", "\xff\x01 bytes\npear\n");
    r = Tool("lookup " + PathOf("fruit.dic"), PathOf("probe"));
    EXPECT_EQ(r.out, "\xff\x01 bytes\t3\npear\t1\n");
    r = Tool("lookup --bench " + PathOf("fruit.dic") + " pear");
    EXPECT_TRUE(Has(r.out, "pear\t1\n") && Has(r.out, " ns each\n")) << r.out;

    r = Tool("info " + PathOf("fruit.dic"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "static dictionary image") && Has(r.out, "keys:              4\n") &&
                Has(r.out, "check bytes:       3 per key"))
        << r.out;

    // Without a suffix, a path is a dictionary only through PATH.dic.
    r = Tool("lookup " + PathOf("keys") + " apple");
    ExpectRefused(r, "lookup", PathOf("keys"));
    EXPECT_TRUE(Has(r.err, "not a dictionary file")) << r.err;
    r = Tool("lookup " + PathOf("probe.txt") + " apple");
    ExpectRefused(r, "lookup", PathOf("probe.txt"));
}

TEST_F(ZkdictTool, ValuesDuplicatesAndBadInputAreReportedWithTheirLines) {
    Write("keys", "a\nb\nc\n");
    Write("values", "7\n0\n1023\n");
    Outcome r = Tool("build -0 " + PathOf("keys") + " " + PathOf("one.dic"));  // NUL-separated: one key
    EXPECT_TRUE(Has(r.out, "keys: 1\n")) << r.out;
    r = Tool("build " + PathOf("keys") + " " + PathOf("v.dic") + " --values " + PathOf("values") + " --bits 10");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Tool("lookup " + PathOf("v.dic") + " c a b").out, "c\t1023\na\t7\nb\t0\n");

    Write("dups", "x\ny\nz\ny\n");
    r = Tool("build " + PathOf("dups") + " " + PathOf("d.dic"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, PathOf("dups") + ": duplicate key \"y\" on lines 2 and 4")) << r.err;
    // A second empty key is refused as it arrives, which bounds an endless stream of them.
    r = Tool("build -0 - " + PathOf("z.dic"), "/dev/zero");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "standard input: duplicate key \"\" at entries 1 and 2")) << r.err;
    // So does a line longer than any key, whatever follows it.
    r = Tool("build - " + PathOf("z.dic"), "/dev/zero");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "standard input:1: key longer than 65535 bytes")) << r.err;
    Write("long", "short\n" + std::string(65536, 'k') + "\n");
    r = Tool("build " + PathOf("long") + " " + PathOf("l.dic"));
    EXPECT_TRUE(Has(r.err, PathOf("long") + ":2: key longer than 65535 bytes")) << r.err;

    Write("values", "7\n0\n1024\n");
    r = Tool("build " + PathOf("keys") + " " + PathOf("v2.dic") + " --values " + PathOf("values") + " --bits 10");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, PathOf("values") + ":3: \"1024\" is not a number below 2^10")) << r.err;
    Write("values", "7\n0\n");
    r = Tool("build " + PathOf("keys") + " " + PathOf("v2.dic") + " --values " + PathOf("values") + " --bits 10");
    EXPECT_TRUE(Has(r.err, PathOf("values") + ": 2 values for 3 keys")) << r.err;
    r = Tool("build " + PathOf("missing") + " " + PathOf("m.dic"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, PathOf("missing") + ": cannot read: No such file or directory")) << r.err;
    // Nothing is left behind by a build that failed.
    EXPECT_EQ(Listing(), (std::set<std::string>{"keys", "values", "dups", "long", "one.dic", "v.dic"}));
}

TEST_F(ZkdictTool, NumbersThatNameNoKeyAreNotFoundUnlessTheDictionaryHoldsValues) {
    Write("keys", "ab\nba\naa\nbb\nabab\n");
    ASSERT_EQ(Tool("build " + PathOf("keys") + " " + PathOf("ids.dic")).status, 0);
    // Without check bytes a foreign key made of the keys' bytes gives some number; find one that is
    // no key's identifier.
    HashDict* d = HashDictOpen(dir_.c_str(), "ids", "dic");
    ASSERT_NE(d, nullptr);
    std::string foreign;
    Id number = 0;
    for (unsigned i = 1; i < 4096 && foreign.empty(); ++i) {
        std::string candidate;
        for (unsigned bits = i; bits > 1; bits >>= 1) candidate += (bits & 1) != 0 ? 'b' : 'a';
        number = HashDictFind(d, candidate.data(), int(candidate.size()));
        if (number != HASHDICT_NOT_FOUND && number >= HashDictSize(d)) foreign = candidate;
    }
    HashDictClose(d);
    ASSERT_FALSE(foreign.empty()) << "no foreign key answers beyond the key count";
    EXPECT_EQ(Tool("lookup " + PathOf("ids.dic") + " " + foreign + " bb").out, foreign + "\tnot found\nbb\t3\n");
    EXPECT_EQ(Tool("lookup --values " + PathOf("ids.dic") + " " + foreign).out,
              foreign + "\t" + std::to_string(number) + "\n");

    // Values as wide as the identifiers of as many keys: build widens them so that lookup still
    // prints a value beyond the key count.
    Write("three", "x\ny\nz\n");
    Write("values", "3\n0\n2\n");
    Outcome r =
        Tool("build " + PathOf("three") + " " + PathOf("vals.dic") + " --values " + PathOf("values") + " --bits 2");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "value bits: 3 (one more than --bits")) << r.out;
    EXPECT_EQ(Tool("lookup " + PathOf("vals.dic") + " x y z").out, "x\t3\ny\t0\nz\t2\n");
    EXPECT_TRUE(Has(Tool("info " + PathOf("vals.dic")).out, "answers:           values")) << r.out;
}

TEST_F(ZkdictTool, LookupIsAFilterThatAnswersEachKeyBeforeWaitingForTheNext) {
    Write("keys", "apple\npear\n");
    ASSERT_EQ(Tool("build " + PathOf("keys") + " " + PathOf("fruit.dic")).status, 0);
    signal(SIGPIPE, SIG_IGN);  // a tool that died early must fail the test, not end it
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const std::string dict = PathOf("fruit.dic");
    // Ends the tool if the test stops before it has waited for it.
    struct Child {
        pid_t pid;
        ~Child() {
            if (pid <= 0) return;
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } child{fork()};
    ASSERT_GE(child.pid, 0);
    if (child.pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        execl(ZKDICT_TOOL, "zkdict", "lookup", dict.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    // Reads until the text ends with `until`, waiting at most ten seconds for each piece.
    const auto readUntil = [fd = out[0]](const std::string& until) {
        std::string got;
        pollfd p{fd, POLLIN, 0};
        while (got.size() < until.size() || got.compare(got.size() - until.size(), until.size(), until) != 0) {
            char buf[256];
            if (poll(&p, 1, 10000) != 1) break;
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, size_t(n));
        }
        return got;
    };
    ASSERT_EQ(write(in[1], "apple\n", 6), 6);
    EXPECT_EQ(readUntil("\n"), "apple\t0\n");  // while its standard input is still open
    ASSERT_EQ(write(in[1], "kiwi\npe", 7), 7);
    EXPECT_EQ(readUntil("\n"), "kiwi\tnot found\n");
    ASSERT_EQ(write(in[1], "ar", 2), 2);  // the last key needs no newline
    close(in[1]);
    EXPECT_EQ(readUntil("\n"), "pear\t1\n");
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
    child.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // A key longer than any dictionary holds ends the filter instead of growing its buffer.
    const Outcome r = Tool("lookup " + dict, "/dev/zero");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "standard input:1: key longer than 65535 bytes")) << r.err;
}

TEST_F(ZkdictTool, NulSeparatedKeysRoundTrip) {
    Write("keys", "two\nlines\0plain\0\0"s);  // an empty key too
    Outcome r = Tool("build -0 " + PathOf("keys") + " " + PathOf("z.dic"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "keys: 3\n")) << r.out;
    Write("probe", "plain\0two\nlines\0other\0\0"s);
    r = Tool("lookup -0 " + PathOf("z.dic"), PathOf("probe"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "plain\t1\0two\nlines\t0\0other\tnot found\0\t2\0"s);
    Write("dups", "a\0b\0a"s);
    r = Tool("build -0 " + PathOf("dups") + " " + PathOf("d.dic"));
    EXPECT_TRUE(Has(r.err, "duplicate key \"a\" at entries 1 and 3")) << r.err;
}

TEST_F(ZkdictTool, TableBuildAndDumpRoundTrip) {
    Write("keys", "k1\n\x02z\nthird\n");
    Write("values", "ab01\n0000\nFFfe\n");
    Outcome r = Tool("table build " + PathOf("keys") + " " + PathOf("t.tbl") + " --values " + PathOf("values"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "wrote " + PathOf("t.tbl") + ": 3 entries, 2 value bytes each\n");
    r = Tool("table dump " + PathOf("t.tbl"));
    EXPECT_EQ(r.out, "k1\tab01\n\\x02z\t0000\nthird\tfffe\n");
    EXPECT_TRUE(Has(Tool("info " + PathOf("t.tbl")).out, "entries:           3 of ")) << r.out;

    // From a pipe, NUL-separated, without values.
    r = Bash("table build -0 <(printf 'x\\0y') " + PathOf("plain.tbl"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Tool("table dump " + PathOf("plain.tbl")).out, "x\t\ny\t\n");

    Write("dups", "a\nb\nc\nb\n");
    r = Tool("table build " + PathOf("dups") + " " + PathOf("d.tbl"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, PathOf("dups") + ": duplicate key \"b\" on lines 2 and 4")) << r.err;
    const struct {
        const char* values;
        const char* message;
    } bad[] = {
        {"ab01\n00\nffff\n", ":2: a value of 1 bytes; the first has 2"},
        {"ab01\nzz00\nffff\n", ":2: \"zz00\" is not bytes in hexadecimal"},
        {"ab01\n0000\n", ": 2 values for 3 keys"},
    };
    for (const auto& c : bad) {
        Write("bad", c.values);
        r = Tool("table build " + PathOf("keys") + " " + PathOf("b.tbl") + " --values " + PathOf("bad"));
        EXPECT_EQ(r.status, 1) << c.values;
        EXPECT_TRUE(Has(r.err, PathOf("bad") + c.message)) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(PathOf("d.tbl")) || std::filesystem::exists(PathOf("b.tbl")));
}

TEST_F(ZkdictTool, InfoTellsEachFileKindAndRefusesTheRest) {
    HashTable* t = HashTableNew(16, nullptr, nullptr, nullptr, 2, 0, FALSE);
    auto* v = static_cast<UByte*>(HashTableFind(t, "k1", 2, TRUE, nullptr, nullptr));
    v[0] = 0xAB, v[1] = 0x01;
    HashTableFind(t, "\x02z", 2, TRUE, nullptr, nullptr);
    ASSERT_TRUE(HashTableWrite(t, PathOf("t.tbl").c_str()));
    HashTableFree(t);
    Outcome r = Tool("info " + PathOf("t.tbl"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "hash table file") && Has(r.out, "entries:           2 of ")) << r.out;
    EXPECT_EQ(r.err, "");
    r = Tool("table dump " + PathOf("t.tbl"));
    EXPECT_EQ(r.out, "k1\tab01\n\\x02z\t0000\n");

    Write("lines", "first\n\nthird\n");
    r = Tool("attr build " + PathOf("names"), PathOf("lines"));
    ASSERT_EQ(r.status, 0) << r.err;
    r = Tool("info " + PathOf("names.dat"));
    EXPECT_TRUE(Has(r.out, "attribute dictionary") && Has(r.out, "strings:           3\n")) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Tool("attr get " + PathOf("names") + " 2 1 3").out, "2\tthird\n1\t\n3\tnot found\n");
    EXPECT_EQ(Tool("attr dump " + PathOf("names.idx")).out, "0\tfirst\n1\t\n2\tthird\n");

    Write("garbage", "not a dictionary, table or pair of files\n");
    for (const std::string& file : {PathOf("garbage"), PathOf("missing")}) {
        r = Tool("info " + file);
        ExpectRefused(r, "info", file);
    }
    r = Tool("table dump " + PathOf("garbage"));
    ExpectRefused(r, "table", PathOf("garbage"));
    EXPECT_TRUE(Has(r.err, PathOf("garbage") + ": not a hash table file")) << r.err;
    Write("long", std::string(256, 'x') + "\n");
    r = Tool("attr build " + PathOf("toolong"), PathOf("long"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "standard input:1: string longer than 255 bytes")) << r.err;
}

TEST_F(ZkdictTool, MessagesNameTheFileOfAPairThatIsAtFault) {
    Write("lines", "first\nsecond\n");
    ASSERT_EQ(Tool("attr build " + PathOf("names"), PathOf("lines")).status, 0);
    const zktest::Bytes idx = zktest::ReadFile(PathOf("names.idx")), dat = zktest::ReadFile(PathOf("names.dat"));
    zktest::WriteFile(PathOf("noidx.dat"), dat);
    zktest::WriteFile(PathOf("nodat.idx"), idx);
    zktest::WriteFile(PathOf("short.idx"), idx);
    zktest::WriteFile(PathOf("short.dat"), zktest::Bytes(dat.begin(), dat.end() - 1));
    ASSERT_EQ(mkfifo(PathOf("fifo.dat").c_str(), 0600), 0);
    zktest::WriteFile(PathOf("fifo.idx"), idx);
    const struct {
        const char* name;
        std::string message;
    } cases[] = {
        {"noidx", "noidx.idx: cannot read: No such file or directory"},
        {"nodat", "nodat.dat: cannot read: No such file or directory"},
        {"short", "short.idx: does not check out with " + PathOf("short.dat")},
        {"fifo", "fifo.dat: is a FIFO, not a regular file"},
    };
    for (const auto& c : cases) {
        for (const std::string& command :
             {"attr get " + PathOf(c.name) + " 0", "attr dump " + PathOf(c.name), "info " + PathOf(c.name)}) {
            const Outcome r = Tool(command);
            EXPECT_EQ(r.status, 1) << command;
            EXPECT_TRUE(Has(r.err, ": " + PathOf(c.message))) << command << ": " << r.err;
        }
    }
    // The file named by info, when its partner is the one missing.
    Outcome r = Tool("info " + PathOf("nodat.idx"));
    EXPECT_TRUE(Has(r.err, PathOf("nodat.dat") + ": cannot read")) << r.err;
    // A pair caught by a reader between the steps of its first commit has its index under the
    // pending name only; the library opens it, so nothing is refused before it is asked.
    zktest::WriteFile(PathOf("fresh.dat"), dat);
    zktest::WriteFile(PathOf(".fresh.idx.pending"), idx);
    r = Tool("attr get " + PathOf("fresh") + " 1");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1\tsecond\n");
}

// What a path names that is no file of the library's kinds: every command that reads one refuses it
// promptly, naming the path, and writes nothing.
TEST_F(ZkdictTool, SpecialFilesAreRefusedPromptlyNamingThePath) {
    ASSERT_EQ(mkdir(PathOf("dir").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(PathOf("fifo").c_str(), 0600), 0);
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = PathOf("sock");
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(symlink(PathOf("nowhere").c_str(), PathOf("dangling").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", PathOf("zero").c_str()), 0);
    // Attribute pairs whose index is each kind, beside a sound data file.
    for (const char* kind : {"dir", "fifo", "sock", "dangling", "zero"}) {
        ASSERT_EQ(rename(PathOf(kind).c_str(), PathOf(std::string(kind) + ".idx").c_str()), 0);
        Write(std::string(kind) + ".dat", "");
        const std::string pair = PathOf(kind);
        ExpectRefused(Tool("attr get " + pair + " 0"), "attr", pair + ".idx");
        ExpectRefused(Tool("attr dump " + pair), "attr", pair + ".idx");
        ASSERT_EQ(unlink(PathOf(std::string(kind) + ".dat").c_str()), 0);
        ASSERT_EQ(rename(PathOf(std::string(kind) + ".idx").c_str(), PathOf(kind).c_str()), 0);
    }
    Write("keys", "a\nb\n");
    const std::set<std::string> before = Listing();
    for (const std::string& path : {PathOf("dir"), PathOf("fifo"), PathOf("sock"), PathOf("dangling"), PathOf("zero"),
                                    std::string("/dev/zero")}) {
        ExpectRefused(Tool("lookup " + path + " a"), "lookup", path);
        ExpectRefused(Tool("info " + path), "info", path);
        ExpectRefused(Tool("table dump " + path), "table", path);
        // A key list may be a FIFO, but this one never gets a writer.
        ExpectRefused(Tool("build " + path + " " + PathOf("out.dic")), "build", path);
        ExpectRefused(Tool("table build " + path + " " + PathOf("out.tbl")), "table", path);
        ExpectRefused(Tool("build " + PathOf("keys") + " " + PathOf("v.dic") + " --values " + path + " --bits 3"),
                      "build", path);
    }
    EXPECT_TRUE(Has(Tool("build " + PathOf("fifo") + " " + PathOf("out.dic")).err, "no writer")) << "FIFO";
    EXPECT_TRUE(Has(Tool("info " + PathOf("dangling")).err, "dangling symbolic link")) << "link";
    EXPECT_EQ(Listing(), before);
    close(s);
}

TEST_F(ZkdictTool, KeyListsComeThroughPipesAndFifosWithWriters) {
    // Process substitution: a writer already connected, slower than the wait for a FIFO's writer.
    Outcome r = Bash("build <(sleep 1.5; printf 'a\\nb\\n') " + PathOf("slow.dic"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "keys: 2\n")) << r.out;
    r = Bash("build <(true) " + PathOf("empty.dic"));  // a writer that leaves without a word
    EXPECT_TRUE(Has(r.out, "keys: 0\n")) << r.err;

    // A named FIFO whose writer is waiting for a reader.
    ASSERT_EQ(mkfifo(PathOf("fifo").c_str(), 0600), 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        const int fd = open(PathOf("fifo").c_str(), O_WRONLY);
        const bool ok = fd >= 0 && write(fd, "x\ny\nz\n", 6) == 6;
        _exit(ok ? 0 : 1);
    }
    r = Tool("build " + PathOf("fifo") + " " + PathOf("named.dic"));
    int status = 0;
    if (r.status != 0) kill(writer, SIGKILL);  // still blocked in its open
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "keys: 3\n")) << r.out;
}

TEST_F(ZkdictTool, UnreadableFilesAreRefusedNamingThePath) {
    Write("secret.dic", "x");
    Write("secret.tbl", "x");
    Write("secret.idx", "x");
    Write("secret.dat", "x");
    Write("secret", "x\n");
    for (const char* name : {"secret.dic", "secret.tbl", "secret.idx", "secret.dat", "secret"}) {
        ASSERT_EQ(chmod(PathOf(name).c_str(), 0), 0);
    }
    // Root reads any file, so the tool runs as nobody; it must then reach the binary and this
    // directory.
    std::string as;
    if (geteuid() == 0) {
        if (std::system("command -v setpriv >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "root, and no setpriv(1) to drop it";
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        if (std::system((as + "test -x " + ZKDICT_TOOL).c_str()) != 0) GTEST_SKIP() << "nobody cannot run the tool";
    }
    const std::string denied = ": cannot read: Permission denied";
    Outcome r = Tool("lookup " + PathOf("secret.dic") + " a", "/dev/null", as);
    ExpectRefused(r, "lookup", PathOf("secret.dic") + denied);
    ExpectRefused(Tool("info " + PathOf("secret.dic"), "/dev/null", as), "info", PathOf("secret.dic") + denied);
    ExpectRefused(Tool("table dump " + PathOf("secret.tbl"), "/dev/null", as), "table", PathOf("secret.tbl") + denied);
    ExpectRefused(Tool("attr get " + PathOf("secret") + " 0", "/dev/null", as), "attr", PathOf("secret.idx") + denied);
    ExpectRefused(Tool("build " + PathOf("secret") + " " + PathOf("never.dic"), "/dev/null", as), "build",
                  PathOf("secret") + denied);
}

TEST_F(ZkdictTool, OutputsNamingADirectoryAreUsageErrors) {
    Write("keys", "a\nb\n");
    ASSERT_EQ(mkdir(PathOf("out").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(PathOf("taken.dic").c_str(), 0700), 0);
    for (const std::string& command :
         {"build " + PathOf("keys") + " " + PathOf("out"), "build " + PathOf("keys") + " " + PathOf("out/"),
          "build " + PathOf("keys") + " " + PathOf("fresh/"), "build " + PathOf("keys") + " " + PathOf("taken"),
          "table build " + PathOf("keys") + " " + PathOf("out"), "table build " + PathOf("keys") + " " + PathOf("out/"),
          "attr build " + PathOf("out/"), "attr build " + PathOf("out")}) {
        const Outcome r = Tool(command, PathOf("keys"));
        EXPECT_EQ(r.status, 2) << command << ": " << r.err;
        EXPECT_TRUE(Has(r.err, "directory") && Has(r.err, "(see --help)")) << command << ": " << r.err;
    }
    EXPECT_EQ(Listing(), (std::set<std::string>{"keys", "out", "taken.dic"}));
    EXPECT_TRUE(std::filesystem::is_empty(PathOf("out")));
}

TEST_F(ZkdictTool, HelpVersionUsageErrorsAndProgressOnlyOnATerminal) {
    for (const char* command :
         {"--help", "build --help", "lookup --help", "info --help", "attr --help", "table --help"}) {
        const Outcome r = Tool(command);
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_TRUE(Has(r.out, "usage: zkdict")) << command;
    }
    for (const char* command : {"--version", "version"}) {
        const Outcome r = Tool(command);
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out, std::string("zkdict ") + ZKDictVersion() + "\n");
    }
    for (const char* command : {"", "frob", "build onlyone", "build a b --check 9", "build a b --values v",
                                "build - b --values - --bits 3", "build a b --bogus", "lookup", "attr", "attr get n",
                                "attr get n x", "table list f", "table build k", "table dump"}) {
        const Outcome r = Tool(command);
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_TRUE(Has(r.err, "(see --help)")) << command << ": " << r.err;
    }
    // A large build whose standard error is a file prints no progress display.
    std::string keys;
    for (int i = 0; i < 120000; ++i) keys += "key" + std::to_string(i) + "\n";
    Write("many", keys);
    const Outcome r = Tool("build " + PathOf("many") + " " + PathOf("many.dic"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(Has(r.out, "keys: 120000\n"));

    // On a terminal (a pseudo-terminal from script(1), where there is one) the bar passes through the
    // four stages, with the share done of the reading and of each pass over the keys, and is wiped
    // before the summary.
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1) for a terminal";
    const std::string shown = PathOf("shown");
    const std::string command = "timeout -k 5 60 script -qec '" + std::string(ZKDICT_TOOL) + " build " +
                                PathOf("many") + " " + PathOf("again.dic") + " --check 1' /dev/null </dev/null >" +
                                shown;
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string screen = Text(shown);
    size_t at = 0;
    for (const char* stage : {"] 1/4 reading 100%", "] 2/4 building: attempt 1 0%", "] 3/4 assigning",
                              "] 3/4 assigning: check bytes 0%", "] 4/4 writing"}) {
        at = screen.find(stage, at);
        ASSERT_NE(at, std::string::npos) << stage << " in " << screen;
    }
    EXPECT_TRUE(ShowsStepPartWay(screen, "] 2/4 building: attempt 1 ")) << screen;
    EXPECT_TRUE(Has(screen, "[##################......] 4/4"));
    EXPECT_TRUE(Has(screen.substr(at), "\r\nwrote ") || Has(screen.substr(at), "\rwrote ")) << screen.substr(at);
}

}  // namespace
