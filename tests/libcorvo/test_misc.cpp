#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "corvo/misc.h"
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
    testing::internal::CaptureStderr();
    try {
        throw corvo::CorvoError("caught");
    } catch (const corvo::CorvoError&) {}
    std::string err = testing::internal::GetCapturedStderr();
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
}
