#include "corvo/image.h"

// GCC 12 reports std::function members inside <regex> as maybe-uninitialized
// when optimising with sanitizers; the warning is about library code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <random>
#include <regex>
#include <sstream>

#include "corvo/diagnostics.h"
#include "corvo/files.h"
#include "corvo/misc.h"
#include "corvo/property.h"

namespace corvo {

namespace {

// cfitsio is loaded when the first image is made, not when a program
// starts: with its dependencies (libcurl, TLS, LDAP and more) it would cost
// every program several milliseconds of start-up, and most programs never
// compose a FITS header.
struct FitsLibrary {
    decltype(&::ffimem) imem = nullptr;
    decltype(&::ffcrimll) crimll = nullptr;
    decltype(&::ffpky) pky = nullptr;
    decltype(&::ffuky) uky = nullptr;
    decltype(&::ffukls) ukls = nullptr;
    decltype(&::ffdkey) dkey = nullptr;
    decltype(&::ffplsw) plsw = nullptr;
    decltype(&::ffclos) clos = nullptr;
    decltype(&::ffcmsg) cmsg = nullptr;
    decltype(&::ffhdr2str) hdr2str = nullptr;
    decltype(&::fffree) release = nullptr;
    std::string error;  // why it cannot be used; empty when it can
};

template <typename Function>
bool bind(void* handle, const char* name, Function& function, std::string& error)
{
    function = reinterpret_cast<Function>(dlsym(handle, name));
    if (!function && error.empty())
        error = std::string("no ") + name + " in " CORVO_CFITSIO_SONAME;
    return function != nullptr;
}

FitsLibrary loadFits()
{
    FitsLibrary fits;
    // Never closed: cfitsio keeps state of its own for the whole process.
    void* handle = dlopen(CORVO_CFITSIO_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        fits.error = why ? why : "cannot load " CORVO_CFITSIO_SONAME;
        return fits;
    }
    bind(handle, "ffimem", fits.imem, fits.error);
    bind(handle, "ffcrimll", fits.crimll, fits.error);
    bind(handle, "ffpky", fits.pky, fits.error);
    bind(handle, "ffuky", fits.uky, fits.error);
    bind(handle, "ffukls", fits.ukls, fits.error);
    bind(handle, "ffdkey", fits.dkey, fits.error);
    bind(handle, "ffplsw", fits.plsw, fits.error);
    bind(handle, "ffclos", fits.clos, fits.error);
    bind(handle, "ffcmsg", fits.cmsg, fits.error);
    bind(handle, "ffhdr2str", fits.hdr2str, fits.error);
    bind(handle, "fffree", fits.release, fits.error);
    return fits;
}

// The loaded library; throws `failure` (said once on standard error with
// the reason) when it cannot be loaded.
const FitsLibrary& fits(const char* failure)
{
    static const FitsLibrary library = loadFits();
    if (!library.error.empty()) {
        static bool said = false;
        if (!said)
            diagnose(Diagnostic::Error, Diagnostic::Stderr, "FITS images: " + library.error);
        said = true;
        throw CorvoError(failure);
    }
    return library;
}

}  // namespace

// The 32-bit images take 32-bit buffers: cfitsio's TLONG and TULONG are the
// C long types, 64 bits wide here.
const std::map<int, int> fits_type_map = {
    {BYTE_IMG, TBYTE},     {SBYTE_IMG, TSBYTE}, {SHORT_IMG, TSHORT},
    {USHORT_IMG, TUSHORT}, {LONG_IMG, TINT},    {ULONG_IMG, TUINT},
};

namespace {

const char* const kCreateError = "Error occured during creating FITS file.";
const char* const kHeaderError = "Error occured during updating FITS header";
const char* const kDataError = "Error occured during writing FITS data";
const char* const kCloseError = "Error occured during closing FITS file";

}  // namespace

std::string formatFitsTime(int64_t nanosSinceEpoch)
{
    const int64_t seconds = nanosSinceEpoch / 1000000000;
    const int64_t millis = nanosSinceEpoch / 1000000 - seconds * 1000;
    const time_t whole = static_cast<time_t>(seconds);
    std::tm fields{};
    gmtime_r(&whole, &fields);
    char text[50] = {0};
    strftime(text, sizeof(text), "%FT%T", &fields);
    std::ostringstream out;
    out << text << "." << std::setw(3) << std::setfill('0') << millis;
    return out.str();
}

std::string getFitsTime()
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return formatFitsTime(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

namespace {

constexpr uint64_t kFitsBlock = 2880;
// Pixels are converted and written in pieces of this size.
constexpr size_t kWriteChunk = 4 << 20;
constexpr int kMaxNumberedNames = 100000;

// The in-memory file holds only the header. cfitsio would grow it to the
// whole data unit (and zero it) when it is closed: growth past this size is
// refused, so closing it costs no memory.
constexpr size_t kMaxHeaderMemory = 4 << 20;

void* headerRealloc(void* memory, size_t size)
{
    return size > kMaxHeaderMemory ? nullptr : std::realloc(memory, size);
}

uint64_t roundUpToBlock(uint64_t bytes)
{
    return (bytes + kFitsBlock - 1) / kFitsBlock * kFitsBlock;
}

size_t pixelBytes(int imageType)
{
    switch (imageType) {
        case BYTE_IMG:
        case SBYTE_IMG:
            return 1;
        case SHORT_IMG:
        case USHORT_IMG:
            return 2;
        case LONG_IMG:
        case ULONG_IMG:
        case FLOAT_IMG:
            return 4;
        case DOUBLE_IMG:
            return 8;
        default:
            return 0;
    }
}

// FITS stores big-endian integers; the unsigned types as signed values with
// an offset (BZERO), which is flipping the top bit.
template <class Word, Word kFlip>
void toFitsOrder(const void* in, uint8_t* out, size_t count)
{
    const auto* from = static_cast<const uint8_t*>(in);
    for (size_t i = 0; i < count; ++i) {
        Word w;
        std::memcpy(&w, from + i * sizeof(Word), sizeof(Word));
        w ^= kFlip;
        if constexpr (sizeof(Word) == 2)
            w = __builtin_bswap16(w);
        else if constexpr (sizeof(Word) == 4)
            w = __builtin_bswap32(w);
        else if constexpr (sizeof(Word) == 8)
            w = __builtin_bswap64(w);
        std::memcpy(out + i * sizeof(Word), &w, sizeof(Word));
    }
}

// Converts `count` pixels of `imageType` from the caller's buffer into FITS
// bytes; false when the bytes can be written as they are.
bool convertPixels(int imageType, const void* in, uint8_t* out, size_t count)
{
    switch (imageType) {
        case BYTE_IMG:
            return false;
        case SBYTE_IMG:
            toFitsOrder<uint8_t, 0x80>(in, out, count);
            return true;
        case SHORT_IMG:
            toFitsOrder<uint16_t, 0>(in, out, count);
            return true;
        case USHORT_IMG:
            toFitsOrder<uint16_t, 0x8000>(in, out, count);
            return true;
        case LONG_IMG:
        case FLOAT_IMG:
            toFitsOrder<uint32_t, 0>(in, out, count);
            return true;
        case ULONG_IMG:
            toFitsOrder<uint32_t, 0x80000000u>(in, out, count);
            return true;
        case DOUBLE_IMG:
            toFitsOrder<uint64_t, 0>(in, out, count);
            return true;
        default:
            return false;
    }
}

std::string randomSuffix()
{
    static thread_local std::mt19937_64 rng(
        std::random_device{}() ^ static_cast<uint64_t>(getpid()) << 32 ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    char text[24];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(rng()));
    return text;
}

bool entryExists(int directoryFd, const std::string& name)
{
    struct stat st;
    return fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

}  // namespace

std::string Image::nextFreeName(int directoryFd, const std::string& name)
{
    if (!entryExists(directoryFd, name))
        return name;
    const auto dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0;
    const std::string stem = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot) : "";
    for (int n = 1; n <= kMaxNumberedNames; ++n) {
        const std::string candidate = stem + "_" + std::to_string(n) + extension;
        if (!entryExists(directoryFd, candidate))
            return candidate;
    }
    throw CorvoError(kCreateError);
}

std::string Image::renameToFreeName(int directoryFd, const std::string& from, const std::string& name)
{
    try {
        std::string target = nextFreeName(directoryFd, name);
        // Another writer may take a name between the look and the rename.
        while (renameNoReplace(directoryFd, from.c_str(), target.c_str()) != 0) {
            if (errno != EEXIST)
                return std::string();
            target = nextFreeName(directoryFd, target);
        }
        return target;
    } catch (const CorvoError&) {
        errno = EEXIST;  // no free numbered name
        return std::string();
    }
}

Image::Image(std::string filename, ImageType type, int width, int height)
    : width(width), height(height), type(type), filename(filename)
{
    const auto slash = filename.rfind('/');
    std::string dir = ".";
    if (slash != std::string::npos) {
        dir = slash == 0 ? "/" : filename.substr(0, slash);
        directory = filename.substr(0, slash + 1);
        // A directory that cannot be made shows up as the failure to open it.
        if (slash > 0 && !direxist(dir.c_str()))
            _mkdir(dir.c_str());
    }
    name = slash == std::string::npos ? filename : filename.substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        throw CorvoError(kCreateError);
    directoryFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd < 0)
        throw CorvoError(kCreateError);
    createFiles();
}

Image::Image(int dirFd, const std::string& dirPath, const std::string& fileName, ImageType type, int width, int height,
             bool replaceExisting)
    : width(width), height(height), type(type), name(fileName), replace(replaceExisting)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        throw CorvoError(kCreateError);
    directory = dirPath.empty() || dirPath.back() == '/' ? dirPath : dirPath + "/";
    filename = directory + name;
    directoryFd = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (directoryFd < 0)
        throw CorvoError(kCreateError);
    createFiles();
}

void Image::createFiles()
{
    try {
        createHeader();
        createTemporary();
    } catch (...) {
        releaseHeader();
        ::close(directoryFd);
        throw;
    }
}

void Image::createHeader()
{
    int status = 0;
    const FitsLibrary& library = fits(kCreateError);
    if (library.imem(&fptr, &headerMemory, &headerMemorySize, kFitsBlock, headerRealloc, &status) != 0) {
        fptr = nullptr;
        throw CorvoError(kCreateError);
    }
    status = 0;
    LONGLONG axes[2] = {width, height};
    if (pixelBytes(type) == 0 || width < 0 || height < 0 || library.crimll(fptr, type, 2, axes, &status) != 0) {
        library.cmsg();
        throw CorvoError(kCreateError);
    }
    status = 0;
    std::string now = getFitsTime();
    library.pky(fptr, TSTRING, "DATE", const_cast<char*>(now.c_str()), "date of file creation", &status);
}

void Image::createTemporary()
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        temporaryName = ".corvo-" + randomSuffix() + ".part";
        fd = openat(directoryFd, temporaryName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            break;
    }
    if (fd < 0) {
        temporaryName.clear();
        throw CorvoError(kCreateError);
    }
}

void Image::releaseHeader()
{
    if (fptr != nullptr) {
        // An open header means the library was loaded.
        const FitsLibrary& library = fits(kCreateError);
        int status = 0;
        library.clos(fptr, &status);
        library.cmsg();
        fptr = nullptr;
    }
    std::free(headerMemory);
    headerMemory = nullptr;
    headerMemorySize = 0;
}

Image::~Image()
{
    if (fptr == nullptr)
        return;
    // Unwound by an exception (a refused card, a failed write): the image
    // is abandoned, never published half-built over an existing file. (An
    // image made and left inside a destructor that runs during unwinding is
    // discarded too: counting exceptions from its creation would need a
    // data member, which the library's binary interface keeps out.)
    try {
        if (std::uncaught_exceptions() > 0)
            discard();
        else
            close();
    } catch (...) {
        // close() has removed what it could not complete.
    }
}

void Image::discard()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    if (!temporaryName.empty()) {
        unlinkat(directoryFd, temporaryName.c_str(), 0);
        temporaryName.clear();
    }
    if (directoryFd >= 0) {
        ::close(directoryFd);
        directoryFd = -1;
    }
    releaseHeader();
}

std::string Image::headerBlocks()
{
    char* cards = nullptr;
    int count = 0;
    int status = 0;
    const FitsLibrary& library = fits(kDataError);
    if (library.hdr2str(fptr, 0, nullptr, 0, &cards, &count, &status) != 0) {
        library.cmsg();
        throw CorvoError(kDataError);
    }
    std::string header(cards);
    library.release(cards, &status);
    header.resize(roundUpToBlock(header.size()), ' ');
    return header;
}

void Image::writeAll(const void* bytes, size_t size, uint64_t offset)
{
    const auto* from = static_cast<const uint8_t*>(bytes);
    while (size > 0) {
        const ssize_t written = pwrite(fd, from, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            throw CorvoError(kDataError);
        from += written;
        size -= static_cast<size_t>(written);
        offset += static_cast<uint64_t>(written);
    }
}

namespace {

// The keywords that describe the data unit (cfitsio writes them from the
// image type and size) and CONTINUE, which carries the rest of a long string:
// a card of one of these keys would leave a file that no longer describes
// its pixels, or a header cut short at a written END.
bool isReservedKey(const std::string& key)
{
    static const char* const reserved[] = {"SIMPLE", "BITPIX", "NAXIS",  "EXTEND",   "BZERO",   "BSCALE",
                                           "END",    "PCOUNT", "GCOUNT", "XTENSION", "CONTINUE"};
    for (const char* name : reserved)
        if (key == name)
            return true;
    // NAXISn: NAXIS followed by digits.
    return key.size() > 5 && key.compare(0, 5, "NAXIS") == 0 &&
           std::all_of(key.begin() + 5, key.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Throws CorvoError unless `key`, upper-cased as cfitsio writes it, is made
// of A-Z, 0-9, '-' and '_' and is not reserved.
void checkKey(const std::string& key)
{
    std::string upper = key;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    const bool plain = !upper.empty() && std::all_of(upper.begin(), upper.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
    if (!plain)
        throw CorvoError(kHeaderError);
    if (isReservedKey(upper))
        throw CorvoError("FITS keyword " + upper + " refused: it describes the data layout");
}

// The longest string value one card holds.
constexpr size_t kMaxCardString = 68;

// One card through ffuky; `value` points to data of `datatype`. A refused
// card leaves the header as it was.
void updateCard(fitsfile* fptr, int datatype, const std::string& key, void* value, const std::string& comment)
{
    if (fptr == nullptr)
        throw CorvoError(kHeaderError);
    checkKey(key);
    const FitsLibrary& library = fits(kHeaderError);
    int status = 0;
    if (library.uky(fptr, datatype, key.c_str(), value, comment.c_str(), &status) != 0) {
        library.cmsg();
        throw CorvoError(kHeaderError);
    }
}

}  // namespace

void Image::writeHeader(std::string key, bool value, std::string comment)
{
    // cfitsio reads a logical value as an int.
    int flag = value ? 1 : 0;
    updateCard(fptr, TLOGICAL, key, &flag, comment);
}

void Image::writeHeader(std::string key, double value, std::string comment)
{
    updateCard(fptr, TDOUBLE, key, &value, comment);
}

void Image::writeHeader(std::string key, int value, std::string comment)
{
    updateCard(fptr, TINT, key, &value, comment);
}

void Image::writeHeader(std::string key, long value, std::string comment)
{
    updateCard(fptr, TLONG, key, &value, comment);
}

void Image::writeHeader(std::string key, std::string value, std::string comment)
{
    // One card holds 68 characters of a string, a quote counting twice;
    // cfitsio would cut a longer one. That is written over CONTINUE cards,
    // with the LONGSTRN card that announces the convention.
    const size_t quoted = value.size() + static_cast<size_t>(std::count(value.begin(), value.end(), '\''));
    if (quoted <= kMaxCardString) {
        updateCard(fptr, TSTRING, key, const_cast<char*>(value.c_str()), comment);
        return;
    }
    if (fptr == nullptr)
        throw CorvoError(kHeaderError);
    checkKey(key);
    const FitsLibrary& library = fits(kHeaderError);
    int status = 0;
    // cfitsio fails to replace a short string by a long one (it runs past
    // the end of the header): the old card, with any CONTINUE cards of its
    // own, is removed first and the long one added.
    if (library.dkey(fptr, key.c_str(), &status) != 0 && status != KEY_NO_EXIST) {
        library.cmsg();
        throw CorvoError(kHeaderError);
    }
    status = 0;
    library.cmsg();
    if (library.ukls(fptr, key.c_str(), value.c_str(), comment.c_str(), &status) != 0 ||
        library.plsw(fptr, &status) != 0) {
        library.cmsg();
        throw CorvoError(kHeaderError);
    }
}

void Image::writeHeader(FitsHdrItem item)
{
    switch (item.type) {
        case TBIT:
        case TLOGICAL:
            writeHeader(item.key, item.boolValue, item.comment);
            break;
        case TSTRING:
            writeHeader(item.key, item.strValue, item.comment);
            break;
        case TINT:
            writeHeader(item.key, item.intValue, item.comment);
            break;
        case TLONG:
            writeHeader(item.key, item.longValue, item.comment);
            break;
        case TLONGLONG: {
            LONGLONG value = item.longValue;
            updateCard(fptr, TLONGLONG, item.key, &value, item.comment);
            break;
        }
        case TDOUBLE:
            writeHeader(item.key, item.doubleValue, item.comment);
            break;
        default:
            // No value field holds data of any other type.
            throw CorvoError(kHeaderError);
    }
}

void Image::writeHeaders(std::vector<FitsHdrItem> items)
{
    for (const auto& item : items)
        writeHeader(item);
}

void Image::writeData(void* data, bool stats)
{
    if (fptr == nullptr || fd < 0 || data == nullptr)
        throw CorvoError(kDataError);
    const std::string header = headerBlocks();
    const size_t bytesPerPixel = pixelBytes(type);
    const uint64_t count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    const size_t perChunk = kWriteChunk / bytesPerPixel;
    std::vector<uint8_t> chunk;
    // Until the pixels are all written, the file is not one to complete.
    incomplete = true;
    writeAll(header.data(), header.size(), 0);
    uint64_t offset = header.size();
    const auto* pixels = static_cast<const uint8_t*>(data);
    for (uint64_t done = 0; done < count;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(perChunk, count - done));
        const uint8_t* from = pixels + done * bytesPerPixel;
        if (chunk.empty() && type != BYTE_IMG)
            chunk.resize(std::min<uint64_t>(perChunk, count) * bytesPerPixel);
        if (convertPixels(type, from, chunk.data(), n))
            writeAll(chunk.data(), n * bytesPerPixel, offset);
        else
            writeAll(from, n * bytesPerPixel, offset);
        offset += static_cast<uint64_t>(n) * bytesPerPixel;
        done += n;
    }
    dataWritten = true;
    incomplete = false;
    dataOffset = header.size();
    if (stats)
        computeStats();
}

void Image::computeStats() {}

void Image::completeFile()
{
    const std::string header = headerBlocks();
    const uint64_t dataBytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * pixelBytes(type);
    if (dataWritten && header.size() != dataOffset) {
        // Cards changed after the pixels moved the end of the header. A
        // longer header moves the pixels up, last piece first; a shorter
        // one (a long string replaced by a short one) moves them down,
        // first piece first, so that no piece is overwritten before it is
        // read.
        std::vector<uint8_t> piece(kWriteChunk);
        const bool up = header.size() > dataOffset;
        uint64_t done = 0;
        while (done < dataBytes) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), dataBytes - done));
            const uint64_t at = up ? dataBytes - done - n : done;
            if (pread(fd, piece.data(), n, static_cast<off_t>(dataOffset + at)) != static_cast<ssize_t>(n))
                throw CorvoError(kCloseError);
            writeAll(piece.data(), n, header.size() + at);
            done += n;
        }
    }
    writeAll(header.data(), header.size(), 0);
    // Pixels never written read as zeros, as cfitsio leaves them; the data
    // unit is padded with zeros to whole blocks.
    const uint64_t total = header.size() + roundUpToBlock(dataBytes);
    // Cut at the end of the pixels first: a header that shrank leaves
    // pixel bytes where the zero fill goes.
    if (ftruncate(fd, static_cast<off_t>(header.size() + dataBytes)) != 0 ||
        ftruncate(fd, static_cast<off_t>(total)) != 0)
        throw CorvoError(kCloseError);
    const int closing = fd;
    fd = -1;
    if (::close(closing) != 0)
        throw CorvoError(kCloseError);
}

void Image::giveName()
{
    if (replace) {
        if (renameat(directoryFd, temporaryName.c_str(), directoryFd, name.c_str()) != 0)
            throw CorvoError(kCloseError);
    } else {
        std::string target = renameToFreeName(directoryFd, temporaryName, name);
        if (target.empty())
            throw CorvoError(kCloseError);
        name = target;
        filename = directory + name;
    }
    temporaryName.clear();
}

void Image::close()
{
    if (fptr == nullptr)
        throw CorvoError(kCloseError);
    try {
        if (incomplete)
            throw CorvoError(kCloseError);
        completeFile();
        giveName();
    } catch (const CorvoError&) {
        discard();
        throw CorvoError(kCloseError);
    }
    discard();
}

namespace {

// Longer lines are never matched: the regex engine recurses per character
// and would exhaust the stack. A FITS card holds 80 characters.
constexpr size_t kMaxTemplateLine = 4096;

bool isIgnoredLine(const std::string& line)
{
    return line.empty() || line.compare(0, 2, "//") == 0;
}

// Replaces the first occurrence of each macro name (in name order) in `line`.
void substituteMacros(std::string& line, const std::map<std::string, std::string>& macros)
{
    for (const auto& macro : macros) {
        const auto at = line.find(macro.first);
        if (at != std::string::npos)
            line.replace(at, macro.first.size(), macro.second);
    }
}

}  // namespace

std::vector<FitsHdrMap> parseFitsHdrFile(std::string path)
{
    std::vector<FitsHdrMap> result;
    if (access(path.c_str(), F_OK) != 0) {
        diagnose(Diagnostic::Error, Diagnostic::Stdout, "ERROR: Can't open FITS header file.");
        return result;
    }
    std::ifstream file(path);
    if (!file.is_open())
        return result;

    const std::regex macroPattern("#define\\s+(\\S+)\\s+(\\S+)", std::regex::ECMAScript);
    const std::regex cardPattern("(\\S{1,8})\\s*=>\\s*(\\S+):(\\S+)\\s+\"(.*)\"", std::regex::ECMAScript);

    std::map<std::string, std::string> macros;
    std::map<int, std::string> cardLines;
    std::string line;
    int lineNumber = 0;
    std::smatch match;
    while (std::getline(file, line)) {
        ++lineNumber;
        trim(line);
        if (isIgnoredLine(line))
            continue;
        if (line.size() <= kMaxTemplateLine && std::regex_match(line, match, macroPattern))
            macros[match[1].str()] = match[2].str();
        else
            cardLines[lineNumber] = line;
    }

    for (auto& card : cardLines) {
        std::string& text = card.second;
        substituteMacros(text, macros);
        if (text.size() <= kMaxTemplateLine && std::regex_match(text, match, cardPattern)) {
            result.push_back(FitsHdrMap{match[2].str(), match[3].str(), match[1].str(), match[4].str()});
        } else {
            diagnose(Diagnostic::Warning, Diagnostic::Stdout,
                     path + ":" + std::to_string(card.first) + " Wrong syntax");
        }
    }
    return result;
}

bool fitsCard(const FitsHdrMap& entry, const Property& property, FitsHdrItem& card)
{
    card = FitsHdrItem();
    card.key = entry.key;
    card.comment = entry.comment;
    switch (property.type) {
        case Property::STRING:
            card.type = TSTRING;
            card.strValue = property.strValue;
            return true;
        case Property::DOUBLE:
            card.type = TDOUBLE;
            card.doubleValue = property.doubleValue;
            return true;
        case Property::INT:
            card.type = TLONGLONG;
            card.longValue = property.intValue;
            return true;
        default:
            return false;
    }
}

std::vector<FitsHdrItem> headerCards(const std::vector<FitsHdrMap>& entries, const PropertyLookup& find)
{
    std::vector<FitsHdrItem> cards;
    for (const FitsHdrMap& entry : entries) {
        const Property* property = find(entry.component, entry.property);
        FitsHdrItem card;
        if (property && fitsCard(entry, *property, card))
            cards.push_back(std::move(card));
    }
    return cards;
}

}  // namespace corvo
