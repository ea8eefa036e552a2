// What zstd chunks gain on image transfer: a file is sent through the
// camera's image service to a receiver in process, raw and compressed in
// alternating rounds, and the bytes on the wire and the time of each are
// reported (the raw transfer is the floor of the same run). Without a file
// argument a real-looking 16-bit frame is made: a sky background with
// gradients, a few hundred stars, Poisson-like and read noise.
//   bench_image_compress [FILE...]
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "corvo/image.h"
#include "corvo/image_service.h"
#include "corvo/message.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    double seconds = 0;
    uint64_t wire = 0;
    bool identical = false;
};

// One whole transfer of `name` below `root`; the receiver asks for `encoding`.
Result transfer(const std::string& root, const std::string& name, const std::string& encoding,
                const std::string& expected)
{
    std::vector<std::pair<uint8_t, std::string>> queue;
    corvo::ImageService service([&] { return root; }, [] { return std::string(); },
                                [&](const std::string&, zmsg_t* msg) {
                                    unsigned char* data = nullptr;
                                    size_t size = corvo::getDataFromZMsg(msg, &data);
                                    queue.emplace_back(uint8_t(corvo::GetMessageType(msg)),
                                                       std::string(reinterpret_cast<char*>(data), size));
                                    zmsg_destroy(&msg);
                                },
                                [](const std::string&) {});
    std::string got;
    got.reserve(expected.size());
    corvo::ImageReceiver receiver(1, name, 0, [&](const unsigned char* d, size_t n) {
        got.append(reinterpret_cast<const char*>(d), n);
        return true;
    });
    receiver.setCompression(encoding);
    auto deliver = [&](zmsg_t* msg) {
        unsigned char* data = nullptr;
        size_t size = corvo::getDataFromZMsg(msg, &data);
        service.handle("r", "r", uint8_t(corvo::GetMessageType(msg)), data, size);
        zmsg_destroy(&msg);
    };
    const auto start = Clock::now();
    deliver(receiver.request());
    for (size_t i = 0; i < queue.size(); ++i) {
        auto message = std::move(queue[i]);
        bool ignored = false;
        zmsg_t* credit = receiver.handle(message.first, reinterpret_cast<const unsigned char*>(message.second.data()),
                                         message.second.size(), ignored);
        if (credit)
            deliver(credit);
    }
    Result result;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.wire = receiver.wireBytes();
    result.identical = receiver.state() == corvo::ImageReceiver::State::Done && got == expected;
    return result;
}

// A 4096 x 4096 16-bit frame as a sensor gives it, saved as a FITS file.
std::string makeNoisyFrame(const std::string& directory)
{
    const int width = 4096, height = 4096;
    std::vector<uint16_t> pixels(size_t(width) * height);
    std::mt19937 random(42);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<std::array<double, 3>> stars(400);
    for (auto& s : stars)
        s = {double(random() % width), double(random() % height), 200.0 + random() % 20000};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double mean = 800.0 + 0.02 * x + 0.01 * y;
            pixels[size_t(y) * width + x] =
                uint16_t(std::clamp(mean + normal(random) * std::sqrt(mean + 25.0), 0.0, 65535.0));
        }
    for (const auto& s : stars)
        for (int dy = -6; dy <= 6; ++dy)
            for (int dx = -6; dx <= 6; ++dx) {
                int x = int(s[0]) + dx, y = int(s[1]) + dy;
                if (x < 0 || y < 0 || x >= width || y >= height)
                    continue;
                double add = s[2] * std::exp(-(dx * dx + dy * dy) / 4.5);
                auto& p = pixels[size_t(y) * width + x];
                p = uint16_t(std::min(65535.0, p + add));
            }
    const std::string path = directory + "/noisy16.fits";
    corvo::Image image(path, corvo::IMAGE_UINT16, width, height);
    image.writeData(pixels.data(), false);
    image.close();
    return path;
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv)
{
    char pattern[] = "/tmp/corvo-bzst-XXXXXX";
    const std::string work = mkdtemp(pattern);
    std::vector<std::string> files(argv + 1, argv + argc);
    if (files.empty())
        files.push_back(makeNoisyFrame(work));
    int status = 0;
    for (const std::string& file : files) {
        // The service serves names below its root: each file gets a link-free copy there.
        const std::string bytes = readAll(file);
        std::ofstream(work + "/f.fits", std::ios::binary) << bytes;
        std::vector<double> raw, packed;
        uint64_t wire = 0;
        for (int round = 0; round < 6; ++round) {
            const bool compress = round % 2 == 1;
            Result r = transfer(work, "f.fits", compress ? corvo::kImageZstd : "", bytes);
            if (!r.identical) {
                std::fprintf(stderr, "%s: the transfer did not give the same bytes\n", file.c_str());
                status = 1;
            }
            (compress ? packed : raw).push_back(r.seconds);
            if (compress)
                wire = r.wire;
        }
        std::sort(raw.begin(), raw.end());
        std::sort(packed.begin(), packed.end());
        std::printf("%s: %zu bytes; zstd chunks: %.1f%% of them on the wire; transfer time zstd/raw %.2f "
                    "(median %.3f s against %.3f s)\n",
                    file.c_str(), bytes.size(), 100.0 * double(wire) / double(bytes.size()), packed[1] / raw[1],
                    packed[1], raw[1]);
    }
    std::system(("rm -rf " + work).c_str());
    return status;
}
