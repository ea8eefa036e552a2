#include "corvo/image.h"

// GCC 12 reports std::function members inside <regex> as maybe-uninitialized
// when optimising with sanitizers; the warning is about library code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <regex>
#include <sstream>

#include "corvo/diagnostics.h"
#include "corvo/misc.h"

namespace corvo {

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

// The in-memory datatype of a pixel buffer; 0 for an unknown image type.
// The floating-point types are not in fits_type_map: their buffers hold
// float and double.
int bufferDatatype(int imageType)
{
    auto it = fits_type_map.find(imageType);
    if (it != fits_type_map.end())
        return it->second;
    if (imageType == FLOAT_IMG)
        return TFLOAT;
    if (imageType == DOUBLE_IMG)
        return TDOUBLE;
    return 0;
}

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

Image::Image(std::string filename, ImageType type, int width, int height)
    : width(width), height(height), type(type), filename(filename)
{
    const auto slash = filename.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = filename.substr(0, slash);
        // A directory that cannot be made shows up as the failure to create
        // the file.
        if (!direxist(dir.c_str()))
            _mkdir(dir.c_str());
    }

    int status = 0;
    const std::string replacing = "!" + filename;
    if (ffinit(&fptr, replacing.c_str(), &status) != 0) {
        fptr = nullptr;
        throw CorvoError(kCreateError);
    }

    status = 0;
    LONGLONG axes[2] = {width, height};
    if (ffcrimll(fptr, type, 2, axes, &status) != 0) {
        // No half-made file stays behind.
        int ignored = 0;
        ffdelt(fptr, &ignored);
        fptr = nullptr;
        throw CorvoError(kCreateError);
    }

    status = 0;
    std::string now = getFitsTime();
    ffpky(fptr, TSTRING, "DATE", const_cast<char*>(now.c_str()), "date of file creation", &status);
}

Image::~Image()
{
    if (fptr == nullptr)
        return;
    int status = 0;
    ffclos(fptr, &status);
    fptr = nullptr;
}

namespace {

// One card through ffuky; `value` points to data of `datatype`.
void updateCard(fitsfile* fptr, int datatype, const std::string& key, void* value, const std::string& comment)
{
    if (fptr == nullptr)
        throw CorvoError(kHeaderError);
    int status = 0;
    if (ffuky(fptr, datatype, key.c_str(), value, comment.c_str(), &status) != 0)
        throw CorvoError(kHeaderError);
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
    updateCard(fptr, TSTRING, key, const_cast<char*>(value.c_str()), comment);
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
    const int datatype = bufferDatatype(type);
    if (fptr == nullptr || datatype == 0)
        throw CorvoError(kDataError);
    const LONGLONG elements = static_cast<LONGLONG>(width) * static_cast<LONGLONG>(height);
    LONGLONG first[2] = {1, 1};
    int status = 0;
    if (ffppxll(fptr, datatype, first, elements, data, &status) != 0)
        throw CorvoError(kDataError);
    if (stats)
        computeStats();
}

void Image::computeStats() {}

void Image::close()
{
    int status = 0;
    ffclos(fptr, &status);
    // cfitsio releases the handle even when the close fails.
    fptr = nullptr;
    if (status != 0)
        throw CorvoError(kCloseError);
}

namespace {

// Longer lines are never matched: the regex engine recurses per character
// and would exhaust the stack. A FITS card holds 80 characters.
constexpr size_t kMaxTemplateLine = 4096;

void strip(std::string& line)
{
    rtrim(line);
    ltrim(line);
}

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
        strip(line);
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

}  // namespace corvo
