// The zkdict command-line tool, driven through its real binary: every command on valid input,
// refusals with their exit status and messages, and what it must not print.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dict/hashtable.h"
#include "tests/test_files.h"

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

class ZkdictTool : public zktest::TempDirTest {
protected:
    // Runs the tool with the arguments (already quoted for the shell) and standard input from the
    // file stdinFile, or from /dev/null.
    Outcome Tool(const std::string& args, const std::string& stdinFile = "/dev/null") {
        const std::string out = PathOf("stdout"), err = PathOf("stderr");
        const std::string command = std::string(ZKDICT_TOOL) + " " + args + " <" + stdinFile + " >" + out + " 2>" + err;
        const int rc = std::system(command.c_str());
        Outcome r{WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc), Text(out), Text(err)};
        unlink(out.c_str());
        unlink(err.c_str());
        return r;
    }
    std::string Text(const std::string& path) {
        const zktest::Bytes b = zktest::ReadFile(path);
        return std::string(b.begin(), b.end());
    }
    void Write(const std::string& name, const std::string& text) {
        zktest::WriteFile(PathOf(name), zktest::Bytes(text.begin(), text.end()));
    }
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(ZkdictTool, BuildThenLookUpAndDescribeTheImage) {
    Write("keys", "apple\npear\nplum\n\xff\x01 bytes\n");
    Outcome r = Tool("build " + PathOf("keys") + " " + PathOf("fruit") + " --check 3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "keys: 4\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "attempts: ")) << r.out;
    EXPECT_TRUE(Has(r.out, "bits per key: ")) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Listing(), (std::set<std::string>{"keys", "fruit.dic"}));

    r = Tool("lookup " + PathOf("fruit.dic") + " plum apple peach");
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
    EXPECT_TRUE(Has(r.err, "duplicate key \"y\" on lines 2 and 4")) << r.err;
    Write("values", "7\n0\n1024\n");
    r = Tool("build " + PathOf("keys") + " " + PathOf("v2.dic") + " --values " + PathOf("values") + " --bits 10");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, PathOf("values") + ":3: \"1024\" is not a number below 2^10")) << r.err;
    r = Tool("build " + PathOf("missing") + " " + PathOf("m.dic"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, PathOf("missing") + ": cannot read: No such file or directory")) << r.err;
    // Nothing is left behind by a build that failed.
    EXPECT_EQ(Listing(), (std::set<std::string>{"keys", "values", "dups", "one.dic", "v.dic"}));
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
    r = Tool("table dump " + PathOf("t.tbl"));
    EXPECT_EQ(r.out, "k1\tab01\n\\x02z\t0000\n");

    Write("lines", "first\n\nthird\n");
    r = Tool("attr build " + PathOf("names"), PathOf("lines"));
    ASSERT_EQ(r.status, 0) << r.err;
    r = Tool("info " + PathOf("names.dat"));
    EXPECT_TRUE(Has(r.out, "attribute dictionary") && Has(r.out, "strings:           3\n")) << r.out;
    EXPECT_EQ(Tool("attr get " + PathOf("names") + " 2 1 3").out, "2\tthird\n1\t\n3\tnot found\n");
    EXPECT_EQ(Tool("attr dump " + PathOf("names")).out, "0\tfirst\n1\t\n2\tthird\n");

    Write("garbage", "not a dictionary, table or pair of files\n");
    for (const std::string& file : {PathOf("garbage"), PathOf("missing")}) {
        r = Tool("info " + file);
        EXPECT_EQ(r.status, 1) << file;
        EXPECT_TRUE(Has(r.err, file + ": ")) << r.err;
        EXPECT_EQ(r.out, "");
    }
    r = Tool("table dump " + PathOf("garbage"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, PathOf("garbage") + ": not a hash table file")) << r.err;
    r = Tool("attr get " + PathOf("garbage") + " 0");
    EXPECT_EQ(r.status, 1);
    Write("long", std::string(256, 'x') + "\n");
    r = Tool("attr build " + PathOf("toolong"), PathOf("long"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "standard input:1: string of 256 bytes, longer than 255")) << r.err;
}

TEST_F(ZkdictTool, HelpUsageErrorsAndProgressOnlyOnATerminal) {
    for (const char* command : {"--help", "build --help", "lookup --help", "info --help", "attr --help", "table --help"}) {
        const Outcome r = Tool(command);
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_TRUE(Has(r.out, "usage: zkdict")) << command;
    }
    for (const char* command : {"", "frob", "build onlyone", "build a b --check 9", "build a b --values v",
                                "build a b --bogus", "lookup", "attr", "attr get n", "attr get n x", "table list f"}) {
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
    // four stages and is wiped before the summary.
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1) for a terminal";
    const std::string shown = PathOf("shown");
    const std::string command = "script -qec '" + std::string(ZKDICT_TOOL) + " build " + PathOf("many") + " " +
                                PathOf("again.dic") + "' /dev/null </dev/null >" + shown;
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string screen = Text(shown);
    size_t at = 0;
    for (const char* stage : {"] 1/4 reading", "] 2/4 building: attempt 1", "] 3/4 assigning", "] 4/4 writing"}) {
        at = screen.find(stage, at);
        ASSERT_NE(at, std::string::npos) << stage << " in " << screen;
    }
    EXPECT_TRUE(Has(screen, "[##################......] 4/4"));
    EXPECT_TRUE(Has(screen.substr(at), "\r\nwrote ") || Has(screen.substr(at), "\rwrote ")) << screen.substr(at);
}

}  // namespace
