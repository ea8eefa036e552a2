// The frames of one ZeroMQ message, as the node receives and sends them.
#pragma once

#include <czmq.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zre {

// Frames of the application up to this size are copied when sent, not
// shared: libzmq keeps up to 33 bytes inside its message, allocating nothing.
constexpr size_t kCopiedFrameSize = 32;

// The frames of one ZeroMQ message, received or to be sent without copying
// their contents. zmq_msg_t holds no pointer into itself, so the vector may
// relocate its elements.
class Parts {
public:
    Parts() = default;
    ~Parts() { clear(); }
    Parts(const Parts&) = delete;
    Parts& operator=(const Parts&) = delete;
    Parts(Parts&& other) noexcept : frames_(std::move(other.frames_)) { other.frames_.clear(); }

    size_t size() const { return frames_.size(); }
    zmq_msg_t& operator[](size_t i) { return frames_[i]; }
    const uint8_t* data(size_t i) { return static_cast<const uint8_t*>(zmq_msg_data(&frames_[i])); }
    size_t bytes(size_t i) { return zmq_msg_size(&frames_[i]); }
    std::string text(size_t i) { return std::string(reinterpret_cast<const char*>(data(i)), bytes(i)); }

    void clear()
    {
        for (auto& f : frames_)
            zmq_msg_close(&f);
        frames_.clear();
    }
    void add(const void* data, size_t size)
    {
        frames_.emplace_back();
        zmq_msg_init_size(&frames_.back(), size);
        if (size)
            std::memcpy(zmq_msg_data(&frames_.back()), data, size);
    }
    void add(const std::string& text) { add(text.data(), text.size()); }
    void swap(Parts& other) { frames_.swap(other.frames_); }
    // Takes over a czmq frame, sharing its bytes (freed with the last copy).
    // A small one is copied: libzmq holds it in place, and nothing is left
    // to free on another thread.
    void adopt(zframe_t* frame)
    {
        if (zframe_size(frame) <= kCopiedFrameSize) {
            add(zframe_data(frame), zframe_size(frame));
            zframe_destroy(&frame);
            return;
        }
        frames_.emplace_back();
        if (zmq_msg_init_data(&frames_.back(), zframe_data(frame), zframe_size(frame), destroyFrame, frame) != 0) {
            zmq_msg_init_size(&frames_.back(), zframe_size(frame));
            std::memcpy(zmq_msg_data(&frames_.back()), zframe_data(frame), zframe_size(frame));
            zframe_destroy(&frame);
        }
    }
    // One whole message without waiting; false when none is there. Frames
    // beyond `maxFrames` are read and discarded, and `overflowed()` is set.
    bool receive(void* socket, size_t maxFrames = SIZE_MAX)
    {
        clear();
        overflowed_ = false;
        while (true) {
            if (frames_.size() == maxFrames) {
                overflowed_ = true;
                return discardRest(socket);
            }
            frames_.emplace_back();
            zmq_msg_t& f = frames_.back();
            zmq_msg_init(&f);
            if (zmq_msg_recv(&f, socket, frames_.size() == 1 ? ZMQ_DONTWAIT : 0) < 0) {
                zmq_msg_close(&f);
                frames_.pop_back();
                clear();
                return false;
            }
            if (!zmq_msg_more(&f))
                return true;
        }
    }
    bool overflowed() const { return overflowed_; }

    // The address of the connection frame `i` came in on, or "".
    std::string peerAddress(size_t i)
    {
        const char* address = zmq_msg_gets(&frames_[i], "Peer-Address");
        return address ? address : "";
    }

    // Sends (and empties) frames `from`..end without waiting. False when the
    // first frame would block; the frames are kept then.
    bool send(void* socket, size_t from = 0)
    {
        for (size_t i = from; i < frames_.size(); ++i) {
            int flags = ZMQ_DONTWAIT | (i + 1 < frames_.size() ? ZMQ_SNDMORE : 0);
            if (zmq_msg_send(&frames_[i], socket, flags) < 0) {
                if (i == from)
                    return false;
                break;  // the socket failed in mid-message; nothing to retry
            }
        }
        clear();
        return true;
    }

    // Sends copies of frames `from`..end (shared, not duplicated, when large).
    bool sendCopies(void* socket, size_t from)
    {
        for (size_t i = from; i < frames_.size(); ++i) {
            zmq_msg_t copy;
            zmq_msg_init(&copy);
            zmq_msg_copy(&copy, &frames_[i]);
            int flags = ZMQ_DONTWAIT | (i + 1 < frames_.size() ? ZMQ_SNDMORE : 0);
            if (zmq_msg_send(&copy, socket, flags) < 0) {
                zmq_msg_close(&copy);
                return false;
            }
        }
        return true;
    }

private:
    static void destroyFrame(void*, void* hint)
    {
        auto* frame = static_cast<zframe_t*>(hint);
        zframe_destroy(&frame);
    }

    // Reads the remaining frames of a message (already whole inside libzmq)
    // without keeping them.
    bool discardRest(void* socket)
    {
        bool more = zmq_msg_more(&frames_.back());
        zmq_msg_t f;
        zmq_msg_init(&f);
        while (more && zmq_msg_recv(&f, socket, 0) >= 0)
            more = zmq_msg_more(&f);
        zmq_msg_close(&f);
        return true;
    }

    std::vector<zmq_msg_t> frames_;
    bool overflowed_ = false;
};

}  // namespace zre
