// Completing an image file when cards change after the pixels: the header
// growing or shrinking moves the pixels, every piece of them intact (read
// back with cfitsio, checked with fitsverify where installed); an image
// abandoned by an exception leaves the name as it was.
#include <fitsio.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "corvo/errors.h"
#include "corvo/image.h"
#include "support/temp_dir.h"

using namespace corvo;
using corvotest::TempDir;

namespace {

// An image over three 4 MiB pieces of the writer: 2200 x 2000 uint16.
constexpr int kWidth = 2200, kHeight = 2000;

std::vector<uint16_t> ramp()
{
    std::vector<uint16_t> pixels(static_cast<size_t>(kWidth) * kHeight);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint16_t>(i * 7919u);
    return pixels;
}

// The pixels and the OBJECT value of `path`, read with cfitsio.
std::vector<uint16_t> readBack(const std::string& path, std::string& object)
{
    fitsfile* f = nullptr;
    int status = 0;
    if (fits_open_diskfile(&f, path.c_str(), READONLY, &status))
        throw std::runtime_error("cannot open " + path);
    std::vector<uint16_t> pixels(static_cast<size_t>(kWidth) * kHeight);
    int anyNull = 0;
    fits_read_img(f, TUSHORT, 1, static_cast<LONGLONG>(pixels.size()), nullptr, pixels.data(), &anyNull, &status);
    char* value = nullptr;
    fits_read_key_longstr(f, "OBJECT", &value, nullptr, &status);
    object = value != nullptr ? value : "";
    if (value != nullptr)
        fits_free_memory(value, &status);
    fits_close_file(f, &status);
    if (status)
        throw std::runtime_error("cannot read " + path);
    return pixels;
}

size_t wrongPixels(const std::vector<uint16_t>& got, const std::vector<uint16_t>& want)
{
    size_t wrong = 0;
    for (size_t i = 0; i < want.size(); ++i)
        wrong += got[i] != want[i];
    return wrong;
}

}  // namespace

// A long string card written before the pixels and replaced after them by a
// short one shrinks the header by a block: the pixels move down. The other
// way round (short, then long) grows it: they move up.
TEST(ImageClose, PixelsSurviveAHeaderThatShrinksOrGrowsAfterThem)
{
    TempDir dir;
    const auto pixels = ramp();
    const std::string longValue(3000, 'x');
    struct Case {
        const char* name;
        std::string before, after;
    };
    for (const Case& c : {Case{"shrink.fits", longValue, "m31"}, Case{"grow.fits", "m31", longValue}}) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / c.name;
        {
            Image image(path, IMAGE_UINT16, kWidth, kHeight);
            image.writeHeader("OBJECT", c.before, "target");
            image.writeData(const_cast<uint16_t*>(pixels.data()), false);
            image.writeHeader("OBJECT", c.after, "target");
            image.close();
        }
        std::string object;
        const auto got = readBack(path, object);
        EXPECT_EQ(object, c.after);
        EXPECT_EQ(wrongPixels(got, pixels), 0u);
        if (system("command -v fitsverify >/dev/null 2>&1") == 0) {
            const std::string command = "fitsverify -q -e '" + path + "' >/dev/null 2>&1";
            EXPECT_EQ(system(command.c_str()), 0) << "fitsverify reports on " << path;
        }
    }
}

// An exception that unwinds through an image being written (a refused card
// here) abandons it: the file already under the name is left untouched and
// no temporary file remains.
TEST(ImageClose, AnImageUnwoundByAnExceptionIsDiscarded)
{
    TempDir dir;
    const std::string path = dir / "keep.fits";
    const auto pixels = ramp();
    {
        Image image(path, IMAGE_UINT16, kWidth, kHeight);
        image.writeHeader("OBJECT", std::string("kept"), "target");
        image.writeData(const_cast<uint16_t*>(pixels.data()), false);
        image.close();
    }
    std::ifstream in(path, std::ios::binary);
    const std::string before((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_THROW(
        {
            Image image(path, IMAGE_UINT16, kWidth, kHeight);
            image.writeHeader("BZERO", 5L, "reserved");
        },
        CorvoError);
    std::ifstream again(path, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(after == before) << "the existing file was replaced";
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename(), "keep.fits") << "a file beside keep.fits remains";
}
