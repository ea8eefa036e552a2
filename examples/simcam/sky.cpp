#include "sky.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace simcam {

namespace {

constexpr double kReadNoise = 2.0;       // electrons, gain 1
constexpr double kFloatScale = 60000.0;  // "full well" of the float types

// Standard normal deviates for the per-pixel noise: drawing them through
// std::normal_distribution costs most of a frame's time, so each frame picks
// from a fixed table with a fast generator instead.
class NoiseTable {
public:
    explicit NoiseTable(std::mt19937& rng) : state(rng() | 1u)
    {
        static const std::vector<float> table = [] {
            std::mt19937 seeded(12345);
            std::normal_distribution<float> unit(0.0f, 1.0f);
            std::vector<float> values(1u << 16);
            for (auto& v : values)
                v = unit(seeded);
            return values;
        }();
        values = &table;
    }
    float next()
    {
        // xorshift32
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return (*values)[state >> 16];
    }

private:
    const std::vector<float>* values;
    uint32_t state;
};

struct Star {
    double x, y, sigma, peak;
};

// The noiseless model: background plus stars, each drawn within five sigma
// of its centre so that a large frame costs little more than its noise.
std::vector<float> skyModel(int width, int height, double background, double scale, std::mt19937& rng)
{
    std::vector<float> model(static_cast<size_t>(width) * height, static_cast<float>(background));
    const size_t area = static_cast<size_t>(width) * height;
    const int count = static_cast<int>(std::min<size_t>(200, 5 + area / 20000));
    std::uniform_real_distribution<double> ux(0, width), uy(0, height), usigma(1.2, 2.5), upeak(0.05, 0.6);
    for (int i = 0; i < count; ++i) {
        const Star s{ux(rng), uy(rng), usigma(rng), upeak(rng) * scale};
        const int reach = static_cast<int>(std::ceil(5 * s.sigma));
        const int x0 = std::max(0, static_cast<int>(s.x) - reach),
                  x1 = std::min(width - 1, static_cast<int>(s.x) + reach);
        const int y0 = std::max(0, static_cast<int>(s.y) - reach),
                  y1 = std::min(height - 1, static_cast<int>(s.y) + reach);
        const double twoSigma2 = 2 * s.sigma * s.sigma;
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) {
                const double dx = x + 0.5 - s.x, dy = y + 0.5 - s.y;
                model[static_cast<size_t>(y) * width + x] +=
                    static_cast<float>(s.peak * std::exp(-(dx * dx + dy * dy) / twoSigma2));
            }
        }
    }
    return model;
}

template <class T>
std::vector<uint8_t> render(int width, int height, std::mt19937& rng)
{
    const double top =
        std::is_floating_point<T>::value ? kFloatScale : static_cast<double>(std::numeric_limits<T>::max());
    const double bottom =
        std::is_floating_point<T>::value ? -kFloatScale : static_cast<double>(std::numeric_limits<T>::lowest());
    const double scale = std::min(top, kFloatScale);
    const double background = 0.05 * scale;
    const std::vector<float> model = skyModel(width, height, background, scale, rng);

    std::vector<uint8_t> bytes(model.size() * sizeof(T));
    NoiseTable noise(rng);
    for (size_t i = 0; i < model.size(); ++i) {
        // Photon noise (Poisson, as a Gaussian of the same variance) and read
        // noise.
        const double mean = model[i];
        double value = mean + noise.next() * std::sqrt(mean + kReadNoise * kReadNoise);
        value = std::clamp(value, bottom, top);
        const T pixel = std::is_floating_point<T>::value ? static_cast<T>(value) : static_cast<T>(std::lround(value));
        std::memcpy(&bytes[i * sizeof(T)], &pixel, sizeof(T));
    }
    return bytes;
}

}  // namespace

size_t pixelSize(corvo::ImageType type)
{
    switch (type) {
        case corvo::IMAGE_UINT8:
        case corvo::IMAGE_INT8:
            return 1;
        case corvo::IMAGE_INT16:
        case corvo::IMAGE_UINT16:
            return 2;
        case corvo::IMAGE_INT32:
        case corvo::IMAGE_UINT32:
        case corvo::IMAGE_FLOAT:
            return 4;
        case corvo::IMAGE_DOUBLE:
            return 8;
    }
    return 0;
}

std::vector<uint8_t> makeSkyFrame(corvo::ImageType type, int width, int height, std::mt19937& rng)
{
    if (width <= 0 || height <= 0)
        throw std::invalid_argument("image size must be positive");
    switch (type) {
        case corvo::IMAGE_UINT8:
            return render<uint8_t>(width, height, rng);
        case corvo::IMAGE_INT8:
            return render<int8_t>(width, height, rng);
        case corvo::IMAGE_INT16:
            return render<int16_t>(width, height, rng);
        case corvo::IMAGE_UINT16:
            return render<uint16_t>(width, height, rng);
        case corvo::IMAGE_INT32:
            return render<int32_t>(width, height, rng);
        case corvo::IMAGE_UINT32:
            return render<uint32_t>(width, height, rng);
        case corvo::IMAGE_FLOAT:
            return render<float>(width, height, rng);
        case corvo::IMAGE_DOUBLE:
            return render<double>(width, height, rng);
    }
    throw std::invalid_argument("unknown pixel data type");
}

}  // namespace simcam
