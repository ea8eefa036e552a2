#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "corvo/confmanager.h"
#include "support/captured_output.h"
#include "support/temp_dir.h"

using corvo::ConfManager;

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::set<std::string> listDir(const std::string& dir)
{
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.insert(name);
            }
        }
        closedir(d);
    }
    return names;
}

// Saves an environment variable and puts it back afterwards.
class EnvGuard {
public:
    explicit EnvGuard(const char* name) : name(name)
    {
        const char* value = std::getenv(name);
        had = value != nullptr;
        if (had) {
            old = value;
        }
    }
    ~EnvGuard()
    {
        if (had) {
            setenv(name, old.c_str(), 1);
        } else {
            unsetenv(name);
        }
    }

private:
    const char* name;
    bool had = false;
    std::string old;
};

// A temporary tree with HOME and CORVO_CONF_PATH pointing into it.
class ConfTest : public testing::Test {
protected:
    void SetUp() override
    {
        root = tree.path();
        home = root + "/home";
        extra = root + "/extra";
        userDir = home + "/.config/corvo";
        mkdir(home.c_str(), 0755);
        setenv("HOME", home.c_str(), 1);
        setenv("CORVO_CONF_PATH", extra.c_str(), 1);
    }

    corvotest::TempDir tree{"corvo-conf"};
    EnvGuard homeGuard{"HOME"};
    EnvGuard pathGuard{"CORVO_CONF_PATH"};
    std::string root, home, extra, userDir;
};

}  // namespace

TEST_F(ConfTest, ConstructorCreatesAndListsUserAndExtraDirectories)
{
    ConfManager conf;
    ASSERT_GE(conf.confDirs.size(), 2u);
    EXPECT_EQ(conf.confDirs[conf.confDirs.size() - 2], userDir);
    EXPECT_EQ(conf.confDirs.back(), extra);
    struct stat st;
    ASSERT_EQ(stat(userDir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(ConfTest, UncreatableDirectoryIsDropped)
{
    writeFile(root + "/file", "x");
    setenv("CORVO_CONF_PATH", (root + "/file/sub").c_str(), 1);
    ConfManager conf;
    EXPECT_EQ(conf.confDirs.back(), userDir);
}

TEST_F(ConfTest, LaterDirectoryWinsAndOnlyOneFileIsRead)
{
    ConfManager conf;
    writeFile(userDir + "/cam.conf", "a = home\nonlyhome = 1\n");
    writeFile(extra + "/cam.conf", "a = extra\n");
    conf.load("cam");
    EXPECT_EQ(conf.get("cam", "a", "?"), "extra");
    EXPECT_EQ(conf.get("cam", "onlyhome", "?"), "?");
    EXPECT_EQ(conf.paths.at("cam"), extra + "/cam.conf");
}

TEST_F(ConfTest, LineFormat)
{
    ConfManager conf;
    writeFile(extra + "/fmt.conf", "# comment\n"
                                   "\n"
                                   "  exposure = 1.5  # seconds\n"
                                   "url=a#b\n"
                                   "\t  # indented comment\r\n"
                                   "crlf = yes\r\n"
                                   "eq = x=y\n"
                                   "exposure = 2\n"
                                   "Case = upper\n"
                                   "empty =\n");
    corvotest::CapturedDiagnostics captured;
    conf.load("fmt");
    EXPECT_EQ(captured.stdoutText(), "");
    const ConfManager::Config& c = conf.configs.at("fmt");
    EXPECT_EQ(c.at("exposure"), "2");
    EXPECT_EQ(c.at("url"), "a");
    EXPECT_EQ(c.at("crlf"), "yes");
    EXPECT_EQ(c.at("eq"), "x=y");
    EXPECT_EQ(c.at("Case"), "upper");
    EXPECT_EQ(c.count("case"), 0u);
    EXPECT_EQ(c.at("empty"), "");
    EXPECT_EQ(c.size(), 6u);
}

TEST_F(ConfTest, SpacedKeyWithTrailingComment)
{
    ConfManager conf;
    writeFile(extra + "/one.conf", "  exposure = 1.5  # comment\n");
    conf.load("one");
    EXPECT_EQ(conf.get("one", "exposure", ""), "1.5");
}

TEST_F(ConfTest, MalformedLineIsReportedAndSkipped)
{
    ConfManager conf;
    std::string path = extra + "/bad.conf";
    writeFile(path, "a = 1\n# c\nword\nb = 2\n");
    corvotest::CapturedDiagnostics captured;
    conf.load("bad");
    EXPECT_EQ(captured.stdoutText(), "Error loading " + path + ":3\n");
    EXPECT_EQ(conf.get("bad", "a", ""), "1");
    EXPECT_EQ(conf.get("bad", "b", ""), "2");
}

// A FIFO would wedge the read, a device or a huge file would fill the
// memory: none is read, each says why, and none is recorded for saving (a
// save would replace it with the few keys the program knows).
TEST_F(ConfTest, OnlyRegularFilesOfAtMostOneMebibyteAreRead)
{
    ConfManager conf;
    std::string fifo = extra + "/fifo.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", (extra + "/zero.conf").c_str()), 0);
    std::string big = extra + "/big.conf";
    writeFile(big, "a = 1\n" + std::string(1 << 20, '#') + "\n");
    writeFile(extra + "/edge.conf", "a = 1\n#" + std::string((1 << 20) - 8, 'x') + "\n");
    corvotest::CapturedDiagnostics captured;
    conf.load("fifo");
    conf.load("zero");
    conf.load("big");
    conf.load("edge");
    EXPECT_EQ(captured.stdoutText(), "Not loading " + fifo + ": it is not a regular file\nNot loading " + extra +
                                         "/zero.conf: it is not a regular file\nNot loading " + big +
                                         ": it is larger than 1048576 bytes\n");
    EXPECT_EQ(conf.configs.count("big"), 0u);
    EXPECT_EQ(conf.paths.count("big"), 0u);
    EXPECT_EQ(conf.paths.count("fifo"), 0u);
    EXPECT_EQ(conf.get("edge", "a", ""), "1") << "a file of exactly 1 MiB is read";
    // What a daemon asks before it starts on the file.
    EXPECT_EQ(conf.unreadable("fifo"), fifo + ": it is not a regular file");
    EXPECT_EQ(conf.unreadable("big"), big + ": it is larger than 1048576 bytes");
    EXPECT_EQ(conf.unreadable("edge"), "");
    EXPECT_EQ(conf.unreadable("absent"), "");
}

TEST_F(ConfTest, LoadKeepsValuesTheFileDoesNotMention)
{
    ConfManager conf;
    conf.get("keep")["old"] = "1";
    writeFile(extra + "/keep.conf", "new = 2\n");
    conf.load("keep");
    EXPECT_EQ(conf.get("keep", "old", ""), "1");
    EXPECT_EQ(conf.get("keep", "new", ""), "2");
}

TEST_F(ConfTest, CommentsOnlyLoadsNoConfiguration)
{
    ConfManager conf;
    writeFile(extra + "/c.conf", "# only\n\n   # comments\n");
    conf.load("c");
    EXPECT_EQ(conf.configs.count("c"), 0u);

    corvotest::CapturedDiagnostics captured;
    conf.set("c", "k", "v");
    EXPECT_EQ(captured.stdoutText(), "Config section c is not loaded when setting\n");
    EXPECT_TRUE(conf.dirty.empty());
    EXPECT_EQ(conf.configs.count("c"), 0u);

    conf.get("c");
    conf.set("c", "k", "v");
    EXPECT_EQ(conf.get("c", "k", ""), "v");
    EXPECT_EQ(conf.dirty.count("c"), 1u);
}

TEST_F(ConfTest, DefaultGetCreatesNothing)
{
    ConfManager conf;
    EXPECT_EQ(conf.get("nothing", "k", "dflt"), "dflt");
    EXPECT_EQ(conf.configs.count("nothing"), 0u);
}

TEST_F(ConfTest, SetAndSaveAllRewriteFileWithoutComments)
{
    ConfManager conf;
    std::string path = extra + "/cam.conf";
    writeFile(path, "# header\nwidth = 640\n\nheight = 480 # px\n");
    conf.load("cam");
    conf.set("cam", "width", "1024");
    conf.set("cam", "gain", "2");
    ASSERT_EQ(conf.dirty.count("cam"), 1u);
    conf.saveAll();
    EXPECT_TRUE(conf.dirty.empty());

    std::string text = readFile(path);
    EXPECT_EQ(text.find('#'), std::string::npos);
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.insert(line);
    }
    EXPECT_EQ(lines, (std::set<std::string>{"width = 1024", "height = 480", "gain = 2"}));
    EXPECT_EQ(text.back(), '\n');
    // Nothing but the configuration is left in the directory.
    EXPECT_EQ(listDir(extra), std::set<std::string>{"cam.conf"});

    ConfManager again;
    again.load("cam");
    EXPECT_EQ(again.configs.at("cam"), conf.configs.at("cam"));
}

TEST_F(ConfTest, SaveKeepsFileModeAndSymlink)
{
    ConfManager conf;
    std::string real = root + "/real.conf";
    writeFile(real, "a = 1\n");
    chmod(real.c_str(), 0600);
    ASSERT_EQ(symlink(real.c_str(), (extra + "/link.conf").c_str()), 0);
    conf.load("link");
    conf.set("link", "a", "2");
    conf.save("link");
    struct stat st;
    ASSERT_EQ(lstat((extra + "/link.conf").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readFile(real), "a = 2\n");
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ConfTest, SaveWithoutRecordedPathFailsAndClearsDirty)
{
    ConfManager conf;
    conf.get("mem")["k"] = "v";
    conf.set("mem", "k", "w");
    corvotest::CapturedDiagnostics captured;
    conf.saveAll();
    EXPECT_EQ(captured.stdoutText(), "Can't write to file \n");
    EXPECT_TRUE(conf.dirty.empty());
    EXPECT_EQ(conf.get("mem", "k", ""), "w");
}

TEST_F(ConfTest, FailedSaveLeavesOldFileIntact)
{
    ConfManager conf;
    std::string path = extra + "/big.conf";
    writeFile(path, "a = 1\n");
    conf.load("big");
    conf.set("big", "a", std::string(4096, 'x'));

    // Make every write beyond 100 bytes fail (works for root as well).
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 100;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    corvotest::CapturedDiagnostics captured;
    conf.save("big");
    std::string out = captured.stdoutText();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(out, "Can't write to file " + path + "\n");
    EXPECT_EQ(readFile(path), "a = 1\n");
    EXPECT_EQ(listDir(extra), std::set<std::string>{"big.conf"});
    EXPECT_TRUE(conf.dirty.empty());
}

TEST_F(ConfTest, SaveIntoVanishedDirectoryIsReported)
{
    ConfManager conf;
    std::string dir = root + "/gone";
    conf.addConfDir(dir);
    writeFile(dir + "/g.conf", "a = 1\n");
    conf.load("g");
    conf.set("g", "a", "2");
    std::filesystem::remove_all(dir);
    corvotest::CapturedDiagnostics captured;
    conf.save("g");
    EXPECT_EQ(captured.stdoutText(), "Can't write to file " + dir + "/g.conf\n");
}

TEST_F(ConfTest, MissingConfigurationCreatesEmptyUserFile)
{
    ConfManager conf;
    corvotest::CapturedDiagnostics captured;
    conf.load("fresh");
    EXPECT_EQ(captured.stdoutText(), "Creating new config file for fresh.conf\n");
    std::string created = userDir + "/fresh.conf";
    ASSERT_TRUE(exists(created));
    EXPECT_EQ(readFile(created), "");
    EXPECT_EQ(conf.paths.count("fresh"), 0u);
    EXPECT_EQ(conf.configs.count("fresh"), 0u);
}

TEST_F(ConfTest, CreateLeavesExistingFileUntouched)
{
    ConfManager conf;
    std::string path = userDir + "/x.conf";
    writeFile(path, "k = v\n");
    conf.create("x");
    EXPECT_EQ(readFile(path), "k = v\n");
}

// A dangling link named like the file is not followed: no file appears
// where it points.
TEST_F(ConfTest, LoadMakesNoFileWhereADanglingLinkPoints)
{
    ConfManager conf;
    std::string target = root + "/planted";
    ASSERT_EQ(symlink(target.c_str(), (userDir + "/linked.conf").c_str()), 0);
    corvotest::CapturedDiagnostics quiet;
    conf.load("linked");
    EXPECT_FALSE(exists(target));
    EXPECT_EQ(conf.configs.count("linked"), 0u);
}

TEST_F(ConfTest, WithoutHomeNothingIsCreatedAndNothingThrows)
{
    unsetenv("HOME");
    unsetenv("CORVO_CONF_PATH");
    std::unique_ptr<ConfManager> conf;
    ASSERT_NO_THROW(conf.reset(new ConfManager()));
    for (const std::string& dir : conf->confDirs) {
        EXPECT_EQ(dir.find(root), std::string::npos);
    }
    conf->confDirs.clear();
    corvotest::CapturedDiagnostics captured;
    ASSERT_NO_THROW(conf->load("nohome"));
    EXPECT_EQ(captured.stdoutText(), "Creating new config file for nohome.conf\n");
    ASSERT_NO_THROW(conf->create("nohome"));
    EXPECT_FALSE(exists(userDir));
}

TEST_F(ConfTest, GetPathLooksOnlyInLastDirectory)
{
    ConfManager conf;
    writeFile(userDir + "/fitshdr.txt", "x");
    corvotest::CapturedDiagnostics captured;
    EXPECT_EQ(conf.getPath("fitshdr.txt"), "");
    EXPECT_EQ(captured.takeStderr(), "search conf " + extra + "/fitshdr.txt\nexist: -1\n");

    writeFile(extra + "/fitshdr.txt", "y");
    EXPECT_EQ(conf.getPath("fitshdr.txt"), extra + "/fitshdr.txt");
    EXPECT_EQ(captured.takeStderr(), "search conf " + extra + "/fitshdr.txt\nexist: 0\n");

    conf.confDirs.clear();
    EXPECT_EQ(conf.getPath("fitshdr.txt"), "");
    EXPECT_EQ(captured.takeStderr(), "");
}

// The file format has no escapes: a pair either reads back exactly as it was
// set, or set and save refuse it.
TEST_F(ConfTest, ValuesThatWouldNotReadBackAreRefusedNeverTruncated)
{
    ConfManager conf;
    std::string path = extra + "/cam.conf";
    writeFile(path, "url = http://host/a\n");
    conf.load("cam");
    corvotest::CapturedDiagnostics captured;
    EXPECT_FALSE(conf.set("cam", "url", "http://host/a#fragment"));
    EXPECT_FALSE(conf.set("cam", "note", "two\nlines"));
    EXPECT_FALSE(conf.set("cam", "pad", " padded"));
    EXPECT_FALSE(conf.set("cam", "pad", "padded\t"));
    EXPECT_FALSE(conf.set("cam", "a=b", "1"));
    EXPECT_FALSE(conf.set("cam", "#key", "1"));
    EXPECT_FALSE(conf.set("cam", " key", "1"));
    std::string err = captured.stderrText();
    EXPECT_NE(err.find("Config cam: cannot store url: the value holds '#' or a line break"), std::string::npos) << err;
    EXPECT_EQ(conf.get("cam", "url", ""), "http://host/a");
    EXPECT_TRUE(conf.dirty.empty());

    // What can be stored reads back byte for byte.
    const ConfManager::Config storable = {{"url", "http://host/a?b=c&d=e"},
                                          {"label", "H alpha = 656 nm \xc2\xb0"},
                                          {"in#side", "x"},
                                          {"cr", "a\rb"},
                                          {"empty", ""},
                                          {"", "empty key"},
                                          {"spaced key", "inner  spaces"}};
    for (const auto& [key, value] : storable)
        EXPECT_TRUE(conf.set("cam", key, value)) << key;
    conf.save("cam");
    ConfManager again;
    again.load("cam");
    EXPECT_EQ(again.configs.at("cam"), storable);
}

TEST_F(ConfTest, SaveRefusesAValuePutInThroughTheMapAndKeepsTheFile)
{
    ConfManager conf;
    std::string path = extra + "/cam.conf";
    writeFile(path, "width = 640\n");
    conf.load("cam");
    conf.get("cam")["pattern"] = "img#%d\n";
    corvotest::CapturedDiagnostics captured;
    conf.save("cam");
    std::string err = captured.stderrText();
    EXPECT_NE(err.find("Config cam not saved: cannot store pattern"), std::string::npos) << err;
    EXPECT_EQ(readFile(path), "width = 640\n");
    EXPECT_EQ(listDir(extra), std::set<std::string>{"cam.conf"});
}
