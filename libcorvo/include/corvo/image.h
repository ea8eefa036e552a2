/// @file
/// FITS image files: one two-dimensional image per file, written through
/// cfitsio, with typed header cards; and the header template files that name
/// the cards an image receives.
#pragma once

#include "corvo/export.h"

#include <fitsio.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace corvo {

class Property;

/// The cfitsio BITPIX code of the image.
enum ImageType : int {
    IMAGE_UINT8 = 8,     ///< unsigned 8-bit pixels (BYTE_IMG)
    IMAGE_INT8 = 10,     ///< signed 8-bit pixels (SBYTE_IMG)
    IMAGE_INT16 = 16,    ///< signed 16-bit pixels (SHORT_IMG)
    IMAGE_UINT16 = 20,   ///< unsigned 16-bit pixels (USHORT_IMG; BZERO 32768)
    IMAGE_INT32 = 32,    ///< signed 32-bit pixels (LONG_IMG)
    IMAGE_UINT32 = 40,   ///< unsigned 32-bit pixels (ULONG_IMG)
    IMAGE_FLOAT = -32,   ///< 32-bit floating-point pixels (FLOAT_IMG)
    IMAGE_DOUBLE = -64,  ///< 64-bit floating-point pixels (DOUBLE_IMG)
};

/// Image type -> cfitsio datatype of the in-memory pixel buffer, for the six
/// integer types; each buffer element has the width of the pixel (TINT and
/// TUINT for the 32-bit images).
extern CORVO_API const std::map<int, int> fits_type_map;

/// One header card. `type` is the cfitsio datatype that selects the value:
/// TBIT or TLOGICAL (boolValue), TSTRING (strValue), TINT (intValue), TLONG or
/// TLONGLONG (longValue), TDOUBLE (doubleValue). Other types are refused.
struct CORVO_API FitsHdrItem {
    std::string key;           ///< the card's keyword (up to 8 characters in standard FITS)
    int type = TSTRING;        ///< the cfitsio datatype: which value field is used
    bool boolValue = false;    ///< the value of a TBIT or TLOGICAL card
    int intValue = 0;          ///< the value of a TINT card
    double doubleValue = 0.0;  ///< the value of a TDOUBLE card
    std::string strValue;      ///< the value of a TSTRING card
    long longValue = 0;        ///< the value of a TLONG or TLONGLONG card
    std::string comment;       ///< the card's comment
};

/// Current UTC time as YYYY-MM-DDThh:mm:ss.mmm.
CORVO_API std::string getFitsTime();
/// The same text for a time given in nanoseconds since the epoch.
CORVO_API std::string formatFitsTime(int64_t nanosSinceEpoch);

/// An image file is written under a temporary name in its directory and
/// takes its own name only when it is complete (close()); a file that cannot
/// be completed is removed. cfitsio composes the header in memory; the pixels
/// are converted to the FITS byte order here and written straight to the file.
/// Names are plain file names: cfitsio's extended syntax ("!", "mem://",
/// "name(template)", ...) has no meaning in them.
class CORVO_API Image {
public:
    /// An image named `filename` (making missing directories), replacing a
    /// file of the same name when it is closed; its header has the primary
    /// image cards and a "DATE" card.
    Image(std::string filename, ImageType type, int width, int height);
    /// An image named `name` (a single path component) in the open directory
    /// `directoryFd` (duplicated; the caller keeps its own), whose path is
    /// `directory`. The temporary file is created there without following
    /// symbolic links. With `replace` false an existing name is never
    /// overwritten: close() gives the image the next free numbered name
    /// (nextFreeName) and `filename` follows.
    Image(int directoryFd, const std::string& directory, const std::string& name, ImageType type, int width, int height,
          bool replace);
    /// Completes the file if close() was not called; if that fails the
    /// temporary file is removed. Destroyed while an exception propagates,
    /// the image is discarded instead: no file takes the name.
    ~Image();
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    /// Adds the logical card `key` (T or F) with `comment`, or replaces the
    /// card of that key. Cards may be written before or after the pixels.
    /// Throws CorvoError when cfitsio refuses the card, when `key` (upper-
    /// cased) holds a character other than A-Z, 0-9, '-' and '_', and for
    /// the keys that describe the data or the header itself (SIMPLE, BITPIX,
    /// NAXIS, NAXISn, EXTEND, BZERO, BSCALE, PCOUNT, GCOUNT, XTENSION, END,
    /// CONTINUE), which the writer sets from the image type and size.
    void writeHeader(std::string key, bool value, std::string comment);
    /// Adds or replaces a floating-point card (see the logical form).
    void writeHeader(std::string key, double value, std::string comment);
    /// Adds or replaces an integer card (see the logical form).
    void writeHeader(std::string key, int value, std::string comment);
    /// Adds or replaces an integer card of a long (see the logical form).
    void writeHeader(std::string key, long value, std::string comment);
    /// Adds or replaces a string card (see the logical form). A value longer
    /// than one card holds (68 characters, a quote counting twice) is kept
    /// whole over CONTINUE cards, cfitsio's long-string convention, and a
    /// LONGSTRN card announces the convention; trailing spaces carry no
    /// meaning in a FITS string and read back without them.
    void writeHeader(std::string key, std::string value, std::string comment);
    /// Adds or replaces the card `item` describes; a type FitsHdrItem does
    /// not list is refused with CorvoError.
    void writeHeader(FitsHdrItem item);
    /// writeHeader() for each item, in order; stops at the first refused.
    void writeHeaders(std::vector<FitsHdrItem> items);

    /// Writes all width x height pixels; `data` holds the buffer type of the
    /// image type (fits_type_map; float for FLOAT_IMG, double for DOUBLE_IMG).
    /// Throws CorvoError when the file cannot be written.
    void writeData(void* data, bool stats);
    /// Called after the pixels when writeData() is asked for statistics;
    /// adds nothing yet.
    void computeStats();
    /// Completes the file and gives it its name. On failure the temporary file
    /// is removed and CorvoError thrown.
    void close();
    /// Abandons the image: the temporary file is removed, no file takes the
    /// name. Does nothing after close().
    void discard();

    /// `name` if no entry of that name exists in `directoryFd`, else the first
    /// free of name_1.ext, name_2.ext, ... (the counter goes before the last
    /// extension). Throws CorvoError when none of the first 100000 is free.
    static std::string nextFreeName(int directoryFd, const std::string& name);
    /// Renames the entry `from` of `directoryFd` to `name` there, or, when
    /// that exists, to the first free numbered name (nextFreeName), never
    /// replacing a file, also when another writer takes a name meanwhile.
    /// Returns the name taken, or an empty string with errno set (EEXIST
    /// when none of the numbered names is free).
    static std::string renameToFreeName(int directoryFd, const std::string& from, const std::string& name);

    /// Pixels per row (NAXIS1).
    int width;
    /// Rows (NAXIS2).
    int height;
    /// The pixel type (BITPIX).
    ImageType type;
    /// The header being composed (an in-memory cfitsio file); null once the
    /// image is closed or discarded.
    fitsfile* fptr = nullptr;
    /// The full path of the image; for an image that must not replace a
    /// file, the free name close() found.
    std::string filename;

private:
    /// The header and the temporary file; on failure both are released and
    /// the directory closed.
    void createFiles();
    void createHeader();
    void createTemporary();
    /// The header as it stands: whole 2880-byte blocks.
    std::string headerBlocks();
    void writeAll(const void* bytes, size_t size, uint64_t offset);
    void completeFile();
    void giveName();
    void releaseHeader();

    int directoryFd = -1;
    std::string directory;  ///< with a trailing '/', or empty
    std::string name;
    std::string temporaryName;
    int fd = -1;
    bool replace = true;
    bool dataWritten = false;
    bool incomplete = false;  ///< a pixel write failed
    uint64_t dataOffset = 0;  ///< where the pixels start, once written
    /// The in-memory file of the header: cfitsio keeps the addresses of both.
    void* headerMemory = nullptr;
    size_t headerMemorySize = 0;
};

/// One card line of a header template: the value of `component`'s property
/// `property` becomes card `key` with `comment`.
struct CORVO_API FitsHdrMap {
    std::string component;  ///< the daemon that owns the property ("camera": the camera itself)
    std::string property;   ///< the property's name
    std::string key;        ///< the card's keyword
    std::string comment;    ///< the card's comment
};

/// Reads a header template file; invalid lines are reported on standard
/// output and skipped.
CORVO_API std::vector<FitsHdrMap> parseFitsHdrFile(std::string path);

/// The card that `entry` of a header template makes of `property`: a STRING
/// as text, a DOUBLE as a real number, an INT as a 64-bit integer (a 32-bit
/// card would keep only its low half). A list makes no card: false.
CORVO_API bool fitsCard(const FitsHdrMap& entry, const Property& property, FitsHdrItem& card);

/// Where a header template's values come from: the property `property` of
/// the component `component`, or null when there is none.
using PropertyLookup = std::function<const Property*(const std::string& component, const std::string& property)>;

/// The cards of a header template, in its order: one per entry whose
/// property `find` knows and fitsCard can write.
CORVO_API std::vector<FitsHdrItem> headerCards(const std::vector<FitsHdrMap>& entries, const PropertyLookup& find);

}  // namespace corvo
