#include "image_io.h"

#include <fitsio.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "corvo/errors.h"
#include "py_util.h"

namespace corvo::python {

namespace {

ImageType imageTypeOf(const py::dtype& dtype)
{
    const char kind = dtype.kind();
    const auto size = dtype.itemsize();
    if (kind == 'u' && size == 1)
        return IMAGE_UINT8;
    if (kind == 'i' && size == 1)
        return IMAGE_INT8;
    if (kind == 'i' && size == 2)
        return IMAGE_INT16;
    if (kind == 'u' && size == 2)
        return IMAGE_UINT16;
    if (kind == 'i' && size == 4)
        return IMAGE_INT32;
    if (kind == 'u' && size == 4)
        return IMAGE_UINT32;
    if (kind == 'f' && size == 4)
        return IMAGE_FLOAT;
    if (kind == 'f' && size == 8)
        return IMAGE_DOUBLE;
    throw py::type_error("pixel type " + py::str(static_cast<py::handle>(dtype)).cast<std::string>() +
                         " is not one of uint8, int8, int16, uint16, int32, uint32, float32, float64");
}

// cfitsio's in-memory datatype and numpy's dtype for an image's BITPIX code
// (after cfitsio mapped BZERO-shifted integers back to unsigned types).
struct PixelFormat {
    int datatype;
    const char* dtype;
};

PixelFormat formatOf(int bitpix)
{
    switch (bitpix) {
        case BYTE_IMG:
            return {TBYTE, "uint8"};
        case SBYTE_IMG:
            return {TSBYTE, "int8"};
        case SHORT_IMG:
            return {TSHORT, "int16"};
        case USHORT_IMG:
            return {TUSHORT, "uint16"};
        case LONG_IMG:
            return {TINT, "int32"};
        case ULONG_IMG:
            return {TUINT, "uint32"};
        case LONGLONG_IMG:
            return {TLONGLONG, "int64"};
        case FLOAT_IMG:
            return {TFLOAT, "float32"};
        case DOUBLE_IMG:
            return {TDOUBLE, "float64"};
        default:
            throw std::runtime_error("unsupported BITPIX " + std::to_string(bitpix));
    }
}

struct FitsCloser {
    void operator()(fitsfile* file) const
    {
        int status = 0;
        fits_close_file(file, &status);
    }
};

[[noreturn]] void fitsFailure(const std::string& what, int status)
{
    char text[FLEN_STATUS] = {0};
    fits_get_errstatus(status, text);
    throw std::runtime_error(what + ": " + text);
}

// 'O''Brien   ' -> O'Brien: quotes doubled inside, trailing blanks dropped.
std::string unquote(const char* value)
{
    std::string text;
    for (const char* c = value + 1; *c; ++c) {
        if (*c == '\'') {
            if (c[1] != '\'')
                break;
            ++c;
        }
        text += *c;
    }
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

}  // namespace

std::vector<FitsHdrItem> headerCards(const py::dict& header)
{
    std::vector<FitsHdrItem> cards;
    for (auto item : header) {
        FitsHdrItem card;
        card.key = item.first.cast<std::string>();
        py::handle value = item.second;
        if (py::isinstance<py::tuple>(value)) {
            auto pair = value.cast<py::tuple>();
            if (pair.size() != 2)
                throw py::value_error("header " + card.key + ": a (value, comment) pair is wanted");
            value = pair[0];
            card.comment = pair[1].cast<std::string>();
        }
        if (PyBool_Check(value.ptr())) {
            card.type = TLOGICAL;
            card.boolValue = value.cast<bool>();
        } else if (PyLong_Check(value.ptr())) {
            card.type = TLONGLONG;
            card.longValue = value.cast<long>();
        } else if (PyFloat_Check(value.ptr())) {
            card.type = TDOUBLE;
            card.doubleValue = value.cast<double>();
        } else if (PyUnicode_Check(value.ptr())) {
            card.type = TSTRING;
            card.strValue = value.cast<std::string>();
        } else {
            throw py::type_error("header " + card.key + ": value must be bool, int, float or str");
        }
        cards.push_back(std::move(card));
    }
    return cards;
}

std::vector<std::string> writeFits(const std::string& path, const py::array& array,
                                   const std::vector<FitsHdrItem>& cards, size_t optional)
{
    if (array.ndim() != 2)
        throw py::value_error("an image is a two-dimensional array (height, width)");
    if (!(array.flags() & py::array::c_style))
        throw py::value_error("the array must be C-contiguous (numpy.ascontiguousarray makes a copy that is)");
    ImageType type = imageTypeOf(array.dtype());
    const auto height = array.shape(0), width = array.shape(1);
    if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX)
        throw py::value_error("image dimensions out of range");
    // Native byte order only: cfitsio reads the buffer as the machine's.
    if (!array.dtype().attr("isnative").cast<bool>())
        throw py::value_error("the array must be in the machine's byte order");
    void* pixels = const_cast<void*>(array.data());
    py::gil_scoped_release release;
    std::vector<std::string> skipped;
    Image image(path, type, static_cast<int>(width), static_cast<int>(height));
    try {
        for (size_t i = 0; i < cards.size(); ++i) {
            try {
                image.writeHeader(cards[i]);
            } catch (const corvo::CorvoError& e) {
                if (i >= optional)
                    throw;
                skipped.push_back("Header card " + cards[i].key + " skipped: " + e.what());
            }
        }
        image.writeData(pixels, false);
        image.close();
    } catch (...) {
        // No file takes the name: an existing one stays as it was.
        image.discard();
        throw;
    }
    return skipped;
}

py::tuple readFits(const std::string& path)
{
    fitsfile* raw = nullptr;
    int status = 0;
    // The name is taken literally (cfitsio would read "[...]", "(...)" or a
    // URL scheme in it as its extended file name syntax); the image is that
    // of the first HDU holding one, as fits_open_image picks it.
    if (fits_open_diskfile(&raw, path.c_str(), READONLY, &status))
        fitsFailure("cannot open " + path, status);
    std::unique_ptr<fitsfile, FitsCloser> file(raw);
    int primaryAxes = 0;
    if (fits_get_img_dim(file.get(), &primaryAxes, &status))
        fitsFailure("cannot read the image of " + path, status);
    if (primaryAxes == 0) {
        int hdus = 0;
        fits_get_num_hdus(file.get(), &hdus, &status);
        for (int hdu = 2; hdu <= hdus && status == 0; ++hdu) {
            int hduType = 0;
            if (fits_movabs_hdu(file.get(), hdu, &hduType, &status) == 0 &&
                (hduType == IMAGE_HDU || fits_is_compressed_image(file.get(), &status)))
                break;
        }
        if (status)
            fitsFailure("cannot read the image of " + path, status);
    }
    int bitpix = 0, naxis = 0;
    long axes[2] = {0, 0};
    if (fits_get_img_equivtype(file.get(), &bitpix, &status) || fits_get_img_dim(file.get(), &naxis, &status) ||
        fits_get_img_size(file.get(), 2, axes, &status))
        fitsFailure("cannot read the image of " + path, status);
    if (naxis != 2)
        throw std::runtime_error(path + ": not a two-dimensional image");
    PixelFormat format = formatOf(bitpix);
    py::array pixels(py::dtype(format.dtype), std::vector<py::ssize_t>{axes[1], axes[0]});
    void* buffer = pixels.mutable_data();
    {
        py::gil_scoped_release release;
        int anyNull = 0;
        if (fits_read_img(file.get(), format.datatype, 1, static_cast<LONGLONG>(axes[0]) * axes[1], nullptr, buffer,
                          &anyNull, &status))
            fitsFailure("cannot read the pixels of " + path, status);
    }
    py::dict header;
    int cards = 0;
    fits_get_hdrspace(file.get(), &cards, nullptr, &status);
    for (int i = 1; i <= cards; ++i) {
        char key[FLEN_KEYWORD] = {0}, value[FLEN_VALUE] = {0}, comment[FLEN_COMMENT] = {0};
        if (fits_read_keyn(file.get(), i, key, value, comment, &status))
            break;
        // A long string's CONTINUE cards are read with the card they continue.
        if (std::strcmp(key, "CONTINUE") == 0)
            continue;
        // A quoted string is given without its quotes and padding.
        std::string text = value[0] == '\'' ? unquote(value) : std::string(value);
        if (value[0] == '\'' && !text.empty() && text.back() == '&') {
            // Maybe a long string (cfitsio's convention): read it whole.
            char* whole = nullptr;
            char longComment[FLEN_COMMENT] = {0};
            int longStatus = 0;
            if (fits_read_key_longstr(file.get(), key, &whole, longComment, &longStatus) == 0 && whole != nullptr)
                text = whole;
            longStatus = 0;
            if (whole != nullptr)
                fits_free_memory(whole, &longStatus);
        }
        header[py::str(key)] = peerText(text);
    }
    return py::make_tuple(pixels, header);
}

}  // namespace corvo::python
