// A lying camera for corvo fetch's tests: a daemon named "camera" that
// answers every image request with the same few bytes in one chunk, under
// the name FAKE_IMAGE_NAME (whatever was asked), and a correct checksum.
#include <cstdlib>
#include <string>

#include "corvo/daemon.h"
#include "corvo/image_service.h"
#include "corvo/message.h"
#include "corvo/peer.h"
#include "corvo/proto/image.pb.h"

namespace {

const std::string kBody = "bytes of the fake camera\n";

class FakeCamera : public corvo::Daemon {
public:
    FakeCamera() : Daemon("camera") {}

    void onImageMessage(std::shared_ptr<corvo::Peer> peer, uint8_t tag, const unsigned char* data, size_t size) override
    {
        corvo::proto::ImageRequest request;
        if (tag != corvo::MSG_IMAGE_REQUEST || !request.ParseFromArray(data, static_cast<int>(size)))
            return;
        const char* name = std::getenv("FAKE_IMAGE_NAME");
        corvo::proto::ImageChunk chunk;
        chunk.set_transfer(request.transfer());
        chunk.set_size(kBody.size());
        chunk.set_name(name ? name : request.name());
        chunk.set_data(kBody);
        network->sendOne(corvo::ProtobufToZMsg(chunk), peer);
        corvo::Sha1 hash;
        hash.update(reinterpret_cast<const unsigned char*>(kBody.data()), kBody.size());
        corvo::proto::ImageEnd end;
        end.set_transfer(request.transfer());
        end.set_size(kBody.size());
        end.set_sha1(hash.hex());
        network->sendOne(corvo::ProtobufToZMsg(end), peer);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    FakeCamera camera;
    return camera.run(argc, argv) == 0 ? 0 : 1;
}
