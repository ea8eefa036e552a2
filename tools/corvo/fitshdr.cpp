// A tiny FITS header dump: the cards of the primary header, as stored, with
// control characters escaped (a fetched file's bytes are the camera's).
#include <fitsio.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "corvo/text.h"
#include "tool.h"

namespace corvo::tool {

namespace {

std::string fitsError(int status)
{
    char text[FLEN_STATUS] = {0};
    fits_get_errstatus(status, text);
    return text;
}

}  // namespace

int dumpFitsHeader(const std::string& path)
{
    fitsfile* file = nullptr;
    int status = 0;
    // The disk-file form takes the name literally: brackets or a '+' in it
    // do not select parts of a file.
    if (fits_open_diskfile(&file, path.c_str(), READONLY, &status)) {
        std::cerr << "corvo: cannot read FITS file " << path << ": " << fitsError(status) << std::endl;
        return EXIT_NOT_FOUND;
    }
    int cards = 0;
    fits_get_hdrspace(file, &cards, nullptr, &status);
    for (int i = 1; i <= cards && status == 0; ++i) {
        char card[FLEN_CARD] = {0};
        if (fits_read_record(file, i, card, &status) == 0)
            std::cout << escapeControl(card) << '\n';
    }
    if (status == 0)
        std::cout << "END\n";
    int readStatus = status;
    status = 0;
    fits_close_file(file, &status);
    std::cout.flush();
    if (readStatus) {
        std::cerr << "corvo: bad FITS header in " << path << ": " << fitsError(readStatus) << std::endl;
        return EXIT_NOT_FOUND;
    }
    return EXIT_OK;
}

}  // namespace corvo::tool
