// Synthetic sky frames: a flat sky background with photon and read noise and
// a few stars drawn as Gaussian point-spread functions.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "corvo/image.h"

namespace simcam {

// The pixel size in bytes of an image type; 0 for an unknown type.
size_t pixelSize(corvo::ImageType type);

// A frame of width x height pixels of `type`, rows one after another, in the
// buffer layout corvo::Image::writeData takes. Every value lies within the
// range of the pixel type. Throws std::invalid_argument for an unknown type
// or a size that is not positive.
std::vector<uint8_t> makeSkyFrame(corvo::ImageType type, int width, int height, std::mt19937& rng);

}  // namespace simcam
