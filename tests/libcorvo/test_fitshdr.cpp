// Header template files: card lines, macros and the messages on standard
// output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "corvo/image.h"
#include "support/captured_output.h"
#include "support/temp_dir.h"

using namespace corvo;

namespace {

class FitsHdrTest : public testing::Test {
protected:
    // Writes `text` as the template and parses it; the standard output of
    // the parser goes to `output`.
    std::vector<FitsHdrMap> parse(const std::string& text)
    {
        std::ofstream(path) << text;
        corvotest::CapturedDiagnostics captured;
        auto result = parseFitsHdrFile(path);
        output = captured.stdoutText();
        return result;
    }

    corvotest::TempDir dir{"corvo-fitshdr"};
    std::string path = dir / "fitshdr.txt";
    std::string output;
};

void expectEntry(const FitsHdrMap& entry, const std::string& key, const std::string& component,
                 const std::string& property, const std::string& comment)
{
    EXPECT_EQ(entry.key, key);
    EXPECT_EQ(entry.component, component);
    EXPECT_EQ(entry.property, property);
    EXPECT_EQ(entry.comment, comment);
}

}  // namespace

// --- Card lines ----------------------------------------------------------------

TEST_F(FitsHdrTest, CardLineGivesItsFourParts)
{
    auto result = parse("EXPTIME => camera:expotime \"exposure time\"\n");
    ASSERT_EQ(result.size(), 1u);
    expectEntry(result[0], "EXPTIME", "camera", "expotime", "exposure time");
    EXPECT_EQ(output, "");
}

TEST_F(FitsHdrTest, SpacingAroundTheArrowIsOptional)
{
    auto result = parse("A=>c:p \"x\"\nB\t=>\tc:p\t\"y\"\n");
    ASSERT_EQ(result.size(), 2u);
    expectEntry(result[0], "A", "c", "p", "x");
    expectEntry(result[1], "B", "c", "p", "y");
}

TEST_F(FitsHdrTest, EmptyAndCommentOnlyFilesGiveNothing)
{
    EXPECT_TRUE(parse("").empty());
    EXPECT_EQ(output, "");
    EXPECT_TRUE(parse("// only a comment\n\n   \n\t// indented comment\n").empty());
    EXPECT_EQ(output, "");
}

TEST_F(FitsHdrTest, DoubleSlashInsideALineIsText)
{
    auto result = parse("URL => web:page \"see http://x\"\n");
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].comment, "see http://x");
}

TEST_F(FitsHdrTest, LastColonSplitsComponentAndProperty)
{
    auto result = parse("K => a:b:c \"abc\"\n");
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].component, "a:b");
    EXPECT_EQ(result[0].property, "c");
}

TEST_F(FitsHdrTest, CommentMayBeEmptyOrHoldQuotes)
{
    auto result = parse("E => c:p \"\"\nQ => c:p \"say \"hi\"\"\n");
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0].comment, "");
    EXPECT_EQ(result[1].comment, "say \"hi\"");
}

TEST_F(FitsHdrTest, SurroundingWhiteSpaceAndCarriageReturnAreStripped)
{
    auto result = parse("   EXPTIME => camera:expotime \"t\"   \t\r\n");
    ASSERT_EQ(result.size(), 1u);
    expectEntry(result[0], "EXPTIME", "camera", "expotime", "t");
    EXPECT_EQ(output, "");
}

TEST_F(FitsHdrTest, EightCharacterKeywordIsTheLongest)
{
    auto result = parse("ABCDEFGH => c:p \"ok\"\n");
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].key, "ABCDEFGH");
}

TEST_F(FitsHdrTest, WrongLinesAreReportedWithPhysicalLineNumbers)
{
    const std::string text = "// header\n"                  // 1
                             "\n"                           // 2
                             "ABCDEFGHI => c:p \"nine\"\n"  // 3: keyword too long
                             "GOOD => c:p \"fine\"\n"       // 4
                             "NOCOLON => cp \"x\"\n"        // 5
                             "NOQUOTE => c:p x\n"           // 6
                             "NOSPACE => c:p\"x\"\n"        // 7
                             "TRAIL => c:p \"x\" y\n"       // 8
                             "#define ONLYNAME\n"           // 9: not a macro
                             "#define A B C\n"              // 10: not a macro
                             "LAST => c:q \"end\"\n";       // 11
    auto result = parse(text);
    ASSERT_EQ(result.size(), 2u);
    expectEntry(result[0], "GOOD", "c", "p", "fine");
    expectEntry(result[1], "LAST", "c", "q", "end");
    EXPECT_EQ(output, path + ":3 Wrong syntax\n" + path + ":5 Wrong syntax\n" + path + ":6 Wrong syntax\n" + path +
                          ":7 Wrong syntax\n" + path + ":8 Wrong syntax\n" + path + ":9 Wrong syntax\n" + path +
                          ":10 Wrong syntax\n");
}

TEST_F(FitsHdrTest, OverlongLineIsWrongSyntaxNotACrash)
{
    const std::string comment(200000, 'x');
    auto result = parse("LONG => c:p \"" + comment + "\"\nOK => c:p \"short\"\n");
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].key, "OK");
    EXPECT_EQ(output, path + ":1 Wrong syntax\n");
}

TEST_F(FitsHdrTest, MissingFileGivesOneErrorLine)
{
    corvotest::CapturedDiagnostics captured;
    auto result = parseFitsHdrFile(dir / "absent.txt");
    EXPECT_EQ(captured.takeStdout(), "ERROR: Can't open FITS header file.\n");
    EXPECT_TRUE(result.empty());

    result = parseFitsHdrFile("");
    EXPECT_EQ(captured.takeStdout(), "ERROR: Can't open FITS header file.\n");
    EXPECT_TRUE(result.empty());
}

TEST_F(FitsHdrTest, UnreadableFileGivesNothingQuietly)
{
    // A directory exists but holds no lines.
    corvotest::CapturedDiagnostics captured;
    auto result = parseFitsHdrFile(dir.path());
    EXPECT_EQ(captured.stdoutText(), "");
    EXPECT_TRUE(result.empty());
}

// --- Macros --------------------------------------------------------------------

TEST_F(FitsHdrTest, MacroDefinedAfterItsUseStillApplies)
{
    auto result = parse("EXPTIME => CAM:expotime \"exposure time\"\n#define CAM camera\n");
    ASSERT_EQ(result.size(), 1u);
    expectEntry(result[0], "EXPTIME", "camera", "expotime", "exposure time");
    EXPECT_EQ(output, "");
}

TEST_F(FitsHdrTest, LaterDefinitionWins)
{
    auto result = parse("#define CAM first\nK => CAM:p \"c\"\n#define CAM second\nL => CAM:q \"d\"\n");
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0].component, "second");
    EXPECT_EQ(result[1].component, "second");
}

TEST_F(FitsHdrTest, MacroReplacesOnlyTheFirstOccurrence)
{
    auto result = parse("#define X cam\nK => X:X \"c\"\n");
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].component, "cam");
    EXPECT_EQ(result[0].property, "X");
}

TEST_F(FitsHdrTest, MacroNamesMatchInsideWords)
{
    auto result = parse("#define CAM xx\nK => CAMERA:p \"c\"\n");
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].component, "xxERA");
}

TEST_F(FitsHdrTest, MacrosApplyInNameOrderOverEarlierResults)
{
    // A comes before B: the B that A leaves is then replaced by B's value,
    // but only B's first occurrence in the line.
    auto result = parse("#define B dev\n#define A B\nK => A:p \"c\"\nL => B:A \"d\"\n");
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0].component, "dev");
    EXPECT_EQ(result[1].component, "dev");
    EXPECT_EQ(result[1].property, "B");
}

TEST_F(FitsHdrTest, MacroCanMakeALineValidOrInvalid)
{
    auto result = parse("#define KEY LONGKEYWORD\nKEY => c:p \"c\"\n#define ARROW =>\nK ARROW c:p \"x\"\n");
    ASSERT_EQ(result.size(), 1u);
    expectEntry(result[0], "K", "c", "p", "x");
    EXPECT_EQ(output, path + ":2 Wrong syntax\n");
}

TEST_F(FitsHdrTest, SecondCallParsesAfresh)
{
    parse("#define CAM camera\nK => CAM:p \"c\"\n");
    auto result = parse("K => CAM:p \"c\"\n");
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].component, "CAM");
}
