// Device link against a scripted line: framing, reply assembly, the gate, and the unit's exchanges
// with exact control of which bytes wait on the line and when.
#include "devices.h"
#include "link_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace {

std::string Framed(const char *letters, char code, const char *digits) {
    char command[DV3_CMD_SIZE];
    snprintf(command, sizeof command, "%s%c%s", letters, code, digits);
    AddCheckSum(command);
    return std::string(command) + "\r";
}

TEST(Framing, HexDigitsAreUpperCaseAndKeepTheLow16Bits) {
    char byte[3];
    ByteToHex(0xAB, byte);
    EXPECT_STREQ(byte, "AB");
    ByteToHex(0x05, byte);
    EXPECT_STREQ(byte, "05");

    const struct {
        int value;
        const char *digits;
    } cases[] = {{0, "0000"}, {25, "0019"}, {65535, "FFFF"}, {65536, "0000"},
                 {70000, "1170"}, {-1, "FFFF"}};
    for (const auto &c : cases) {
        char digits[5];
        IntToHex(c.value, digits);
        EXPECT_STREQ(digits, c.digits) << c.value;
    }
}

TEST(Framing, ChecksumIsTheLowByteOfTheCharacterSum) {
    const struct {
        const char *command;
        const char *framed;
    } cases[] = {{"", "00"},           {"TGA", "TGADC"}, {"TGD", "TGDDF"},
                 {"TGW", "TGWF2"},     {"SV", "SVA9"},   {"TA0019", "TA00195F"}};
    for (const auto &c : cases) {
        char command[DV3_CMD_SIZE];
        snprintf(command, sizeof command, "%s", c.command);
        AddCheckSum(command);
        EXPECT_STREQ(command, c.framed) << c.command;
    }
}

// ---------------------------------------------------------------------------------------------
// Reply assembly

TEST_F(ScriptedLinkTest, ReplyAssemblyCleansAndTerminatesEachReply) {
    const struct {
        const char *name;
        std::string bytes;
        std::string reply;
    } cases[] = {
        {"plain", "T$\r", "T$\r"},
        {"top bit is noise", "\xD4\xA4\x8D", "T$\r"},
        {"line feeds and SUBs dropped, also with the top bit", "\nT\x1A$\x8A\x9A\r", "T$\r"},
        {"NUL ends the text", std::string("T\0X\r", 4), "T"},
        {"0x80 is a NUL too", "T\x80X\r", "T"},
    };
    for (const auto &c : cases) {
        FeedScriptedLine(PORT, c.bytes);
        ASSERT_EQ(GetDv3Ms(), 1) << c.name;
        EXPECT_EQ(std::string(Dv3Ms), c.reply) << c.name;
        EXPECT_EQ(Dv3MsPnt, 0) << c.name;
        EXPECT_EQ(Dv3MsRdy, 0) << c.name;
    }
}

TEST_F(ScriptedLinkTest, ReplySplitAcrossPollsIsHandedOverWhole) {
    FeedScriptedLine(PORT, "T");
    EXPECT_EQ(GetDv3Ms(), 0);
    FeedScriptedLine(PORT, "$\r");
    EXPECT_EQ(GetDv3Ms(), 1);
    EXPECT_STREQ(Dv3Ms, "T$\r");
}

TEST_F(ScriptedLinkTest, BytesAfterACompleteReplyWaitForTheNextPoll) {
    FeedScriptedLine(PORT, "T$\rS$\r");
    ASSERT_EQ(GetDv3Ms(), 1);
    EXPECT_STREQ(Dv3Ms, "T$\r");
    EXPECT_EQ(GetInQLen(PORT), 3);
    ASSERT_EQ(GetDv3Ms(), 1);
    EXPECT_STREQ(Dv3Ms, "S$\r");
    EXPECT_EQ(GetDv3Ms(), 0);
}

TEST_F(ScriptedLinkTest, OverlongReplyWrapsWithOneOverrunLine) {
    std::string first256(256, 'a');
    std::string last44(44, 'b');
    const struct {
        const char *name;
        std::string bytes;
        std::string reply;
    } cases[] = {
        {"300 characters keep the last 44", first256 + last44 + "\r", last44 + "\r"},
        {"carriage return as the 256th character", std::string(255, 'c') + "\r", ""},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStdout();
        FeedScriptedLine(PORT, c.bytes);
        int complete = GetDv3Ms();
        std::string printed = testing::internal::GetCapturedStdout();
        ASSERT_EQ(complete, 1) << c.name;
        EXPECT_EQ(std::string(Dv3Ms), c.reply) << c.name;
        EXPECT_EQ(printed, "GetDv3 buffer overrun\r\n") << c.name;
    }
}

TEST_F(ScriptedLinkTest, ReopeningTheLineStartsAFreshReply) {
    FeedScriptedLine(PORT, "TGA00");
    EXPECT_EQ(GetDv3Ms(), 0);
    ASSERT_EQ(CloseDv3(PORT), 1);
    ASSERT_EQ(InitDv3(PORT), 1);
    FeedScriptedLine(PORT, "T$\r");
    ASSERT_EQ(GetDv3Ms(), 1);
    EXPECT_STREQ(Dv3Ms, "T$\r");
}

TEST_F(ScriptedLinkTest, PartialReplyIsAlwaysATerminatedText) {
    FeedScriptedLine(PORT, std::string(600, 'x'));
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetDv3Ms(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_LT(strnlen(Dv3Ms, DV3_MS_SIZE), (size_t)DV3_MS_SIZE);
    EXPECT_GE(Dv3MsPnt, 0);
    EXPECT_LT(Dv3MsPnt, DV3_MS_SIZE);
}

TEST_F(ScriptedLinkTest, WaitTimesOutAfterTheReplyTicks) {
    XRayCmd("TGADC\r");
    EXPECT_EQ(TamselTOut, DV3_REPLY_TICKS);
    EXPECT_EQ(WaitDv3Ms(), 0);
    EXPECT_EQ(TamselTOut, 0);
}

// ---------------------------------------------------------------------------------------------
// The gate

TEST_F(ScriptedLinkTest, EveryExchangeIsRefusedBeforeTheLinkIsInitialised) {
    Dv3Gate = 0;
    int count = -5;
    EXPECT_EQ(GetTamselTimer('A', &count), 0);
    EXPECT_EQ(SetTamselTimer('A', 25), 0);
    EXPECT_EQ(VerifyTamsel(1), 0);
    EXPECT_EQ(count, -5);
    EXPECT_EQ(TakeScriptedLineOutput(PORT), "");
    Popups busy(3, {"Communication warning", "Dorvan Pump Busy, try again"});
    EXPECT_EQ(popups, busy);
    EXPECT_EQ(Dv3Gate, 0);
}

TEST_F(ScriptedLinkTest, GateIsTakenOnceAndFreedByAssignment) {
    EXPECT_EQ(CloseDv3Gate(), 1);
    EXPECT_EQ(CloseDv3Gate(), 0);
    Dv3Gate = 1;
    EXPECT_EQ(CloseDv3Gate(), 1);
    EXPECT_EQ(popups, Popups({{"Communication warning", "Dorvan Pump Busy, try again"}}));
}

// ---------------------------------------------------------------------------------------------
// Timer exchanges

TEST_F(ScriptedLinkTest, ReadSendsTheFramedCommandAndTakesTheValue) {
    const struct {
        char code;
        const char *command;
    } cases[] = {{'A', "TGADC\r"}, {'D', "TGDDF\r"}, {'W', "TGWF2\r"}};
    for (const auto &c : cases) {
        Answer(c.command, std::string("T$\rTG") + c.code + "00FA\r");
        int count = 0;
        EXPECT_EQ(GetTamselTimer(c.code, &count), 1) << c.code;
        EXPECT_EQ(count, 250) << c.code;
        EXPECT_EQ(TakeScriptedLineOutput(PORT), c.command);
        EXPECT_EQ(Dv3Gate, 1);
    }
    EXPECT_TRUE(popups.empty());
}

TEST_F(ScriptedLinkTest, ValueConversionOfTheTimerReply) {
    const struct {
        const char *reply;
        int ok;
        int count;
    } cases[] = {
        {"TGA00FA\r", 1, 250},     {"TGA00FAxyz\r", 1, 250}, {"TGA00fa\r", 1, 250},
        {"TGA0z12\r", 1, 0},       {"TGA 01F\r", 1, 31},     {"TGA0x1F\r", 1, 31},
        {"TGA-001\r", 1, -1},      {"TGAZZZZ\r", 0, 0},      {"TGA\r", 0, 0},
        {"TGa00FA\r", 0, 0},       {"TGD00FA\r", 0, 0},      {"T$\r", 0, 0},
    };
    for (const auto &c : cases) {
        Answer("TGADC\r", std::string("T$\r") + c.reply);
        popups.clear();
        int count = -99;
        EXPECT_EQ(GetTamselTimer('A', &count), c.ok) << c.reply;
        EXPECT_EQ(count, c.ok ? c.count : -99) << c.reply;
        EXPECT_EQ(Dv3Gate, 1) << c.reply;
        Popups expected;
        if (!c.ok)
            expected.push_back({"Communication Error", "Dorvan System timer read error"});
        EXPECT_EQ(popups, expected) << c.reply;
    }
}

TEST_F(ScriptedLinkTest, WrongAcknowledgementFailsWithoutWaitingForTheValue) {
    Answer("TGADC\r", "X$\rTGA0019\r");
    int count = 0;
    EXPECT_EQ(GetTamselTimer('A', &count), 0);
    EXPECT_STREQ(Dv3Ms, "X$\r");
    EXPECT_GT(GetInQLen(PORT), 0);
}

TEST_F(ScriptedLinkTest, SilentUnitFailsTheReadAfterTheTimeout) {
    int count = 7;
    EXPECT_EQ(GetTamselTimer('W', &count), 0);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(popups, Popups({{"Communication Error", "Dorvan System timer read error"}}));
    EXPECT_EQ(Dv3Gate, 1);
}

TEST_F(ScriptedLinkTest, WriteIsReadBackAndComparedWithTheWholeCount) {
    SimulateUnit();
    EXPECT_EQ(SetTamselTimer('A', 25), 1);
    EXPECT_EQ(TakeScriptedLineOutput(PORT), "TA00195F\rTGADC\r");

    EXPECT_EQ(SetTamselTimer('D', 70000), 0);
    EXPECT_EQ(TakeScriptedLineOutput(PORT), Framed("T", 'D', "1170") + "TGDDF\r");
    EXPECT_EQ(Dv3Gate, 1);
    EXPECT_TRUE(popups.empty());
}

TEST_F(ScriptedLinkTest, WriteFailsSilentlyOnEveryBadAnswer) {
    const struct {
        const char *name;
        std::string writeAnswer;
        std::string readAnswer;
    } cases[] = {
        {"silent", "", ""},
        {"wrong acknowledgement of the write", "X$\r", "T$\rTGA0019\r"},
        {"wrong acknowledgement of the read", "T$\r", "X$\rTGA0019\r"},
        {"read-back differs", "T$\r", "T$\rTGA001A\r"},
        {"value does not convert", "T$\r", "T$\rTGAZZZZ\r"},
        {"read-back of another timer", "T$\r", "T$\rTGD0019\r"},
    };
    for (const auto &c : cases) {
        answers.clear();
        Answer("TA00195F\r", c.writeAnswer);
        Answer("TGADC\r", c.readAnswer);
        EXPECT_EQ(SetTamselTimer('A', 25), 0) << c.name;
        EXPECT_EQ(Dv3Gate, 1) << c.name;
    }
    EXPECT_TRUE(popups.empty());
}

// Whatever waits when an exchange starts (replies that came after their exchange gave up, noise
// that began a reply) is thrown away; only what answers the exchange's own commands counts, and an
// echo of a command is a wrong reply, never a value. The bytes sent stay exactly the commands.
TEST_F(ScriptedLinkTest, EveryExchangeStartsOnACleanLine) {
    enum Kind { READ, WRITE, IDENTIFY };
    enum Unit { ANSWERS, SILENT, ECHOES };
    const std::string write1 = Framed("T", 'A', "0001");
    const struct {
        const char *name;
        Kind kind;
        std::string waiting;
        Unit unit;
        int result;
        std::string sent;
    } cases[] = {
        {"acknowledgement before a read", READ, "T$\r", ANSWERS, 1, "TGADC\r"},
        {"whole read answer before a silent unit", READ, "T$\rTGA0063\r", SILENT, 0, "TGADC\r"},
        {"unfinished reply before a read", READ, "TGA00", ANSWERS, 1, "TGADC\r"},
        {"NUL before a read", READ, std::string(1, '\0'), ANSWERS, 1, "TGADC\r"},
        {"noise before a read", READ, "#k\x8F\x05", ANSWERS, 1, "TGADC\r"},
        {"echoed read after a failed write's acknowledgement", READ, "T$\r", ECHOES, 0, "TGADC\r"},
        {"replies before a write", WRITE, "T$\rTGA0001\r", ANSWERS, 1, write1 + "TGADC\r"},
        {"replies before a write to a silent unit", WRITE, "T$\rT$\rTGA0001\r", SILENT, 0, write1},
        {"unfinished reply before a write", WRITE, "T", ANSWERS, 1, write1 + "TGADC\r"},
        {"echoed write", WRITE, "", ECHOES, 0, write1},
        {"identification before a silent unit", IDENTIFY, "S$\rKX_OLD\r", SILENT, 0, "?\rSVA9\r"},
        {"unfinished reply before an identification", IDENTIFY, "S", ANSWERS, 1, "?\rSVA9\r"},
    };
    const std::map<std::string, std::string> unitAnswers = {
        {"TGADC\r", "T$\rTGA0019\r"}, {write1, "T$\r"}, {"SVA9\r", "S$\rKX_NEW\r"}};
    for (const auto &c : cases) {
        answers.clear();
        for (const auto &[command, answer] : unitAnswers) {
            // A written 1 reads back as 1.
            const std::string reply =
                c.kind == WRITE && command == "TGADC\r" ? "T$\rTGA0001\r" : answer;
            if (c.unit != SILENT)
                Answer(command, (c.unit == ECHOES ? command : "") + reply);
        }
        FeedScriptedLine(PORT, c.waiting);
        popups.clear();
        int count = -1;
        const int result = c.kind == READ    ? GetTamselTimer('A', &count)
                           : c.kind == WRITE ? SetTamselTimer('A', 1)
                                             : VerifyTamsel(0);
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(TakeScriptedLineOutput(PORT), c.sent) << c.name;
        if (c.kind == READ) {
            EXPECT_EQ(count, c.result ? 25 : -1) << c.name;
            EXPECT_EQ(popups.size(), c.result ? 0u : 1u) << c.name;
        }
        EXPECT_EQ(Dv3Gate, 1) << c.name;
        FlushInQ(PORT);
    }
}

// ---------------------------------------------------------------------------------------------
// Identification

TEST_F(ScriptedLinkTest, IdentificationSendsAttentionThenVersion) {
    Answer("?\r", "?$\r");
    Answer("SVA9\r", "S$\rKX_DORVAN 2.3\r");
    EXPECT_EQ(VerifyTamsel(0), 1);
    EXPECT_EQ(TakeScriptedLineOutput(PORT), "?\rSVA9\r");
    EXPECT_TRUE(popups.empty());
    EXPECT_EQ(Dv3Gate, 1);
}

TEST_F(ScriptedLinkTest, VersionReportShowsTheIdentificationOrNotOnLine) {
    const struct {
        const char *name;
        std::string answer;
        int result;
        std::string shown;
    } cases[] = {
        {"identified", "S$\rKX_DORVAN 2.3\r", 1, "KX_DORVAN 2.3\r"},
        {"literal text, not a format", "S$\rKX_%s%n%x\r", 1, "KX_%s%n%x\r"},
        {"wrong identification", "S$\rKY_DORVAN 2.3\r", 0, "Not On Line !!!"},
        {"wrong acknowledgement", "T$\rKX_DORVAN 2.3\r", 0, "Not On Line !!!"},
        {"silent", "", 0, "Not On Line !!!"},
    };
    for (const auto &c : cases) {
        answers.clear();
        Answer("SVA9\r", c.answer);
        popups.clear();
        EXPECT_EQ(VerifyTamsel(1), c.result) << c.name;
        ASSERT_EQ(popups.size(), 1u) << c.name;
        EXPECT_EQ(popups[0].first, "Software Versions");
        const std::string &report = popups[0].second;
        std::string systemLine = "\r\n\nDorvan System       : " + c.shown + "\r\n\n";
        EXPECT_NE(report.find("Dorvan Setup utility: 1.0.0.4  (15-03-2012)"), std::string::npos);
        EXPECT_NE(report.find(systemLine), std::string::npos) << c.name << ": " << report;
        EXPECT_EQ(report.find("Dorvan Setup utility: "), report.find("\r\n\n\n") + 4);
    }
    EXPECT_EQ(Dv3Gate, 1);
}

TEST_F(ScriptedLinkTest, OverlongIdentificationIsCutAndTheReportStillCloses) {
    Answer("SVA9\r", "S$\rKX_" + std::string(240, 'L') + "\r");
    EXPECT_EQ(VerifyTamsel(1), 1);
    ASSERT_EQ(popups.size(), 1u);
    const std::string &report = popups[0].second;
    EXPECT_LE(report.size(), (size_t)DV3_MS_SIZE - 1);
    EXPECT_NE(report.find("Dorvan System       : KX_LLL"), std::string::npos);
    EXPECT_EQ(report.substr(report.size() - 9), "reserved.");
}

TEST_F(ScriptedLinkTest, ShowReportZeroShowsNothingWhateverTheOutcome) {
    EXPECT_EQ(VerifyTamsel(0), 0);
    Answer("SVA9\r", "S$\rKY_\r");
    EXPECT_EQ(VerifyTamsel(0), 0);
    EXPECT_TRUE(popups.empty());
}

} // namespace
