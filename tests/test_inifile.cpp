// Tests of the port setting file TAMSEL.INI: the reader's line handling, creation and replacement.
#include "Tamsel.h"
#include "runtime_testing.h"
#include "test_os.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string WRITTEN_FOR_2 = "[Port]\r\nCOMNO=2\r\n";

// Root, the unprivileged user the permission cases run as, and a group of operators.
constexpr int ROOT = 0;
constexpr int NOBODY = 65534;
constexpr int NOGROUP = 65534;
constexpr int DIALOUT = 20;

// A table row's name as a test's name: letters and digits, anything else '_'.
template <typename Row> std::string RowName(const testing::TestParamInfo<Row> &info) {
    std::string name = info.param.name;
    for (char &c : name)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

// Points ProjectDir at a fresh directory and records every message box shown.
class IniFileTest : public testing::Test {
  protected:
    void SetUp() override {
        dir = MakeTempDirectory("tamsel-ini");
        ASSERT_FALSE(dir.empty());
        UseProjectDir(dir.string());
        SetPopupHook([this](const std::string &title, const std::string &text) {
            popups.push_back(title + " / " + text);
        });
    }
    void TearDown() override {
        SetPopupHook({});
        if (dir.empty())
            return;
        fs::permissions(dir, fs::perms::owner_all);
        RemoveTree(dir);
    }
    static void UseProjectDir(const std::string &path) {
        snprintf(ProjectDir, sizeof ProjectDir, "%s", path.c_str());
    }
    // A read whose path cannot be formed leaves the kept path unformed, so that the next write
    // forms it from ProjectDir, as a port accepted before the first read does.
    void ForgetIniPath() {
        const std::string kept = ProjectDir;
        UseProjectDir(kept + "/" + std::string(MAX_PATHNAME_LEN, 'd'));
        int port = -1;
        GetIniFileComNo(&port);
        UseProjectDir(kept);
        popups.clear();
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

    // Runs body as the user nobody, in group (nogroup unless given), and returns what body
    // returned (0..255): root ignores file permissions, so the rows that are about them run as
    // someone they bind.
    static int AsNobody(const std::function<int()> &body, int group = NOGROUP) {
        return RunAsUser(NOBODY, group, body);
    }
    fs::path dir;
    std::vector<std::string> popups;
};

struct ReadCase {
    const char *name;
    std::string bytes;
    int port;
    int result;
    std::string bindings = ""; // "n=device;" for each port bound, in port order
};

// The bindings the last read gave, as a row states them.
std::string BindingsRead() {
    std::string bindings;
    for (int port = 0; port <= 5; ++port)
        if (*GetIniFileBinding(port))
            bindings += std::to_string(port) + "=" + GetIniFileBinding(port) + ";";
    return bindings;
}

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
    // Only the first 64 KiB are looked at, as if the file ended there.
    {"decisive line ends at 64 KiB", std::string(65536 - 15, '\n') + "[Port]\nCOMNO=3\n", 3, 1},
    {"decisive line ends beyond 64 KiB", std::string(65536 - 14, '\n') + "[Port]\nCOMNO=3\n", 2, 0},
    {"section beyond 64 KiB", std::string(65536, 'x') + "\n[Port]\nCOMNO=3\n", 2, 0},
    {"binary", Binary(), 2, 0},
    {"binary after the section", "[Port]\n" + Binary(), 2, 0},
    // The operator's devices, after the port number.
    {"binding", "[Port]\r\nCOMNO=2\r\nCOM2=/dev/serial/by-id/usb-FTDI-if00\r\n", 2, 1,
     "2=/dev/serial/by-id/usb-FTDI-if00;"},
    {"bindings, lf and cr cr lf", "[Port]\nCOMNO=3\nCOM3=COM7\r\r\nx=y\nCOM1=/dev/ttyACM0\n", 3, 1,
     "1=/dev/ttyACM0;3=COM7;"},
    {"first binding of a port counts", "[Port]\nCOMNO=2\nCOM2=/dev/a\nCOM2=/dev/b\n", 2, 1,
     "2=/dev/a;"},
    {"binding before the port number", "[Port]\nCOM2=/dev/a\nCOMNO=2\n", 2, 0},
    {"bindings of a bad file", "[Port]\nCOMNO=7\nCOM2=/dev/a\n", 2, 0},
    {"binding of no port 1..4", "[Port]\nCOMNO=2\nCOM0=/dev/a\nCOM5=/dev/b\nCOM22=/dev/c\n", 2,
     1},
    {"malformed bindings", "[Port]\nCOMNO=2\ncom2=/dev/a\nCOM2 =/dev/b\nCOM2=\nCOM2=\r\n", 2, 1},
    {"binding cut short by the end", "[Port]\r\nCOMNO=2\r\nCOM2=/dev/ttyUSB1", 2, 1},
    {"binding with a control character", "[Port]\nCOMNO=2\nCOM2=/dev/a\tb\nCOM3=/dev/a\rb\n", 2,
     1},
    {"binding with a NUL", std::string("[Port]\nCOMNO=2\nCOM2=/dev/a\0b\n", 29), 2, 1},
    {"binding that fills a read", "[Port]\nCOMNO=2\nCOM2=/" + std::string(247, 'd') + "\n", 2, 1,
     "2=/" + std::string(247, 'd') + ";"},
    // A longer line comes in pieces, and a piece is no line of its own.
    {"overlong binding", "[Port]\nCOMNO=2\nCOM2=/" + std::string(248, 'd') + "\n", 2, 1},
    {"binding planted in an overlong line",
     "[Port]\nCOMNO=2\nCOM2=/" + std::string(248, 'd') + "COM3=/dev/planted\n", 2, 1},
};

} // namespace

TEST_F(IniFileTest, ReaderContentCases) {
    for (const ReadCase &c : READ_CASES) {
        SCOPED_TRACE(c.name);
        WriteIni(c.bytes);
        int port = -1;
        EXPECT_EQ(GetIniFileComNo(&port), c.result);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(BindingsRead(), c.bindings);
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
    if (const char *why = WhyNoUnixOwners())
        GTEST_SKIP() << why;
    fs::permissions(dir, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    // Port and result of the read, the write's result, and whether anything was shown.
    EXPECT_EQ(AsNobody([this] {
                  int port = -1;
                  const int read = GetIniFileComNo(&port);
                  return port * 8 + read * 4 + UpdateIniFile(3) * 2 + !popups.empty();
              }),
              2 * 8 + 1 * 4);
    EXPECT_TRUE(Entries().empty());
}

TEST_F(IniFileTest, UnreadableFile) {
    if (const char *why = WhyNoUnixOwners())
        GTEST_SKIP() << why;
    fs::permissions(dir, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    WriteIni("[Port]\r\nCOMNO=3\r\n");
    fs::permissions(IniPath(), fs::perms::none);
    EXPECT_EQ(AsNobody([this] {
                  int port = -1;
                  const int read = GetIniFileComNo(&port);
                  return port * 8 + read * 4 + !popups.empty();
              }),
              2 * 8);
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

TEST_F(IniFileTest, BindingsRoundTripAfterThePortNumber) {
    const std::string linked = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A600XYZ-if00-port0";
    WriteIni("[Port]\r\nCOMNO=2\r\nCOM4=/dev/ttyACM0\r\n");
    int port = -1;
    EXPECT_EQ(GetIniFileComNo(&port), 1);
    EXPECT_EQ(SetIniFileBinding(2, linked.c_str()), 1);
    ASSERT_EQ(UpdateIniFile(2), 1);
    const std::string both = "[Port]\r\nCOMNO=2\r\nCOM2=" + linked + "\r\nCOM4=/dev/ttyACM0\r\n";
    EXPECT_EQ(ReadIni(), both);
    EXPECT_EQ(GetIniFileComNo(&port), 1);
    EXPECT_EQ(BindingsRead(), "2=" + linked + ";4=/dev/ttyACM0;");
    // Nothing the file could not hold back as one binding is taken.
    for (const std::string &refused :
         {std::string(MAX_PATHNAME_LEN, 'd'), std::string("/dev/a\r\nCOM3=/dev/b")}) {
        EXPECT_EQ(SetIniFileBinding(2, refused.c_str()), 0);
    }
    EXPECT_EQ(SetIniFileBinding(5, "/dev/ttyUSB0"), 0);
    // Unbinding both gives the file as it is without bindings.
    EXPECT_EQ(SetIniFileBinding(2, ""), 1);
    EXPECT_EQ(SetIniFileBinding(4, nullptr), 1);
    ASSERT_EQ(UpdateIniFile(3), 1);
    EXPECT_EQ(ReadIni(), "[Port]\r\nCOMNO=3\r\n");
    EXPECT_TRUE(popups.empty());
}

namespace {

const std::string OLD_TEXT = "[Port]\r\nCOMNO=1\r\n";
const std::string NEW_TEXT = "[Port]\r\nCOMNO=3\r\n";
const std::string VICTIM_TEXT = "root's own\n";
const std::string NO_FILE = "<no file>";
constexpr fs::perms RWXR_XR_X = fs::perms::owner_all | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec;
constexpr fs::perms RW_R__R__ =
    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;

// A symbolic link, or in error why none could be made: GCC's library makes none on Windows, where
// the system itself asks for a privilege.
void MakeSymlink(const fs::path &target, const fs::path &link, std::string *error) {
    std::error_code made;
    fs::create_symlink(target, link, made);
    if (made)
        *error = "no symbolic link can be made here: " + made.message();
}

// The program directory of a write case, and the one beside it.
struct RowDirs {
    fs::path dir;
    fs::path elsewhere;
    std::string cannot; // why the row could not be set up on this system
    fs::path ini() const { return dir / "TAMSEL.INI"; }
    void write(const fs::path &path, const std::string &bytes) const {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    void symlink(const fs::path &target, const fs::path &link) {
        MakeSymlink(target, link, &cannot);
    }
};

// One write of port 3 over what a row left in the program directory. Beside it, "elsewhere/"
// holds "victim", a file no write may touch, and whatever else the row puts there.
struct WriteCase {
    const char *name;
    const char *(*whyNot)(); // why the row cannot run on this system; nullptr: it runs everywhere
    void (*prepare)(RowDirs &row);
    bool asNobody;
    int group; // of the user nobody, for rows that run as nobody
    int result;
    std::string text;      // read through the name TAMSEL.INI afterwards
    const char *alsoReads; // another name, under elsewhere/, that must read the same; or nullptr
};
void PrintTo(const WriteCase &row, std::ostream *out) {
    *out << row.name;
}

// Where there are no Unix owners (Windows), the rows that run as nobody run as the test's own
// user, and the read-only attribute is what refuses a write.
const WriteCase WRITE_CASES[] = {
    // Whether a write is allowed is the file's to say, not the folder's.
    {"writable file in a read-only folder", nullptr,
     [](RowDirs &row) {
         row.write(row.ini(), OLD_TEXT);
         SetOwner(row.ini(), NOBODY, NOGROUP);
     },
     true, NOGROUP, 1, NEW_TEXT, nullptr},
    {"read-only file in a writable folder", nullptr,
     [](RowDirs &row) {
         row.write(row.ini(), OLD_TEXT);
         SetOwner(row.ini(), NOBODY, NOGROUP);
         fs::permissions(row.ini(), fs::perms::owner_read);
         SetOwner(row.dir, NOBODY, NOGROUP);
     },
     true, NOGROUP, 0, OLD_TEXT, nullptr},
    {"read-only file, root", WhyNoUnixOwners,
     [](RowDirs &row) {
         row.write(row.ini(), OLD_TEXT);
         fs::permissions(row.ini(), fs::perms::owner_read);
     },
     false, ROOT, 1, NEW_TEXT, nullptr},
    {"another owner's file, root", WhyNoUnixOwners,
     [](RowDirs &row) {
         row.write(row.ini(), OLD_TEXT);
         SetOwner(row.ini(), NOBODY, DIALOUT);
         fs::permissions(row.ini(),
                         fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
     },
     false, ROOT, 1, NEW_TEXT, nullptr},
    // An installation: root's file and folder, the file writable by the operators' group.
    {"group-writable file in root's folder", WhyNoUnixOwners,
     [](RowDirs &row) {
         row.write(row.ini(), OLD_TEXT);
         SetOwner(row.ini(), ROOT, DIALOUT);
         fs::permissions(row.ini(), fs::perms::group_write, fs::perm_options::add);
     },
     true, DIALOUT, 1, NEW_TEXT, nullptr},
    // The folder would take a new file, but it could not be root's: rewritten in place.
    {"group-writable file in a shared folder", WhyNoUnixOwners,
     [](RowDirs &row) {
         row.write(row.ini(), OLD_TEXT);
         SetOwner(row.ini(), ROOT, DIALOUT);
         fs::permissions(row.ini(), fs::perms::group_write, fs::perm_options::add);
         fs::permissions(row.dir, fs::perms::all | fs::perms::sticky_bit);
     },
     true, DIALOUT, 1, NEW_TEXT, nullptr},
    {"missing file, writable folder", nullptr,
     [](RowDirs &row) { SetOwner(row.dir, NOBODY, NOGROUP); }, true, NOGROUP, 1, NEW_TEXT, nullptr},
    {"symbolic link to a file", nullptr,
     [](RowDirs &row) {
         row.write(row.elsewhere / "real.ini", OLD_TEXT);
         row.symlink("../elsewhere/real.ini", row.ini());
     },
     false, ROOT, 1, NEW_TEXT, "real.ini"},
    {"second hard link", nullptr,
     [](RowDirs &row) {
         row.write(row.ini(), OLD_TEXT);
         fs::create_hard_link(row.ini(), row.elsewhere / "other.ini");
     },
     false, ROOT, 1, NEW_TEXT, "other.ini"},
    {"dangling link", nullptr,
     [](RowDirs &row) { row.symlink("../elsewhere/planted.ini", row.ini()); }, false, ROOT, 0,
     NO_FILE, nullptr},
    {"link to a device", WhyNoPosixDevices,
     [](RowDirs &row) { row.symlink("/dev/null", row.ini()); }, false, ROOT, 0, NO_FILE, nullptr},
    {"FIFO", WhyNoFifos, [](RowDirs &row) { EXPECT_TRUE(MakeFifo(row.ini())); }, false, ROOT, 0,
     NO_FILE, nullptr},
    // What an earlier way of writing left behind, or someone planted under its name.
    {"link planted as the old temporary name", nullptr,
     [](RowDirs &row) {
         row.write(row.ini(), OLD_TEXT);
         row.symlink("../elsewhere/victim", row.dir / "TAMSEL.INI.tmp");
     },
     false, ROOT, 1, NEW_TEXT, nullptr},
    {"dangling link planted as the old temporary name", nullptr,
     [](RowDirs &row) { row.symlink("../elsewhere/planted.ini", row.dir / "TAMSEL.INI.tmp"); },
     false, ROOT, 1, NEW_TEXT, nullptr},
    {"directory planted as the old temporary name", nullptr,
     [](RowDirs &row) {
         row.write(row.ini(), OLD_TEXT);
         fs::create_directory(row.dir / "TAMSEL.INI.tmp");
     },
     false, ROOT, 1, NEW_TEXT, nullptr},
};

std::vector<std::string> Names(const fs::path &directory) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

class IniFileWriteTest : public IniFileTest, public testing::WithParamInterface<WriteCase> {};

// Every write has the outcome of rewriting the file in place: allowed exactly when the file may
// be written, through a link to its target, keeping its mode, owner and other names, and never
// into anything but a regular file. Nothing is left behind, and nothing planted is followed.
TEST_P(IniFileWriteTest, WriterCases) {
    const WriteCase &c = GetParam();
    if (c.whyNot && c.whyNot())
        GTEST_SKIP() << c.whyNot();
    RowDirs row{dir / "program", dir / "elsewhere", std::string()};
    fs::create_directory(row.dir);
    fs::create_directory(row.elsewhere);
    fs::permissions(dir, RWXR_XR_X);
    fs::permissions(row.dir, RWXR_XR_X);
    row.write(row.elsewhere / "victim", VICTIM_TEXT);
    c.prepare(row);
    if (!row.cannot.empty())
        GTEST_SKIP() << row.cannot;
    UseProjectDir(row.dir.string());
    ForgetIniPath();
    const fs::file_type typeBefore = fs::symlink_status(row.ini()).type();
    const std::string before = KeptAttributes(row.ini());
    std::vector<std::string> namesAfter = Names(row.dir);
    if (typeBefore == fs::file_type::not_found && c.result == 1) {
        namesAfter.push_back("TAMSEL.INI");
        std::sort(namesAfter.begin(), namesAfter.end());
    }

    // The write's result, and whether anything was shown.
    const auto write = [this] { return UpdateIniFile(3) * 2 + !popups.empty(); };
    EXPECT_EQ(c.asNobody ? AsNobody(write, c.group) : write(), c.result * 2);

    // Only a regular file is read here: opening the FIFO would wait for a writer.
    std::ostringstream text;
    if (fs::is_regular_file(row.ini()))
        text << std::ifstream(row.ini(), std::ios::binary).rdbuf();
    EXPECT_EQ(fs::is_regular_file(row.ini()) ? text.str() : NO_FILE, c.text);
    if (c.alsoReads) {
        std::ostringstream other;
        other << std::ifstream(row.elsewhere / c.alsoReads, std::ios::binary).rdbuf();
        EXPECT_EQ(other.str(), c.text);
    }
    if (typeBefore != fs::file_type::not_found) {
        EXPECT_EQ(fs::symlink_status(row.ini()).type(), typeBefore);
        EXPECT_EQ(KeptAttributes(row.ini()), before) << "mode or owner changed";
    }
    EXPECT_EQ(Names(row.dir), namesAfter) << "a file left behind or removed";
    std::ostringstream victim;
    victim << std::ifstream(row.elsewhere / "victim", std::ios::binary).rdbuf();
    EXPECT_EQ(victim.str(), VICTIM_TEXT);
    EXPECT_FALSE(fs::exists(fs::symlink_status(row.elsewhere / "planted.ini")));
}

INSTANTIATE_TEST_SUITE_P(Rows, IniFileWriteTest, testing::ValuesIn(WRITE_CASES),
                         RowName<WriteCase>);

namespace {

// Something planted under a name, and the name: the program's file unless the row gives another.
struct SpecialFile {
    const char *name;
    const char *(*whyNot)(); // why the row cannot run on this system; nullptr: it runs everywhere
    void (*make)(const fs::path &path, std::string *cannot);
    const char *fileName; // or nullptr for TAMSEL.INI
};
void PrintTo(const SpecialFile &row, std::ostream *out) {
    *out << row.name;
}

const SpecialFile SPECIAL_FILES[] = {
    {"directory", nullptr, [](const fs::path &path, std::string *) { fs::create_directory(path); },
     nullptr},
    {"FIFO", WhyNoFifos, [](const fs::path &path, std::string *) { ASSERT_TRUE(MakeFifo(path)); },
     nullptr},
    {"link to /dev/zero", WhyNoPosixDevices,
     [](const fs::path &path, std::string *cannot) { MakeSymlink("/dev/zero", path, cannot); },
     nullptr},
    // Names Windows keeps for devices, as files of the program's folder.
    {"a file named NUL", nullptr, nullptr, "NUL"},
    {"a file named COM1", nullptr, nullptr, "COM1"},
};

} // namespace

class IniFileSpecialTest : public IniFileTest, public testing::WithParamInterface<SpecialFile> {
  protected:
    // A name a system keeps for a device is a plain name in a folder: nothing is there until a
    // file of that name is written, and that file is what is read back, never the device (which
    // would open at once, swallow the write, or hold the serial line).
    void ExpectPlainFileUnder(const fs::path &path) {
        const std::string name = path.string();
        long size = -1;
        EXPECT_EQ(GetFileInfo(name.c_str(), &size), 0);
        FILE *file = OpenFileForReading(name.c_str());
        EXPECT_EQ(file, nullptr);
        if (file)
            fclose(file);
        EXPECT_EQ(ReplaceFileText(name.c_str(), NEW_TEXT.data(), (int)NEW_TEXT.size()), 0);
        EXPECT_EQ(Entries(), std::vector<std::string>{path.filename().string()});
        EXPECT_EQ(GetFileInfo(name.c_str(), &size), 1);
        EXPECT_EQ(size, (long)NEW_TEXT.size());
        file = OpenFileForReading(name.c_str());
        ASSERT_NE(file, nullptr);
        char text[64];
        const size_t length = fread(text, 1, sizeof text, file);
        fclose(file);
        EXPECT_EQ(std::string(text, length), NEW_TEXT);
    }
};

// Anything but a regular file under the name is neither read nor written, and nothing waits on
// it: a FIFO would hold an open until a writer came, a device would be read forever.
TEST_P(IniFileSpecialTest, SpecialFilesNamedLikeTheFile) {
    const SpecialFile &c = GetParam();
    if (c.whyNot && c.whyNot())
        GTEST_SKIP() << c.whyNot();
    if (c.fileName) {
        ExpectPlainFileUnder(dir / c.fileName);
        return;
    }
    std::string cannot;
    c.make(IniPath(), &cannot);
    if (!cannot.empty())
        GTEST_SKIP() << cannot;
    const fs::file_type type = fs::symlink_status(IniPath()).type();
    int port = -1;
    EXPECT_EQ(GetIniFileComNo(&port), 0);
    EXPECT_EQ(port, 2);
    EXPECT_EQ(UpdateIniFile(3), 0);
    EXPECT_EQ(fs::symlink_status(IniPath()).type(), type);
    EXPECT_EQ(Entries(), std::vector<std::string>{"TAMSEL.INI"}) << "temporary file left";
    EXPECT_TRUE(popups.empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, IniFileSpecialTest, testing::ValuesIn(SPECIAL_FILES),
                         RowName<SpecialFile>);

// A symbolic link that points at itself: the file's status cannot be queried.
TEST_F(IniFileTest, StatusQueryFails) {
    std::string cannot;
    MakeSymlink("TAMSEL.INI", IniPath(), &cannot);
    if (!cannot.empty())
        GTEST_SKIP() << cannot;
    int port = -1;
    EXPECT_EQ(GetIniFileComNo(&port), 1);
    EXPECT_EQ(port, 2);
    EXPECT_EQ(UpdateIniFile(3), 0);
    EXPECT_EQ(popups, (std::vector<std::string>{"Read INI file / File error seen, check pc",
                                                "Update INI file / File error seen, check pc"}));
    EXPECT_TRUE(fs::is_symlink(IniPath()));
}

// A program directory that could not be taken (empty) or is too long to join with the file name:
// nothing is read or written under a relative or truncated path, and the operator is told.
TEST_F(IniFileTest, PathThatCannotBeFormed) {
    for (const std::string &projectDir :
         {std::string(), dir.string() + "/" + std::string(MAX_PATHNAME_LEN, 'd')}) {
        SCOPED_TRACE(projectDir.size());
        popups.clear();
        UseProjectDir(projectDir);
        int port = -1;
        EXPECT_EQ(GetIniFileComNo(&port), 1);
        EXPECT_EQ(port, 2);
        EXPECT_EQ(UpdateIniFile(3), 0);
        EXPECT_EQ(popups,
                  (std::vector<std::string>{"Read INI file / File error seen, check pc",
                                            "Update INI file / File error seen, check pc"}));
        EXPECT_TRUE(Entries().empty());
        EXPECT_FALSE(fs::exists("TAMSEL.INI")) << "written in the working directory";
    }
}

// A port accepted before the first read: the path is formed from ProjectDir then. The failed
// read above leaves the path unformed whatever ran before in this process.
TEST_F(IniFileTest, UpdateBeforeAnyRead) {
    ForgetIniPath();
    EXPECT_EQ(UpdateIniFile(4), 1);
    EXPECT_EQ(ReadIni(), "[Port]\r\nCOMNO=4\r\n");
    EXPECT_TRUE(popups.empty());
}
