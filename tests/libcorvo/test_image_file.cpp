// How image files come to disk: the bytes against cfitsio's own writer,
// fitsverify, plain names without cfitsio's extended syntax, the temporary
// name until the file is complete, and numbered names that never replace.
#include <dirent.h>
#include <fcntl.h>
#include <fitsio.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "corvo/image.h"
#include "corvo/misc.h"
#include "support/temp_dir.h"

using namespace corvo;
using corvotest::TempDir;

namespace {

const char* const kDate = "2026-12-07T21:05:09.042";

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> entries(const std::string& dir)
{
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

// The same image through cfitsio alone: create, image, DATE, pixels, close.
void writeWithCfitsio(const std::string& path, int type, int datatype, int width, int height, void* pixels)
{
    fitsfile* fptr = nullptr;
    int status = 0;
    ffinit(&fptr, path.c_str(), &status);
    long axes[2] = {width, height};
    ffcrim(fptr, type, 2, axes, &status);
    ffpky(fptr, TSTRING, "DATE", const_cast<char*>(kDate), "date of file creation", &status);
    double exptime = 1.25;
    ffuky(fptr, TDOUBLE, "EXPTIME", &exptime, "exposure", &status);
    long first[2] = {1, 1};
    ffppx(fptr, datatype, first, static_cast<LONGLONG>(width) * height, pixels, &status);
    ffclos(fptr, &status);
    ASSERT_EQ(status, 0);
}

void writeWithImage(const std::string& path, ImageType type, int width, int height, void* pixels)
{
    Image image(path, type, width, height);
    image.writeHeader("DATE", std::string(kDate), "date of file creation");
    image.writeHeader("EXPTIME", 1.25, "exposure");
    image.writeData(pixels, false);
    image.close();
}

// Values over the whole range of T, extremes and (for floating point) NaN,
// infinities, negative zero and denormals included.
template <class T>
std::vector<T> testPixels(size_t count)
{
    std::vector<T> values(count);
    std::mt19937_64 rng(42);
    for (auto& v : values) {
        const uint64_t bits = rng();
        std::memcpy(&v, &bits, sizeof(T));
        if (std::is_floating_point<T>::value && std::isnan(static_cast<double>(v)))
            v = static_cast<T>(0.5);
    }
    values[0] = std::numeric_limits<T>::lowest();
    values[1] = std::numeric_limits<T>::max();
    values[2] = 0;
    if (std::is_floating_point<T>::value) {
        values[3] = std::numeric_limits<T>::quiet_NaN();
        values[4] = std::numeric_limits<T>::infinity();
        values[5] = -std::numeric_limits<T>::infinity();
        values[6] = static_cast<T>(-0.0);
        values[7] = std::numeric_limits<T>::denorm_min();
    }
    return values;
}

template <class T>
void sameBytesAsCfitsio(ImageType type, int datatype)
{
    SCOPED_TRACE(type);
    TempDir dir;
    // Neither a whole number of blocks nor of write chunks.
    const int width = 1031, height = 1029;
    auto pixels = testPixels<T>(static_cast<size_t>(width) * height);
    auto copy = pixels;
    writeWithCfitsio(dir / "cfitsio.fits", type, datatype, width, height, copy.data());
    writeWithImage(dir / "image.fits", type, width, height, pixels.data());
    const std::string expected = slurp(dir / "cfitsio.fits");
    const std::string written = slurp(dir / "image.fits");
    EXPECT_EQ(written.size() % 2880, 0u);
    ASSERT_EQ(written.size(), expected.size());
    // Whole file first (same DATE card), then the first differing byte.
    if (written != expected) {
        size_t at = 0;
        while (written[at] == expected[at])
            ++at;
        ADD_FAILURE() << "first difference at byte " << at;
    }
    // The caller's buffer is not touched.
    EXPECT_EQ(std::memcmp(pixels.data(), copy.data(), pixels.size() * sizeof(T)), 0);
}

int fitsverify(const std::string& path, std::string& report)
{
    const std::string command = "fitsverify -q -e '" + path + "' 2>&1";
    FILE* out = popen(command.c_str(), "r");
    if (!out)
        return -1;
    char line[512];
    while (std::fgets(line, sizeof(line), out))
        report += line;
    return pclose(out);
}

}  // namespace

TEST(ImageFile, EveryPixelTypeGivesCfitsiosBytes)
{
    sameBytesAsCfitsio<uint8_t>(IMAGE_UINT8, TBYTE);
    sameBytesAsCfitsio<int8_t>(IMAGE_INT8, TSBYTE);
    sameBytesAsCfitsio<int16_t>(IMAGE_INT16, TSHORT);
    sameBytesAsCfitsio<uint16_t>(IMAGE_UINT16, TUSHORT);
    sameBytesAsCfitsio<int32_t>(IMAGE_INT32, TINT);
    sameBytesAsCfitsio<uint32_t>(IMAGE_UINT32, TUINT);
    sameBytesAsCfitsio<float>(IMAGE_FLOAT, TFLOAT);
    sameBytesAsCfitsio<double>(IMAGE_DOUBLE, TDOUBLE);
}

TEST(ImageFile, FitsverifyFindsNothingToReport)
{
    if (system("command -v fitsverify >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "fitsverify is not installed (scripts/setup.sh installs it)";
    TempDir dir;
    for (auto type : {IMAGE_UINT16, IMAGE_FLOAT, IMAGE_INT8}) {
        SCOPED_TRACE(type);
        std::vector<double> pixels(300 * 7, 1.0);  // wide enough for every type
        const std::string path = dir / ("v" + std::to_string(type + 100) + ".fits");
        {
            Image image(path, type, 300, 7);
            image.writeHeader("OBJECT", std::string("M31"), "target");
            image.writeData(pixels.data(), false);
            image.close();
        }
        std::string report;
        EXPECT_EQ(fitsverify(path, report), 0) << report;
    }
}

// Names are plain file names: cfitsio's "!" (replace), "mem://" (memory),
// "name(template)" (copy a header from a file) and "[...]" filters are
// characters of the name like any other.
TEST(ImageFile, ExtendedSyntaxIsPartOfThePlainName)
{
    TempDir dir;
    std::ofstream(dir / "secret.txt") << "SECRET  = 'do not copy'\n";
    const std::vector<std::string> names = {"!bang.fits", "mem://x.fits", "tpl.fits(secret.txt)", "filter.fits[1]"};
    char before[4096];
    ASSERT_NE(getcwd(before, sizeof(before)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        std::vector<uint16_t> pixels = {1, 2, 3, 4};
        Image image(dir / name, IMAGE_UINT16, 2, 2);
        image.writeData(pixels.data(), false);
        image.close();
        EXPECT_EQ(image.filename, dir / name);
    }
    ASSERT_EQ(chdir(before), 0);
    // "mem://x.fits" is the directory "mem:" and the file x.fits in it.
    EXPECT_EQ(entries(dir.path()),
              (std::set<std::string>{"!bang.fits", "mem:", "tpl.fits(secret.txt)", "filter.fits[1]", "secret.txt"}));
    EXPECT_EQ(entries(dir / "mem:"), std::set<std::string>{"x.fits"});
    const std::string header = slurp(dir / "tpl.fits(secret.txt)").substr(0, 2880);
    EXPECT_EQ(header.find("SECRET"), std::string::npos);
    EXPECT_EQ(slurp(dir / "secret.txt"), "SECRET  = 'do not copy'\n");
}

// Until close() the image lives under a hidden temporary name: the own name
// never shows a half-written file, and an image that is abandoned leaves
// nothing.
TEST(ImageFile, OwnNameOnlyWhenComplete)
{
    TempDir dir;
    std::vector<int16_t> pixels(64 * 64, 5);
    {
        Image image(dir / "a.fits", IMAGE_INT16, 64, 64);
        image.writeData(pixels.data(), false);
        const auto during = entries(dir.path());
        ASSERT_EQ(during.size(), 1u);
        EXPECT_EQ(during.count("a.fits"), 0u);
        EXPECT_EQ(during.begin()->front(), '.');
        image.close();
    }
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"a.fits"});

    {
        Image image(dir / "b.fits", IMAGE_INT16, 64, 64);
        image.writeData(pixels.data(), false);
        image.discard();
        image.discard();  // twice is harmless
    }
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"a.fits"});
}

// A full disk stands in as the file-size limit: the pixel write fails, the
// file is removed, and the old file of that name stays as it was.
TEST(ImageFile, FailedWriteKeepsTheOldFileAndLeavesNoTemporary)
{
    TempDir dir;
    const std::string name = dir / "full.fits";
    std::ofstream(name) << "old contents";
    std::vector<int16_t> data(1000 * 1000, 7);

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool writeFailed = false, closeFailed = false;
    {
        Image image(name, IMAGE_INT16, 1000, 1000);
        try {
            image.writeData(data.data(), false);
        } catch (const CorvoError&) {
            writeFailed = true;
        }
        try {
            image.close();
        } catch (const CorvoError& e) {
            closeFailed = true;
            EXPECT_STREQ(e.what(), "Error occured during closing FITS file");
        }
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(writeFailed);
    EXPECT_TRUE(closeFailed);
    EXPECT_EQ(slurp(name), "old contents");
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"full.fits"});
}

// Cards added after the pixels that need another header block: the pixels
// move behind the longer header and read back intact.
TEST(ImageFile, HeaderGrowingAfterThePixelsKeepsThem)
{
    TempDir dir;
    const std::string name = dir / "grow.fits";
    std::vector<int32_t> pixels(1500 * 1100);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<int32_t>(i * 2654435761u);
    {
        Image image(name, IMAGE_INT32, 1500, 1100);
        image.writeData(pixels.data(), false);
        for (int i = 0; i < 80; ++i)
            image.writeHeader("LATE" + std::to_string(i), i, "added after the pixels");
        image.close();
    }
    fitsfile* fptr = nullptr;
    int status = 0;
    ASSERT_EQ(ffopen(&fptr, name.c_str(), READONLY, &status), 0);
    long late = 0;
    ffgky(fptr, TLONG, "LATE79", &late, nullptr, &status);
    std::vector<int32_t> back(pixels.size());
    long first[2] = {1, 1};
    ffgpxv(fptr, TINT, first, static_cast<LONGLONG>(back.size()), nullptr, back.data(), nullptr, &status);
    ffclos(fptr, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(late, 79);
    EXPECT_TRUE(back == pixels);
    EXPECT_EQ(slurp(name).size(), 2880u * 3 + (pixels.size() * 4 + 2879) / 2880 * 2880);
}

TEST(ImageFile, NumberedNamesNeverReplace)
{
    TempDir dir;
    const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> pixels = {1, 2, 3, 4};
    std::vector<std::string> names;
    for (int i = 0; i < 3; ++i) {
        pixels[0] = static_cast<uint8_t>(10 + i);
        Image image(fd, dir.path(), "x.y.fits", IMAGE_UINT8, 2, 2, false);
        image.writeData(pixels.data(), false);
        image.close();
        names.push_back(image.filename);
    }
    EXPECT_EQ(names, (std::vector<std::string>{dir / "x.y.fits", dir / "x.y_1.fits", dir / "x.y_2.fits"}));
    // Each file kept its own pixels.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(static_cast<uint8_t>(slurp(names[i])[2880]), 10 + i) << names[i];

    // A dangling symbolic link holds its name too: the image is not written
    // through it.
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "link.fits").c_str()), 0);
    EXPECT_EQ(Image::nextFreeName(fd, "link.fits"), "link_1.fits");
    EXPECT_EQ(Image::nextFreeName(fd, "noext"), "noext");
    std::ofstream(dir / "noext") << "x";
    EXPECT_EQ(Image::nextFreeName(fd, "noext"), "noext_1");
    std::ofstream(dir / ".hidden") << "x";
    EXPECT_EQ(Image::nextFreeName(fd, ".hidden"), ".hidden_1");

    // A name with a slash is not a single name.
    EXPECT_THROW(Image(fd, dir.path(), "a/b.fits", IMAGE_UINT8, 2, 2, false), CorvoError);
    EXPECT_THROW(Image(fd, dir.path(), "..", IMAGE_UINT8, 2, 2, false), CorvoError);
    close(fd);
}
