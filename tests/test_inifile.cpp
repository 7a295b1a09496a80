// Tests of the port setting file TAMSEL.INI: the reader's line handling, creation and replacement.
#include "Tamsel.h"
#include "runtime_testing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string WRITTEN_FOR_2 = "[Port]\r\nCOMNO=2\r\n";

// Points ProjectDir at a fresh directory and records every message box shown.
class IniFileTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tamsel-ini-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        UseProjectDir(dir.string());
        SetPopupHook([this](const std::string &title, const std::string &text) {
            popups.push_back(title + " / " + text);
        });
    }
    void TearDown() override {
        SetPopupHook({});
        fs::permissions(dir, fs::perms::owner_all);
        fs::remove_all(dir);
    }
    static void UseProjectDir(const std::string &path) {
        snprintf(ProjectDir, sizeof ProjectDir, "%s", path.c_str());
    }
    fs::path IniPath() const { return dir / "TAMSEL.INI"; }
    void WriteIni(const std::string &bytes) const {
        std::ofstream(IniPath(), std::ios::binary) << bytes;
    }
    std::string ReadIni() const {
        std::ostringstream bytes;
        bytes << std::ifstream(IniPath(), std::ios::binary).rdbuf();
        return bytes.str();
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        return names;
    }

    fs::path dir;
    std::vector<std::string> popups;
};

struct ReadCase {
    const char *name;
    std::string bytes;
    int port;
    int result;
};

// Every byte value, NULs and Ctrl-Z included, in a scrambled order.
std::string Binary() {
    std::string bytes;
    for (int round = 0; round < 8; ++round)
        for (int b = 0; b < 256; ++b)
            bytes += (char)(b * 37 + round);
    return bytes;
}

const ReadCase READ_CASES[] = {
    {"crlf", "[Port]\r\nCOMNO=3\r\n", 3, 1},
    {"other text first, lf", "Tamsel\n[Port]\nCOMNO=4\n", 4, 1},
    {"cr cr lf", "[Port]\r\r\nCOMNO=4\r\r\n", 4, 1},
    {"CRs leading the section line", "\r\r[Port]\nCOMNO=4\n", 4, 1},
    {"no line end after the value", "[Port]\r\nCOMNO=3", 2, 0},
    {"no line end after the section", "[Port]", 2, 0},
    {"nothing after the section", "[Port]\r\n", 2, 0},
    {"no section", "COMNO=3\r\n", 2, 0},
    {"section with trailing space", "[Port] \r\nCOMNO=3\r\n", 2, 0},
    {"lower-case key", "[Port]\r\ncomno=3\r\n", 2, 0},
    {"space in key", "[Port]\r\nCOMNO =3\r\n", 2, 0},
    {"empty line passed over", "[Port]\r\n\r\nCOMNO=3\r\n", 3, 1},
    {"empty line then 0", "[Port]\r\n\r\nCOMNO=0\r\n", 2, 0},
    {"empty value passed over", "[Port]\nCOMNO=\nCOMNO=1\n", 1, 1},
    {"CR as value decides", "[Port]\r\nCOMNO=\r\nCOMNO=1\r\n", 2, 0},
    {"other key first", "[Port]\r\nBAUD=9600\r\nCOMNO=3\r\n", 2, 0},
    {"leading equal signs skipped", "[Port]\n==COMNO=3\n", 3, 1},
    {"trailing junk 2x", "[Port]\r\nCOMNO=2x\r\n", 2, 1},
    {"trailing junk 3x", "[Port]\r\nCOMNO=3x\r\n", 3, 1},
    {"leading space", "[Port]\r\nCOMNO= 3\r\n", 3, 1},
    {"plus sign", "[Port]\r\nCOMNO=+1\r\n", 1, 1},
    {"negative", "[Port]\r\nCOMNO=-1\r\n", 2, 0},
    {"above 4", "[Port]\r\nCOMNO=5\r\n", 2, 0},
    {"no digits", "[Port]\r\nCOMNO=x\r\n", 2, 0},
    {"wraps to 3 as int", "[Port]\r\nCOMNO=4294967299\r\n", 2, 0},
    {"beyond long", "[Port]\r\nCOMNO=18446744073709551619\r\n", 2, 0},
    // One read takes 254 characters; the rest of a longer line is a line of its own.
    {"section as tail of long line", std::string(254, 'x') + "[Port]\r\nCOMNO=3\r\n", 3, 1},
    {"section split by a read", std::string(253, 'x') + "[Port]\r\nCOMNO=3\r\n", 2, 0},
    {"long line without '=' passed over", "[Port]\n" + std::string(254, 'y') + "COMNO=4\n", 4, 1},
    {"value cut by a read", "[Port]\nCOMNO=" + std::string(248, '0') + "3\n", 2, 0},
    {"value just fits a read", "[Port]\nCOMNO=" + std::string(247, '0') + "3\n", 3, 1},
    // A last line that exactly fills a read has still met the end of the file.
    {"last line fills a read", "[Port]\nCOMNO=" + std::string(247, '0') + "3", 2, 0},
    {"last line with a NUL fills a read",
     "[Port]\nCOMNO=3" + std::string(1, '\0') + std::string(246, 'z'), 2, 0},
    {"line feed after a full read", "[Port]\nCOMNO=3" + std::string(247, 'z') + "\n", 3, 1},
    {"NUL leads the section line", std::string("\0[Port]\r\nCOMNO=3\r\n", 18), 2, 0},
    {"NUL leads the key line", std::string("[Port]\r\n\0COMNO=3\r\n", 18), 2, 0},
    {"NUL after the value", std::string("[Port]\r\nCOMNO=3\0zz\r\n", 20), 3, 1},
    {"binary", Binary(), 2, 0},
    {"binary after the section", "[Port]\n" + Binary(), 2, 0},
};

} // namespace

TEST_F(IniFileTest, ReaderContentCases) {
    for (const ReadCase &c : READ_CASES) {
        SCOPED_TRACE(c.name);
        WriteIni(c.bytes);
        int port = -1;
        EXPECT_EQ(GetIniFileComNo(&port), c.result);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(ReadIni(), c.bytes) << "a bad file must be left as it was";
    }
    EXPECT_TRUE(popups.empty());
}

TEST_F(IniFileTest, HugeFileWithoutSection) {
    WriteIni(std::string(10 * 1024 * 1024, 'a') + "\n");
    int port = -1;
    EXPECT_EQ(GetIniFileComNo(&port), 0);
    EXPECT_EQ(port, 2);
}

TEST_F(IniFileTest, MissingFileIsCreatedWithDefault) {
    int port = -1;
    EXPECT_EQ(GetIniFileComNo(&port), 1);
    EXPECT_EQ(port, 2);
    EXPECT_EQ(ReadIni(), WRITTEN_FOR_2);
    EXPECT_EQ(Entries(), std::vector<std::string>{"TAMSEL.INI"});
    EXPECT_TRUE(popups.empty());
}

TEST_F(IniFileTest, MissingFileThatCannotBeCreated) {
    UseProjectDir((dir / "absent").string());
    int port = -1;
    EXPECT_EQ(GetIniFileComNo(&port), 1);
    EXPECT_EQ(port, 2);
    EXPECT_TRUE(Entries().empty());
    EXPECT_TRUE(popups.empty());
}

TEST_F(IniFileTest, UnwritableDirectory) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes into a read-only directory; run as another user";
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    int port = -1;
    EXPECT_EQ(GetIniFileComNo(&port), 1);
    EXPECT_EQ(port, 2);
    EXPECT_EQ(UpdateIniFile(3), 0);
    EXPECT_TRUE(popups.empty());
}

TEST_F(IniFileTest, UnreadableFile) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads a file without read permission; run as another user";
    WriteIni("[Port]\r\nCOMNO=3\r\n");
    fs::permissions(IniPath(), fs::perms::none);
    int port = -1;
    EXPECT_EQ(GetIniFileComNo(&port), 0);
    EXPECT_EQ(port, 2);
    EXPECT_TRUE(popups.empty());
}

TEST_F(IniFileTest, RoundTripReplacesWholeFile) {
    WriteIni("[Port]\r\nCOMNO=1\r\n; a much longer file than the one written over it\r\n");
    int port = -1;
    EXPECT_EQ(GetIniFileComNo(&port), 1);
    for (int comNo = 4; comNo >= 1; --comNo) {
        SCOPED_TRACE(comNo);
        ASSERT_EQ(UpdateIniFile(comNo), 1);
        EXPECT_EQ(ReadIni(), "[Port]\r\nCOMNO=" + std::to_string(comNo) + "\r\n");
        EXPECT_EQ(Entries(), std::vector<std::string>{"TAMSEL.INI"}) << "temporary file left";
        EXPECT_EQ(GetIniFileComNo(&port), 1);
        EXPECT_EQ(port, comNo);
    }
    EXPECT_TRUE(popups.empty());
}

TEST_F(IniFileTest, DirectoryNamedLikeTheFile) {
    fs::create_directory(IniPath());
    int port = -1;
    EXPECT_EQ(GetIniFileComNo(&port), 0);
    EXPECT_EQ(port, 2);
    EXPECT_EQ(UpdateIniFile(3), 0);
    EXPECT_TRUE(fs::is_directory(IniPath()));
    EXPECT_EQ(Entries(), std::vector<std::string>{"TAMSEL.INI"}) << "temporary file left";
    EXPECT_TRUE(popups.empty());
}

// A symbolic link that points at itself: the file's status cannot be queried.
TEST_F(IniFileTest, StatusQueryFails) {
    fs::create_symlink("TAMSEL.INI", IniPath());
    int port = -1;
    EXPECT_EQ(GetIniFileComNo(&port), 1);
    EXPECT_EQ(port, 2);
    EXPECT_EQ(UpdateIniFile(3), 0);
    EXPECT_EQ(popups, (std::vector<std::string>{"Read INI file / File error seen, check pc",
                                                "Update INI file / File error seen, check pc"}));
    EXPECT_TRUE(fs::is_symlink(IniPath()));
}

// A program directory too long to join with the file name: nothing is read or written under a
// truncated path, and the operator is told.
TEST_F(IniFileTest, PathThatCannotBeFormed) {
    UseProjectDir(dir.string() + "/" + std::string(MAX_PATHNAME_LEN, 'd'));
    int port = -1;
    EXPECT_EQ(GetIniFileComNo(&port), 1);
    EXPECT_EQ(port, 2);
    EXPECT_EQ(UpdateIniFile(3), 0);
    EXPECT_EQ(popups, (std::vector<std::string>{"Read INI file / File error seen, check pc",
                                                "Update INI file / File error seen, check pc"}));
    EXPECT_TRUE(Entries().empty());
}

// A port accepted before the first read: the path is formed from ProjectDir then. The failed
// read above leaves the path unformed whatever ran before in this process.
TEST_F(IniFileTest, UpdateBeforeAnyRead) {
    UseProjectDir(dir.string() + "/" + std::string(MAX_PATHNAME_LEN, 'd'));
    int port = -1;
    GetIniFileComNo(&port);
    UseProjectDir(dir.string());
    popups.clear();
    EXPECT_EQ(UpdateIniFile(4), 1);
    EXPECT_EQ(ReadIni(), "[Port]\r\nCOMNO=4\r\n");
    EXPECT_TRUE(popups.empty());
}
