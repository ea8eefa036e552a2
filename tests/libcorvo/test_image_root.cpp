// The image root: which names lie inside it, the text a peer's value may add
// to a name, and directories opened below it without following links.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "corvo/file_pattern.h"
#include "corvo/image.h"
#include "corvo/image_root.h"
#include "corvo/misc.h"
#include "support/temp_dir.h"

using namespace corvo;
using corvotest::TempDir;

namespace {

struct Placed {
    bool ok;
    std::string directory, file, reason;
};

Placed place(const ImageRoot& root, const std::string& name)
{
    Placed p;
    p.ok = root.place(name, p.directory, p.file, p.reason);
    return p;
}

bool fitsLibraryLoaded()
{
    std::ifstream maps("/proc/self/maps");
    std::stringstream text;
    text << maps.rdbuf();
    return text.str().find("libcfitsio") != std::string::npos;
}

}  // namespace

// This program calls no cfitsio function itself (unlike the image file
// tests): cfitsio comes in with the first image, not with every program
// that links the library, and the image it makes is a FITS file.
TEST(ImageLibrary, LoadedWithTheFirstImage)
{
#ifndef __SANITIZE_ADDRESS__
    // (Under AddressSanitizer the linker keeps every library it is given,
    // so there cfitsio is loaded at start whatever the library does.)
    EXPECT_FALSE(fitsLibraryLoaded()) << "loaded before any image was made";
#endif
    TempDir dir;
    uint16_t pixels[6] = {0, 1, 2, 3, 65535, 7};
    {
        Image image(dir / "first.fits", IMAGE_UINT16, 3, 2);
        image.writeHeader("EXPTIME", 2.5, "exposure");
        image.writeData(pixels, false);
        image.close();
    }
    EXPECT_TRUE(fitsLibraryLoaded());
    std::ifstream file(dir / "first.fits", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size() % 2880, 0u);
    EXPECT_EQ(bytes.compare(0, 30, "SIMPLE  =                    T"), 0);
    EXPECT_NE(bytes.find("EXPTIME =                  2.5"), std::string::npos);
    EXPECT_NE(bytes.find("BZERO   =                32768"), std::string::npos);
}

TEST(ImageRoot, SanitisedPeerText)
{
    EXPECT_EQ(sanitizeFileNameText("M31_a-b+c.d"), "M31_a-b+c.d");
    EXPECT_EQ(sanitizeFileNameText("../../etc/passwd"), ".._.._etc_passwd");
    EXPECT_EQ(sanitizeFileNameText("mem://x"), "mem___x");
    EXPECT_EQ(sanitizeFileNameText("!a(b)[c] d\n\t$`'\""), "_a_b__c__d______");
    EXPECT_EQ(sanitizeFileNameText(std::string("a\0b", 3)), "a_b");
    EXPECT_EQ(sanitizeFileNameText("\xc3\xa9"), "__");
    EXPECT_EQ(sanitizeFileNameText(""), "");
}

TEST(ImageRoot, NamesInsideTheRoot)
{
    const ImageRoot root("/data/images/");
    EXPECT_EQ(root.path(), "/data/images");

    auto p = place(root, "night/a.fits");
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.directory, "night");
    EXPECT_EQ(p.file, "a.fits");

    p = place(root, "a.fits");
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.directory, "");

    p = place(root, "/data/images/x//./y/../b.fits");
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.directory, "x");
    EXPECT_EQ(p.file, "b.fits");

    // ".." that stays inside is only text.
    p = place(root, "a/../c.fits");
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.directory, "");
    EXPECT_EQ(p.file, "c.fits");
}

// A peer's value is always one ordinary path component of its own: never
// ".", ".." or empty, so the image stays at the depth the pattern gives.
TEST(ImageRoot, PeerTextNeverNamesADirectoryOfItsOwn)
{
    const ImageRoot root("/data/images");
    std::tm now{};
    now.tm_year = 126;
    now.tm_mon = 11;
    now.tm_mday = 9;
    now.tm_hour = 21;
    now.tm_min = 30;
    for (const std::string value : {"..", ".", "", "...", "m31"}) {
        SCOPED_TRACE("'" + value + "'");
        const auto lookup = [&](const std::string&, const std::string& property, std::string& text) {
            text = property == "object" ? value : ".";
            return true;
        };
        auto p = place(root, expandFilePattern("night%d/${mount:object}/%H%M.fits", now, lookup));
        ASSERT_TRUE(p.ok) << p.reason;
        EXPECT_EQ(p.file, "2130.fits");
        EXPECT_EQ(p.directory, "night09/" + (value == "m31" ? value : std::string("_")));

        // Alone, beside another value, and as the file name itself.
        p = place(root, expandFilePattern("${mount:object}/x.fits", now, lookup));
        ASSERT_TRUE(p.ok) << p.reason;
        EXPECT_EQ(p.directory.find('/'), std::string::npos);
        EXPECT_FALSE(p.directory.empty());
        p = place(root, expandFilePattern("a/${mount:object}${mount:other}/x.fits", now, lookup));
        ASSERT_TRUE(p.ok) << p.reason;
        EXPECT_EQ(p.directory.rfind("a/", 0), 0u);
        EXPECT_EQ(p.directory.find('/', 2), std::string::npos);
        p = place(root, expandFilePattern("%y/${mount:object}", now, lookup));
        ASSERT_TRUE(p.ok) << p.reason;
        EXPECT_EQ(p.directory, "2026");
    }
}

TEST(ImageRoot, NamesOutsideTheRootAreRefused)
{
    const ImageRoot root("/data/images");
    for (const std::string name :
         {"../x.fits", "a/../../x.fits", "/data/images/../x.fits", "/data/imagesX/a.fits", "/data/x.fits",
          "/etc/passwd", "/data/images", "/data/images/", ".", "", "a/", "..", "a/b/../../../x.fits"}) {
        SCOPED_TRACE(name);
        const auto p = place(root, name);
        EXPECT_FALSE(p.ok);
        EXPECT_FALSE(p.reason.empty());
    }
    // Bounded sizes.
    EXPECT_FALSE(place(root, std::string(300, 'a')).ok);
    EXPECT_FALSE(place(root, std::string(5000, '/') + "a").ok);
    EXPECT_FALSE(place(root, std::string("a\0b", 3)).ok);
}

// A root given through a link: absolute names may use its resolved path too.
TEST(ImageRoot, RootThroughALink)
{
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "real").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    const ImageRoot root(dir / "link");
    EXPECT_TRUE(place(root, dir / "link/a.fits").ok);
    char resolved[4096];
    ASSERT_NE(realpath((dir / "real").c_str(), resolved), nullptr);
    EXPECT_TRUE(place(root, std::string(resolved) + "/a.fits").ok);
    EXPECT_FALSE(place(root, dir / "other/a.fits").ok);
}

TEST(ImageRoot, DirectoriesAreMadeAndLinksBelowTheRootNotFollowed)
{
    TempDir dir;
    const ImageRoot root(dir / "root");
    // The root itself is made when missing.
    int fd = root.openDirectory("a/b");
    ASSERT_GE(fd, 0);
    close(fd);
    struct stat st;
    EXPECT_EQ(stat((dir / "root/a/b").c_str(), &st), 0);

    ASSERT_EQ(mkdir((dir / "outside").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "root/escape").c_str()), 0);
    errno = 0;
    EXPECT_EQ(root.openDirectory("escape"), -1);
    EXPECT_EQ(root.openDirectory("escape/sub"), -1);
    EXPECT_NE(stat((dir / "outside/sub").c_str(), &st), 0);
    // A plain file where a directory should be.
    {
        FILE* f = fopen((dir / "root/file").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
    }
    EXPECT_EQ(root.openDirectory("file/x"), -1);
    EXPECT_EQ(root.openDirectory("a/../b"), -1);
}

// Without HOME (a service's dynamic user), the one directory the service
// may write: its state directory.
TEST(ImageRoot, DefaultFollowsHomeThenTheServiceStateDirectory)
{
    const char* saved = getenv("HOME");
    const std::string keep = saved ? saved : "";
    setenv("HOME", "/home/observer", 1);
    setenv("STATE_DIRECTORY", "/var/lib/corvo/cam", 1);
    EXPECT_EQ(ImageRoot::defaultRoot(), "/home/observer/corvo-images");
    EXPECT_EQ(ImageRoot("").path(), "/home/observer/corvo-images");
    unsetenv("HOME");
    EXPECT_EQ(ImageRoot::defaultRoot(), "/var/lib/corvo/cam/images");
    setenv("STATE_DIRECTORY", "/var/lib/corvo/cam:/var/lib/other", 1);
    EXPECT_EQ(ImageRoot::defaultRoot(), "/var/lib/corvo/cam/images");
    setenv("STATE_DIRECTORY", "relative", 1);
    EXPECT_EQ(ImageRoot::defaultRoot(), "/var/lib/corvo/images");
    unsetenv("STATE_DIRECTORY");
    EXPECT_EQ(ImageRoot::defaultRoot(), "/var/lib/corvo/images");
    if (saved)
        setenv("HOME", keep.c_str(), 1);
}
