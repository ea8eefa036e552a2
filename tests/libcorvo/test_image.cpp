// FITS image writer: every file written is read back with cfitsio.
#include <fitsio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "corvo/image.h"
#include "corvo/misc.h"
#include "support/temp_dir.h"

using namespace corvo;

namespace {

using corvotest::TempDir;

bool fileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A FITS file opened for reading; fails the test when it cannot be opened.
class FitsReader {
public:
    explicit FitsReader(const std::string& path)
    {
        int status = 0;
        if (ffopen(&fptr, path.c_str(), READONLY, &status) != 0)
            fptr = nullptr;
    }
    ~FitsReader()
    {
        int status = 0;
        if (fptr)
            ffclos(fptr, &status);
    }
    bool ok() const { return fptr != nullptr; }

    long longKey(const char* key)
    {
        long value = 0;
        int status = 0;
        ffgky(fptr, TLONG, key, &value, nullptr, &status);
        EXPECT_EQ(status, 0) << key;
        return value;
    }
    LONGLONG longLongKey(const char* key)
    {
        LONGLONG value = 0;
        int status = 0;
        ffgky(fptr, TLONGLONG, key, &value, nullptr, &status);
        EXPECT_EQ(status, 0) << key;
        return value;
    }
    double doubleKey(const char* key)
    {
        double value = 0;
        int status = 0;
        ffgky(fptr, TDOUBLE, key, &value, nullptr, &status);
        EXPECT_EQ(status, 0) << key;
        return value;
    }
    bool logicalKey(const char* key)
    {
        int value = 0;
        int status = 0;
        ffgky(fptr, TLOGICAL, key, &value, nullptr, &status);
        EXPECT_EQ(status, 0) << key;
        return value != 0;
    }
    std::string stringKey(const char* key, std::string* comment = nullptr)
    {
        char value[FLEN_VALUE] = {0};
        char comm[FLEN_COMMENT] = {0};
        int status = 0;
        ffgky(fptr, TSTRING, key, value, comm, &status);
        EXPECT_EQ(status, 0) << key;
        if (comment)
            *comment = comm;
        return value;
    }
    // The raw 80-character card of `key`.
    std::string card(const char* key)
    {
        char text[FLEN_CARD] = {0};
        int status = 0;
        ffgcrd(fptr, key, text, &status);
        EXPECT_EQ(status, 0) << key;
        return text;
    }
    // How many header cards carry the keyword `key`.
    int countCards(const std::string& key)
    {
        int keys = 0, more = 0, status = 0;
        ffghsp(fptr, &keys, &more, &status);
        int count = 0;
        for (int i = 1; i <= keys; ++i) {
            char name[FLEN_KEYWORD] = {0};
            char value[FLEN_VALUE] = {0};
            ffgkyn(fptr, i, name, value, nullptr, &status);
            if (key == name)
                ++count;
        }
        return count;
    }
    int hduCount()
    {
        int count = 0, status = 0;
        ffthdu(fptr, &count, &status);
        return count;
    }
    int equivalentType()
    {
        int type = 0, status = 0;
        ffgiet(fptr, &type, &status);
        return type;
    }
    template <class T>
    std::vector<T> pixels(int datatype, LONGLONG count)
    {
        std::vector<T> values(count);
        LONGLONG first[2] = {1, 1};
        int status = 0;
        ffgpxvll(fptr, datatype, first, count, nullptr, values.data(), nullptr, &status);
        EXPECT_EQ(status, 0);
        return values;
    }

    fitsfile* fptr = nullptr;
};

std::string currentDir()
{
    char buffer[4096];
    return getcwd(buffer, sizeof(buffer)) ? buffer : "";
}

}  // namespace

// --- Creation ------------------------------------------------------------------

TEST(ImageCreate, PlainNameInWorkingDirectoryHasAxesAndDate)
{
    TempDir dir;
    const std::string before = currentDir();
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    {
        Image image("frame.fits", IMAGE_INT16, 100, 50);
        EXPECT_EQ(image.filename, "frame.fits");
        image.close();
    }
    ASSERT_EQ(chdir(before.c_str()), 0);

    FitsReader fits(dir / "frame.fits");
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits.longKey("BITPIX"), 16);
    EXPECT_EQ(fits.longKey("NAXIS"), 2);
    EXPECT_EQ(fits.longKey("NAXIS1"), 100);
    EXPECT_EQ(fits.longKey("NAXIS2"), 50);
    std::string comment;
    const std::string date = fits.stringKey("DATE", &comment);
    EXPECT_EQ(comment, "date of file creation");
    EXPECT_TRUE(std::regex_match(date, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})"))) << date;
}

TEST(ImageCreate, MakesMissingDirectories)
{
    TempDir dir;
    const std::string name = dir / "out/2026/a.fits";
    Image image(name, IMAGE_UINT16, 4, 3);
    image.close();
    EXPECT_TRUE(direxist((dir / "out/2026").c_str()));
    FitsReader fits(name);
    EXPECT_TRUE(fits.ok());
}

TEST(ImageCreate, ReplacesExistingFile)
{
    TempDir dir;
    const std::string name = dir / "same.fits";
    {
        Image first(name, IMAGE_INT16, 10, 10);
        first.writeHeader("OLDCARD", 1, "from the first file");
        first.close();
    }
    Image second(name, IMAGE_INT32, 20, 5);
    second.close();

    FitsReader fits(name);
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits.hduCount(), 1);
    EXPECT_EQ(fits.longKey("BITPIX"), 32);
    EXPECT_EQ(fits.longKey("NAXIS1"), 20);
    EXPECT_EQ(fits.countCards("OLDCARD"), 0);
}

TEST(ImageCreate, FailuresThrowCreateError)
{
    TempDir dir;
    // A directory cannot be made below a regular file.
    std::ofstream(dir / "plain").put('x');
    try {
        Image image(dir / "plain/sub/a.fits", IMAGE_INT16, 2, 2);
        FAIL() << "no exception";
    } catch (const CorvoError& e) {
        EXPECT_STREQ(e.what(), "Error occured during creating FITS file.");
    }

    // An image type cfitsio refuses: same message, and no half-made file.
    const std::string bad = dir / "bad.fits";
    try {
        Image image(bad, static_cast<ImageType>(7), 2, 2);
        FAIL() << "no exception";
    } catch (const CorvoError& e) {
        EXPECT_STREQ(e.what(), "Error occured during creating FITS file.");
    }
    EXPECT_FALSE(fileExists(bad));
}

// --- Time text -----------------------------------------------------------------

TEST(FitsTime, FormatsUtcWithMilliseconds)
{
    // 2026-12-06T20:47:49 UTC
    const int64_t second = 1796590069LL * 1000000000LL;
    EXPECT_EQ(formatFitsTime(second + 42999999), "2026-12-06T20:47:49.042");
    EXPECT_EQ(formatFitsTime(second + 5000000), "2026-12-06T20:47:49.005");
    EXPECT_EQ(formatFitsTime(second), "2026-12-06T20:47:49.000");
    EXPECT_EQ(formatFitsTime(second + 999999999), "2026-12-06T20:47:49.999");
}

TEST(FitsTime, CurrentTimeHasTheFixedForm)
{
    EXPECT_TRUE(std::regex_match(getFitsTime(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})")));
}

// --- Header cards --------------------------------------------------------------

TEST(ImageHeader, UpdatesInsteadOfDuplicating)
{
    TempDir dir;
    const std::string name = dir / "cards.fits";
    Image image(name, IMAGE_INT16, 2, 2);
    image.writeHeader("EXPTIME", 1.5, "exposure time");
    image.writeHeader("EXPTIME", 2.5, "exposure time");
    image.writeHeader("DATE", std::string("2000-01-01T00:00:00.000"), "replaced");
    image.close();

    FitsReader fits(name);
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits.countCards("EXPTIME"), 1);
    EXPECT_DOUBLE_EQ(fits.doubleKey("EXPTIME"), 2.5);
    EXPECT_EQ(fits.countCards("DATE"), 1);
    std::string comment;
    EXPECT_EQ(fits.stringKey("DATE", &comment), "2000-01-01T00:00:00.000");
    EXPECT_EQ(comment, "replaced");
}

TEST(ImageHeader, EveryOverloadWritesItsType)
{
    TempDir dir;
    const std::string name = dir / "types.fits";
    const long big = (1L << 40) + 3;
    Image image(name, IMAGE_INT16, 2, 2);
    image.writeHeader("FLAGT", true, "yes");
    image.writeHeader("FLAGF", false, "no");
    image.writeHeader("DVAL", -0.25, "double");
    image.writeHeader("IVAL", -7, "int");
    image.writeHeader("LVAL", big, "long");
    image.writeHeader("SVAL", std::string("text value"), "string");
    image.close();

    FitsReader fits(name);
    ASSERT_TRUE(fits.ok());
    EXPECT_TRUE(fits.logicalKey("FLAGT"));
    EXPECT_FALSE(fits.logicalKey("FLAGF"));
    EXPECT_TRUE(std::regex_search(fits.card("FLAGT"), std::regex("= +T /"))) << fits.card("FLAGT");
    EXPECT_DOUBLE_EQ(fits.doubleKey("DVAL"), -0.25);
    EXPECT_EQ(fits.longKey("IVAL"), -7);
    EXPECT_EQ(fits.longLongKey("LVAL"), big);
    std::string comment;
    EXPECT_EQ(fits.stringKey("SVAL", &comment), "text value");
    EXPECT_EQ(comment, "string");
}

TEST(ImageHeader, ItemsWriteTheFieldTheirTypeSelects)
{
    TempDir dir;
    const std::string name = dir / "items.fits";
    auto item = [](std::string key, int type) {
        FitsHdrItem it;
        it.key = key;
        it.type = type;
        it.boolValue = true;
        it.intValue = 11;
        it.doubleValue = 2.75;
        it.strValue = "str";
        it.longValue = (1L << 33) + 5;
        it.comment = key + " comment";
        return it;
    };
    Image image(name, IMAGE_INT16, 2, 2);
    image.writeHeaders({item("ISTR", TSTRING), item("IINT", TINT), item("ILONG", TLONG), item("ILL", TLONGLONG),
                        item("IDBL", TDOUBLE), item("IBIT", TBIT), item("ILOG", TLOGICAL)});
    image.writeHeaders({});
    image.close();

    FitsReader fits(name);
    ASSERT_TRUE(fits.ok());
    std::string comment;
    EXPECT_EQ(fits.stringKey("ISTR", &comment), "str");
    EXPECT_EQ(comment, "ISTR comment");
    EXPECT_EQ(fits.longKey("IINT"), 11);
    EXPECT_EQ(fits.longLongKey("ILONG"), (1LL << 33) + 5);
    EXPECT_EQ(fits.longLongKey("ILL"), (1LL << 33) + 5);
    EXPECT_DOUBLE_EQ(fits.doubleKey("IDBL"), 2.75);
    EXPECT_TRUE(fits.logicalKey("IBIT"));
    EXPECT_TRUE(fits.logicalKey("ILOG"));
}

TEST(ImageHeader, SmallIntegersGiveTheSameCardWhateverTheWidth)
{
    TempDir dir;
    const std::string name = dir / "ints.fits";
    FitsHdrItem narrow;
    narrow.key = "NARROW";
    narrow.type = TINT;
    narrow.intValue = -123456;
    FitsHdrItem wide = narrow;
    wide.key = "WIDE";
    wide.type = TLONGLONG;
    wide.longValue = -123456;
    Image image(name, IMAGE_INT16, 2, 2);
    image.writeHeaders({narrow, wide});
    image.close();

    FitsReader fits(name);
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits.card("NARROW").substr(8), fits.card("WIDE").substr(8));
}

TEST(ImageHeader, FailureStopsTheListAndKeepsEarlierCards)
{
    TempDir dir;
    const std::string name = dir / "partial.fits";
    FitsHdrItem good;
    good.key = "GOOD";
    good.type = TINT;
    good.intValue = 1;
    FitsHdrItem unknown = good;
    unknown.key = "UNKNOWN";
    unknown.type = TFLOAT;  // no value field holds a float
    FitsHdrItem after = good;
    after.key = "AFTER";
    {
        Image image(name, IMAGE_INT16, 2, 2);
        try {
            image.writeHeaders({good, unknown, after});
            FAIL() << "no exception";
        } catch (const CorvoError& e) {
            EXPECT_STREQ(e.what(), "Error occured during updating FITS header");
        }
        // Destroyed without close(): the file must still be complete.
    }
    FitsReader fits(name);
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits.countCards("GOOD"), 1);
    EXPECT_EQ(fits.countCards("UNKNOWN"), 0);
    EXPECT_EQ(fits.countCards("AFTER"), 0);
}

TEST(ImageHeader, KeywordCfitsioRefusesThrows)
{
    TempDir dir;
    Image image(dir / "badkey.fits", IMAGE_INT16, 2, 2);
    try {
        image.writeHeader("WAY_TOO_LONG_KEYWORD=", 1, "");
        FAIL() << "no exception";
    } catch (const CorvoError& e) {
        EXPECT_STREQ(e.what(), "Error occured during updating FITS header");
    }
    image.close();
}

TEST(ImageHeader, KeysThatDescribeTheDataAreRefusedAndTheFileStaysWhole)
{
    // Each key written with 0 would, if accepted, make the pixels read back
    // wrong (BZERO, BSCALE), the file unreadable (BITPIX, NAXISn) or cut the
    // header short (END).
    const std::vector<std::string> keys = {"SIMPLE",   "BITPIX",   "NAXIS",  "NAXIS1", "NAXIS2", "naxis2",
                                           "EXTEND",   "BZERO",    "bscale", "END",    "PCOUNT", "GCOUNT",
                                           "XTENSION", "CONTINUE", " BZERO", "BZERO ", "B.ZERO", ""};
    TempDir dir;
    const std::string name = dir / "layout.fits";
    const int width = 4, height = 3;
    std::vector<uint16_t> data(width * height);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint16_t>(1000 + 7 * i);
    Image image(name, IMAGE_UINT16, width, height);
    image.writeHeader("OBJECT", std::string("m31"), "before");
    for (const auto& key : keys) {
        FitsHdrItem item;
        item.key = key;
        item.type = TLONGLONG;
        item.longValue = 0;
        EXPECT_THROW(image.writeHeader(item), CorvoError) << "'" << key << "'";
        EXPECT_THROW(image.writeHeader(key, std::string("0"), ""), CorvoError) << "'" << key << "'";
    }
    image.writeHeader("AIRMASS", 1.25, "after");
    image.writeHeader("NAXIS3X", 5, "a key that only starts like NAXISn");
    image.writeData(data.data(), false);
    image.close();

    FitsReader fits(name);
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits.longKey("BITPIX"), 16);
    EXPECT_EQ(fits.longKey("NAXIS"), 2);
    EXPECT_EQ(fits.longKey("NAXIS1"), width);
    EXPECT_EQ(fits.longKey("NAXIS2"), height);
    EXPECT_DOUBLE_EQ(fits.doubleKey("BZERO"), 32768.0);
    EXPECT_EQ(fits.pixels<uint16_t>(TUSHORT, width * height), data);
    EXPECT_EQ(fits.stringKey("OBJECT"), "m31");
    EXPECT_DOUBLE_EQ(fits.doubleKey("AIRMASS"), 1.25);
    EXPECT_EQ(fits.longKey("NAXIS3X"), 5);
    EXPECT_EQ(fits.countCards("BZERO"), 1);
    EXPECT_EQ(fits.countCards("CONTINUE"), 0);
}

TEST(ImageHeader, LongStringsAreKeptWhole)
{
    // A path, then text with quotes (each doubled in the card), both longer
    // than the 68 characters one card holds; REPLACED goes from long to short
    // and GROWN from short to long.
    std::string path = "/data/";
    while (path.size() < 190)
        path += "night" + std::to_string(path.size()) + "/";
    path += "img_END.fits";
    std::string quoted;
    for (int i = 0; i < 30; ++i)
        quoted += "it's ";
    quoted += "done";  // trailing spaces of a FITS string carry no meaning
    TempDir dir;
    const std::string name = dir / "long.fits";
    std::vector<int16_t> data(6, 5);
    Image image(name, IMAGE_INT16, 3, 2);
    image.writeHeader("FILENAME", path, "own name");
    image.writeHeader("OBSERVER", quoted, "");
    image.writeHeader("REPLACED", path, "");
    image.writeHeader("REPLACED", std::string("short"), "");
    image.writeHeader("GROWN", std::string("short"), "");
    image.writeHeader("GROWN", quoted + "grown", "");
    image.writeHeader("AFTER", 1, "a card after the long ones");
    image.writeData(data.data(), false);
    image.close();

    FitsReader fits(name);
    ASSERT_TRUE(fits.ok());
    auto longString = [&](const char* key) {
        char* value = nullptr;
        int status = 0;
        ffgkls(fits.fptr, key, &value, nullptr, &status);
        EXPECT_EQ(status, 0) << key;
        std::string text = value ? value : "";
        int ignored = 0;
        if (value)
            fffree(value, &ignored);
        return text;
    };
    ASSERT_GT(path.size(), 200u);
    EXPECT_EQ(longString("FILENAME"), path);
    EXPECT_EQ(longString("OBSERVER"), quoted);
    EXPECT_EQ(longString("REPLACED"), "short");
    EXPECT_EQ(longString("GROWN"), quoted + "grown");
    EXPECT_EQ(fits.countCards("FILENAME"), 1);
    EXPECT_EQ(fits.countCards("LONGSTRN"), 1);
    EXPECT_EQ(fits.longKey("AFTER"), 1);
    EXPECT_EQ(fits.pixels<int16_t>(TSHORT, 6), data);
}

TEST(ImageHeader, CardsAfterDataBeforeClose)
{
    TempDir dir;
    const std::string name = dir / "late.fits";
    std::vector<int16_t> data(6, 9);
    Image image(name, IMAGE_INT16, 3, 2);
    image.writeData(data.data(), false);
    image.writeHeader("LATE", 3, "after the data");
    image.close();
    FitsReader fits(name);
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits.longKey("LATE"), 3);
    EXPECT_EQ(fits.pixels<int16_t>(TSHORT, 6), data);
}

// --- Pixel data ----------------------------------------------------------------

namespace {

// Values that cover the whole range of T: both ends, zero and a ramp.
template <class T>
std::vector<T> rampWithExtremes(size_t count)
{
    std::vector<T> values(count);
    for (size_t i = 0; i < count; ++i)
        values[i] = static_cast<T>(i % 100);
    values[0] = std::numeric_limits<T>::lowest();
    values[1] = std::numeric_limits<T>::max();
    values[2] = 0;
    if (std::is_floating_point<T>::value)
        values[3] = static_cast<T>(0.1);
    return values;
}

template <class T>
void roundTrip(ImageType type, int datatype, int storedBitpix)
{
    TempDir dir;
    const std::string name = dir / "pixels.fits";
    const int width = 7, height = 5;
    auto values = rampWithExtremes<T>(width * height);
    Image image(name, type, width, height);
    image.writeData(values.data(), true);
    image.close();

    FitsReader fits(name);
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits.longKey("BITPIX"), storedBitpix);
    EXPECT_EQ(fits.equivalentType(), type);
    EXPECT_EQ(fits.longKey("NAXIS1"), width);
    EXPECT_EQ(fits.longKey("NAXIS2"), height);
    EXPECT_EQ(fits.pixels<T>(datatype, width * height), values);
}

}  // namespace

TEST(ImageData, AllEightTypesRoundTrip)
{
    roundTrip<uint8_t>(IMAGE_UINT8, TBYTE, 8);
    roundTrip<int8_t>(IMAGE_INT8, TSBYTE, 8);
    roundTrip<int16_t>(IMAGE_INT16, TSHORT, 16);
    roundTrip<uint16_t>(IMAGE_UINT16, TUSHORT, 16);
    roundTrip<int32_t>(IMAGE_INT32, TINT, 32);
    roundTrip<uint32_t>(IMAGE_UINT32, TUINT, 32);
    roundTrip<float>(IMAGE_FLOAT, TFLOAT, -32);
    roundTrip<double>(IMAGE_DOUBLE, TDOUBLE, -64);
}

TEST(ImageData, UnsignedTypesCarryTheirOffset)
{
    TempDir dir;
    std::vector<uint16_t> data = {0, 32768, 65535, 1};
    Image image(dir / "u16.fits", IMAGE_UINT16, 2, 2);
    image.writeData(data.data(), false);
    image.close();
    FitsReader fits(dir / "u16.fits");
    ASSERT_TRUE(fits.ok());
    EXPECT_DOUBLE_EQ(fits.doubleKey("BZERO"), 32768.0);
    // The raw stored values are the signed ones.
    int status = 0;
    ffpscl(fits.fptr, 1.0, 0.0, &status);
    EXPECT_EQ(fits.pixels<int16_t>(TSHORT, 4), (std::vector<int16_t>{-32768, 0, 32767, -32767}));
}

// Each integer image takes a buffer of its own pixel width.
TEST(ImageData, BufferTypesOfTheIntegerImages)
{
    EXPECT_EQ(fits_type_map.size(), 6u);
    EXPECT_EQ(fits_type_map.at(IMAGE_UINT8), TBYTE);
    EXPECT_EQ(fits_type_map.at(IMAGE_INT8), TSBYTE);
    EXPECT_EQ(fits_type_map.at(IMAGE_INT16), TSHORT);
    EXPECT_EQ(fits_type_map.at(IMAGE_UINT16), TUSHORT);
    EXPECT_EQ(fits_type_map.at(IMAGE_INT32), TINT);
    EXPECT_EQ(fits_type_map.at(IMAGE_UINT32), TUINT);
    static_assert(sizeof(int) == 4, "TINT buffers hold 32-bit pixels");
}

TEST(ImageData, StatsFlagDoesNotChangeThePixels)
{
    TempDir dir;
    auto values = rampWithExtremes<int32_t>(12);
    for (bool stats : {false, true}) {
        const std::string name = dir / (stats ? "with.fits" : "without.fits");
        Image image(name, IMAGE_INT32, 4, 3);
        image.writeData(values.data(), stats);
        image.close();
    }
    FitsReader with(dir / "with.fits"), without(dir / "without.fits");
    EXPECT_EQ(with.pixels<int32_t>(TINT, 12), without.pixels<int32_t>(TINT, 12));
    EXPECT_EQ(with.pixels<int32_t>(TINT, 12), values);
}

TEST(ImageData, DestroyedWithoutCloseLeavesACompleteFile)
{
    TempDir dir;
    const std::string name = dir / "unclosed.fits";
    std::vector<int16_t> data = {1, 2, 3, 4, 5, 6};
    {
        Image image(name, IMAGE_INT16, 3, 2);
        image.writeData(data.data(), false);
    }
    FitsReader fits(name);
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits.pixels<int16_t>(TSHORT, 6), data);
}

TEST(ImageData, CloseTwiceThrowsCloseError)
{
    TempDir dir;
    Image image(dir / "twice.fits", IMAGE_INT16, 2, 2);
    image.close();
    try {
        image.close();
        FAIL() << "no exception";
    } catch (const CorvoError& e) {
        EXPECT_STREQ(e.what(), "Error occured during closing FITS file");
    }
}

// The file-size limit stands in for a full disk: cfitsio's writes fail
// with EFBIG once the file would grow past it.
TEST(ImageData, FailedPixelWriteThrows)
{
    TempDir dir;
    const std::string name = dir / "full.fits";
    std::vector<int16_t> data(1000 * 1000, 7);

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

    std::string message;
    {
        Image image(name, IMAGE_INT16, 1000, 1000);
        try {
            image.writeData(data.data(), false);
        } catch (const CorvoError& e) {
            message = e.what();
        }
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(message, "Error occured during writing FITS data");
}

// 2^31 pixels: the element count must not wrap in 32 bits. The buffer is
// mapped zero pages, so only the pages touched take memory.
TEST(ImageData, ImageOfTwoToThe31PixelsIsWrittenWhole)
{
    TempDir dir;
    struct statvfs fs;
    ASSERT_EQ(statvfs(dir.path().c_str(), &fs), 0);
    const uint64_t needed = 3ULL << 30;
    if (static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize < needed)
        GTEST_SKIP() << "not enough disk space";

    const int width = 65536, height = 32768;
    const size_t count = static_cast<size_t>(width) * height;
    void* mapped = mmap(nullptr, count, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    auto* pixels = static_cast<uint8_t*>(mapped);
    pixels[0] = 3;
    pixels[count - 1] = 7;

    const std::string name = dir / "huge.fits";
    {
        Image image(name, IMAGE_UINT8, width, height);
        image.writeData(pixels, false);
        image.close();
    }
    munmap(mapped, count);

    FitsReader fits(name);
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits.longKey("NAXIS1"), width);
    EXPECT_EQ(fits.longKey("NAXIS2"), height);
    uint8_t first = 0, last = 0;
    int status = 0;
    LONGLONG firstPixel[2] = {1, 1};
    LONGLONG lastPixel[2] = {width, height};
    ffgpxvll(fits.fptr, TBYTE, firstPixel, 1, nullptr, &first, nullptr, &status);
    ffgpxvll(fits.fptr, TBYTE, lastPixel, 1, nullptr, &last, nullptr, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(first, 3);
    EXPECT_EQ(last, 7);
}
