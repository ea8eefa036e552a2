#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "corvo/misc.h"
#include "support/captured_output.h"
#include "support/temp_dir.h"

using corvo::split;
using corvo::toToken;
using Words = std::vector<std::string>;

namespace {

using corvotest::TempDir;

bool isDirectory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(Split, KeepsEmptyPiecesExceptAfterTrailingDelimiter)
{
    EXPECT_EQ(split("a,,b", ','), (Words{"a", "", "b"}));
    EXPECT_EQ(split(",a", ','), (Words{"", "a"}));
    EXPECT_EQ(split("a,", ','), (Words{"a"}));
    EXPECT_EQ(split("", ','), Words{});
    EXPECT_EQ(split(",", ','), (Words{""}));
    EXPECT_EQ(split("abc", ','), (Words{"abc"}));
}

TEST(Split, TrimsNothing)
{
    EXPECT_EQ(split("a, b ,c", ','), (Words{"a", " b ", "c"}));
}

TEST(ToToken, RunsOfSpacesSeparateWords)
{
    EXPECT_EQ(toToken("  move   north  now "), (Words{"move", "north", "now"}));
}

TEST(ToToken, QuotedPhraseKeepsItsSpaces)
{
    EXPECT_EQ(toToken("move north \"fast lane\" now"), (Words{"move", "north", "fast lane", "now"}));
}

TEST(ToToken, EmptyQuotesGiveOneEmptyWord)
{
    EXPECT_EQ(toToken("a \"\" b"), (Words{"a", "", "b"}));
}

TEST(ToToken, UnclosedPhraseRunsToEndOfLine)
{
    EXPECT_EQ(toToken("say \"hello  world"), (Words{"say", "hello  world"}));
}

TEST(ToToken, TextAfterClosingQuoteStartsNewWord)
{
    EXPECT_EQ(toToken("\"ab\"cd ef"), (Words{"ab", "cd", "ef"}));
    EXPECT_EQ(toToken("\"ab\"   "), (Words{"ab"}));
}

TEST(ToToken, TabsAreOrdinaryCharacters)
{
    EXPECT_EQ(toToken("a\tb c"), (Words{"a\tb", "c"}));
}

TEST(ToToken, EmptyLineAndNullGiveNoWord)
{
    EXPECT_TRUE(toToken("").empty());
    EXPECT_TRUE(toToken("    ").empty());
    EXPECT_TRUE(toToken(nullptr).empty());
}

TEST(ToToken, QuoteInsideWordOpensPhrase)
{
    Words words = toToken("ab\"c d\" e");
    ASSERT_EQ(words.size(), 3u);
    EXPECT_EQ(words[1], "c d");
    EXPECT_EQ(words[2], "e");
}

TEST(Direxist, DirectoryFileAndMissing)
{
    TempDir tmp;
    EXPECT_TRUE(corvo::direxist(tmp.path().c_str()));
    std::string file = tmp.path() + "/f";
    std::ofstream(file) << "x";
    EXPECT_FALSE(corvo::direxist(file.c_str()));
    EXPECT_FALSE(corvo::direxist((tmp.path() + "/missing").c_str()));
    EXPECT_FALSE(corvo::direxist(nullptr));
}

TEST(Mkdir, CreatesMissingParentsOfRelativePathWithTrailingSlash)
{
    TempDir tmp;
    char* cwd = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    ASSERT_EQ(mkdir("a", 0755), 0);

    EXPECT_EQ(corvo::_mkdir("a/b/c/"), 0);
    EXPECT_TRUE(isDirectory("a/b"));
    EXPECT_TRUE(isDirectory("a/b/c"));

    errno = 0;
    EXPECT_EQ(corvo::_mkdir("a/b/c/"), -1);
    EXPECT_EQ(errno, EEXIST);

    ASSERT_EQ(chdir(cwd), 0);
    std::free(cwd);
}

TEST(Mkdir, AbsolutePathWithDeepParents)
{
    TempDir tmp;
    std::string deep = tmp.path() + "/x/y/z";
    EXPECT_EQ(corvo::_mkdir(deep.c_str()), 0);
    EXPECT_TRUE(isDirectory(deep));
}

TEST(Mkdir, EmptyPathCreatesNothing)
{
    EXPECT_EQ(corvo::_mkdir(""), -1);
}

TEST(Mkdir, OverlongPathIsRefusedNotCut)
{
    TempDir tmp;
    // The first 1023 characters would name a directory of its own.
    std::string path = tmp.path() + "/" + std::string(1100 - tmp.path().size(), 'd');
    std::string cut = path.substr(0, 1023);
    errno = 0;
    EXPECT_EQ(corvo::_mkdir(path.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_FALSE(corvo::direxist(cut.c_str()));
}

TEST(Mkdir, PathOfExactly1023CharactersIsAccepted)
{
    TempDir tmp;
    // Components under NAME_MAX, total length exactly 1023.
    std::string path = tmp.path();
    while (path.size() + 201 <= 1023) {
        path += "/" + std::string(200, 'p');
    }
    path += "/" + std::string(1023 - path.size() - 1, 'q');
    ASSERT_EQ(path.size(), 1023u);
    EXPECT_EQ(corvo::_mkdir(path.c_str()), 0);
    EXPECT_TRUE(isDirectory(path));
}

TEST(Errors, MessagesAndWhat)
{
    EXPECT_STREQ(corvo::CorvoTypeError().what(), "Type Error");
    EXPECT_STREQ(corvo::CorvoArgError().what(), "Argument Error");
    EXPECT_STREQ(corvo::CorvoTypeError("custom").what(), "custom");
    try {
        throw corvo::CorvoError("boom");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "boom");
    }
    try {
        throw corvo::CorvoArgError();
    } catch (const corvo::CorvoError& e) {
        EXPECT_STREQ(e.what(), "Argument Error");
    }
}

TEST(StackTrace, ConstructionWritesTraceToStandardError)
{
    corvotest::CapturedDiagnostics captured;
    try {
        throw corvo::CorvoError("caught");
    } catch (const corvo::CorvoError&) {}
    std::string err = captured.stderrText();
    ASSERT_EQ(err.rfind("stack trace:\n", 0), 0u) << err;
    // Frame lines follow, each indented by two spaces, at most 63 of them.
    std::string frames = err.substr(std::string("stack trace:\n").size());
    std::istringstream lines(frames);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_EQ(line.rfind("  ", 0), 0u) << line;
    }
    EXPECT_GE(count, 2);
    EXPECT_LE(count, 63);
    EXPECT_NE(frames.find(" : "), std::string::npos) << frames;
}

TEST(StackTrace, LineFormats)
{
    using corvo::detail::formatStackLine;
    // Stripped module: no parentheses, printed whole.
    EXPECT_EQ(formatStackLine("/lib/libx.so [0x1234]"), "  /lib/libx.so [0x1234]\n");
    // Mangled C++ symbol is demangled.
    EXPECT_EQ(formatStackLine("/bin/prog(_ZN5corvo5splitEv+0x1a) [0x55]"), "  /bin/prog : corvo::split()+0x1a\n");
    // A C symbol does not demangle and keeps its name with "()".
    EXPECT_EQ(formatStackLine("/lib/libc.so.6(main+0x10) [0x66]"), "  /lib/libc.so.6 : main()+0x10\n");
    // No symbol at all.
    EXPECT_EQ(formatStackLine("./prog(+0x1234) [0x77]"), "  ./prog : ()+0x1234\n");
    // '+' without a closing ')' after it: whole line.
    EXPECT_EQ(formatStackLine("mod(sym+0x1 [0x9]"), "  mod(sym+0x1 [0x9]\n");
    // '(' only after the '+': whole line.
    EXPECT_EQ(formatStackLine("mod+x(sym) [0x9]"), "  mod+x(sym) [0x9]\n");
}

TEST(Trim, StripsIsspaceSet)
{
    std::string s = " \t\v\f\r\nkey = v \r\n";
    corvo::trim(s);
    EXPECT_EQ(s, "key = v");
    EXPECT_EQ(corvo::trimmed(" \t a b\r"), "a b");
    EXPECT_EQ(corvo::trimmed(" \t\r\n"), "");
    EXPECT_EQ(corvo::trimmed(""), "");
}

TEST(Errors, EveryLibraryErrorIsACorvoErrorAndOnlyProgramFaultsPrintATrace)
{
    auto printsTrace = [](auto makeAndThrow) {
        corvotest::CapturedDiagnostics captured;
        try {
            makeAndThrow();
        } catch (const corvo::CorvoError&) {
        } catch (...) {
            ADD_FAILURE() << "not a CorvoError";
        }
        return captured.stderrText().find("stack trace:") != std::string::npos;
    };
    EXPECT_TRUE(printsTrace([] { throw corvo::CorvoTypeError(); }));
    EXPECT_TRUE(printsTrace([] { throw corvo::CorvoError("fault"); }));
    EXPECT_FALSE(printsTrace([] { throw corvo::KeyError("k.id: bad"); }));
    EXPECT_FALSE(printsTrace([] { throw corvo::AccessError("r.rules:3: bad"); }));
    EXPECT_FALSE(printsTrace([] { throw corvo::FileError("f: bad"); }));
    EXPECT_FALSE(printsTrace([] { throw corvo::CorvoError("input", corvo::CorvoError::Trace::Omit); }));
    // Callers that catch the standard base still catch them all.
    try {
        throw corvo::KeyError("key");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "key");
    }
}

TEST(SplitList, TrimsItemsAndDropsEmptyOnes)
{
    EXPECT_EQ(corvo::splitList(" a, b ,,c ,"), (Words{"a", "b", "c"}));
    EXPECT_EQ(corvo::splitList(""), Words{});
    EXPECT_EQ(corvo::splitList(" , "), Words{});
    EXPECT_EQ(corvo::splitList("mount-*"), Words{"mount-*"});
}

class ReadSmallFile : public testing::Test {
protected:
    std::string write(const std::string& name, const std::string& text)
    {
        std::string path = dir.path() + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    // The message of the FileError that reading `path` throws, or "".
    std::string refusal(const std::string& path, size_t bound = 64)
    {
        try {
            corvo::readSmallFile(path, bound);
        } catch (const corvo::FileError& e) {
            return e.what();
        }
        return "";
    }
    TempDir dir{"crv-read"};
};

TEST_F(ReadSmallFile, ReadsAFileWithinTheBoundWhole)
{
    EXPECT_EQ(corvo::readSmallFile(write("a", "line\n"), 5), "line\n");
    EXPECT_EQ(corvo::readSmallFile(write("e", ""), 0), "");
}

TEST_F(ReadSmallFile, RefusesWhatIsNotASmallRegularFileNamingThePath)
{
    std::string big = write("big", std::string(65, 'x'));
    EXPECT_EQ(refusal(big), big + ": larger than 64 bytes");
    std::string link = dir.path() + "/link";
    ASSERT_EQ(symlink(write("target", "x").c_str(), link.c_str()), 0);
    EXPECT_EQ(refusal(link).rfind(link + ": ", 0), 0u);
    EXPECT_EQ(refusal(dir.path()), dir.path() + ": not a regular file");
    std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(refusal(fifo), fifo + ": not a regular file");  // and does not block
    EXPECT_EQ(refusal(dir.path() + "/none"), dir.path() + "/none: No such file or directory");
}

TEST_F(ReadSmallFile, TheCheckSeesTheStatusBeforeAnythingIsRead)
{
    std::string path = write("k", "secret");
    chmod(path.c_str(), 0640);
    EXPECT_THROW(corvo::readSmallFile(path, 64,
                                      [](const struct stat& info) {
                                          if (info.st_mode & 077)
                                              throw corvo::KeyError("open to others");
                                      }),
                 corvo::KeyError);
}

TEST(StackTrace, ArgumentErrorsComeFromPeersAndPrintNone)
{
    corvotest::CapturedDiagnostics captured;
    try {
        throw corvo::CorvoArgError();
    } catch (const corvo::CorvoError&) {}
    EXPECT_EQ(captured.text(), "");
}

TEST(SendDelay, ExtremeTimeStampsClampInsteadOfOverflowing)
{
    using namespace std::chrono;
    system_clock::time_point now(seconds(1800000000));
    EXPECT_EQ(corvo::sendDelayMicroseconds(1800000000 - 2, 500000000, now), 1500000);
    EXPECT_EQ(corvo::sendDelayMicroseconds(1800000000, 1000, now), -1);  // truncated toward zero: -1.000 us
    EXPECT_EQ(corvo::sendDelayMicroseconds(1800000000, 1999, now), -1);
    EXPECT_EQ(corvo::sendDelayMicroseconds(0, 0, now), 1800000000LL * 1000000);
    const int64_t max = std::numeric_limits<int64_t>::max(), min = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(corvo::sendDelayMicroseconds(max, 999999999, now), min);
    EXPECT_EQ(corvo::sendDelayMicroseconds(min, -999999999, now), max);
    EXPECT_EQ(corvo::sendDelayMicroseconds(min, max, now), max);
    EXPECT_EQ(corvo::sendDelayMicroseconds(max, min, now), min);
    // Just inside the range: 2^63 - 1 microseconds is about 292,000 years.
    EXPECT_EQ(corvo::sendDelayMicroseconds(1800000000 - 9223372036854LL, -775807000, now), max);
}

TEST(EscapeControl, ControlsBecomeEscapesAndTextStays)
{
    using corvo::escapeControl;
    EXPECT_EQ(escapeControl("plain text: 1.5 mm, [a, b]"), "plain text: 1.5 mm, [a, b]");
    EXPECT_EQ(escapeControl("a\nb\rc\td"), "a\\nb\\rc\\td");
    EXPECT_EQ(escapeControl("\x1b[2J\x1b]0;title\x07"), "\\x1b[2J\\x1b]0;title\\x07");
    EXPECT_EQ(escapeControl(std::string("nul\0end", 7)), "nul\\x00end");
    EXPECT_EQ(escapeControl("del\x7f"), "del\\x7f");
    // UTF-8 text is kept; the C1 controls (CSI is U+009B) are escaped.
    EXPECT_EQ(escapeControl("Hα 656nm °C €"), "Hα 656nm °C €");
    EXPECT_EQ(escapeControl("\xc2\x9b"
                            "31m"),
              "\\u009b31m");
    EXPECT_EQ(escapeControl("\xc2\x85"), "\\u0085");
    EXPECT_EQ(escapeControl("\xc2\xa0"), "\xc2\xa0");  // no-break space is text
    EXPECT_EQ(escapeControl("\xf0\x9f\x94\xad"), "\xf0\x9f\x94\xad");
    // Bytes that are not UTF-8: a lone CSI byte, a cut sequence, an overlong
    // form of '/', a surrogate, a code point above U+10FFFF.
    EXPECT_EQ(escapeControl("\x9b"
                            "2J"),
              "\\x9b2J");
    EXPECT_EQ(escapeControl("cut\xe2\x82"), "cut\\xe2\\x82");
    EXPECT_EQ(escapeControl("\xc0\xaf"), "\\xc0\\xaf");
    EXPECT_EQ(escapeControl("\xed\xa0\x80"), "\\xed\\xa0\\x80");
    EXPECT_EQ(escapeControl("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");
    // Escaping is idempotent: printed text never changes when printed again.
    std::string once = escapeControl("\x1b\x9b\xc2\x9b\n");
    EXPECT_EQ(escapeControl(once), once);
}
