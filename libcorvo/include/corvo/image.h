// FITS image files: one two-dimensional image per file, written through
// cfitsio, with typed header cards; and the header template files that name
// the cards an image receives.
#pragma once

#include "corvo/export.h"

#include <fitsio.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace corvo {

// The cfitsio BITPIX code of the image.
enum ImageType : int {
    IMAGE_UINT8 = 8,
    IMAGE_INT8 = 10,
    IMAGE_INT16 = 16,
    IMAGE_UINT16 = 20,
    IMAGE_INT32 = 32,
    IMAGE_UINT32 = 40,
    IMAGE_FLOAT = -32,
    IMAGE_DOUBLE = -64,
};

// Image type -> cfitsio datatype of the in-memory pixel buffer, for the six
// integer types; each buffer element has the width of the pixel (TINT and
// TUINT for the 32-bit images).
extern CORVO_API const std::map<int, int> fits_type_map;

// One header card. `type` is the cfitsio datatype that selects the value:
// TBIT or TLOGICAL (boolValue), TSTRING (strValue), TINT (intValue), TLONG or
// TLONGLONG (longValue), TDOUBLE (doubleValue). Other types are refused.
struct CORVO_API FitsHdrItem {
    std::string key;
    int type = TSTRING;
    bool boolValue = false;
    int intValue = 0;
    double doubleValue = 0.0;
    std::string strValue;
    long longValue = 0;
    std::string comment;
};

// Current UTC time as YYYY-MM-DDThh:mm:ss.mmm.
CORVO_API std::string getFitsTime();
// The same text for a time given in nanoseconds since the epoch.
CORVO_API std::string formatFitsTime(int64_t nanosSinceEpoch);

class CORVO_API Image {
public:
    // Creates the file (replacing one of the same name, making missing
    // directories) with its primary image and a "DATE" card.
    Image(std::string filename, ImageType type, int width, int height);
    // Closes the file if close() was not called.
    ~Image();
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    void writeHeader(std::string key, bool value, std::string comment);
    void writeHeader(std::string key, double value, std::string comment);
    void writeHeader(std::string key, int value, std::string comment);
    void writeHeader(std::string key, long value, std::string comment);
    void writeHeader(std::string key, std::string value, std::string comment);
    void writeHeader(FitsHdrItem item);
    void writeHeaders(std::vector<FitsHdrItem> items);

    // Writes all width x height pixels; `data` holds the buffer type of the
    // image type (fits_type_map; float for FLOAT_IMG, double for DOUBLE_IMG).
    // Throws CorvoError when cfitsio reports a failure.
    void writeData(void* data, bool stats);
    void computeStats();
    void close();

    int width;
    int height;
    ImageType type;
    fitsfile* fptr = nullptr;
    std::string filename;
};

// One card line of a header template: the value of `component`'s property
// `property` becomes card `key` with `comment`.
struct CORVO_API FitsHdrMap {
    std::string component;
    std::string property;
    std::string key;
    std::string comment;
};

// Reads a header template file; invalid lines are reported on standard
// output and skipped.
CORVO_API std::vector<FitsHdrMap> parseFitsHdrFile(std::string path);

}  // namespace corvo
