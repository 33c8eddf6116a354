// BufferPool: the registered shared buffers of one producer's sink session, and which of them
// are free, lent out to be painted or pushed to the camera.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/MemFd.h"
#include "base/UniqueFD.h"
#include "protocol/Protocol.h"

namespace kova::client {

// The registered buffers of one sink session, shared with the frames lent out of it so that a
// frame stays writable memory even if its producer reconnects.
// Threading: the buffers' states are guarded by `mutex` (a lent frame may be dropped on any
// thread); ids and mappings never change once the pool is built.
class BufferPool {
  public:
    enum class State { Free, Lent, Pushed };
    struct Buffer {
        std::uint32_t id = 0;
        base::UniqueFD fd;  // what was registered, for callers that look at or hand on the memory
        base::MemoryMapping mapping;
        State state = State::Free;
        bool refused = false;  // its latest push was refused
        wire::PushRefusal refusal{};
    };

    explicit BufferPool(std::vector<Buffer> buffers) : buffers_(std::move(buffers)) {}

    // A mapping's address and a buffer's fd stay put when the pool grows.
    std::uint8_t* data(std::size_t index) const {
        std::lock_guard lock(mutex_);
        return buffers_[index].mapping.data();
    }
    int fd(std::size_t index) const {
        std::lock_guard lock(mutex_);
        return buffers_[index].fd.get();
    }
    std::uint32_t id(std::size_t index) const {
        std::lock_guard lock(mutex_);
        return buffers_[index].id;
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return buffers_.size();
    }
    void add(Buffer buffer) {
        std::lock_guard lock(mutex_);
        buffers_.push_back(std::move(buffer));
    }

    // A free buffer, now lent out.
    std::optional<std::size_t> lend() {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < buffers_.size(); ++i) {
            if (buffers_[i].state == State::Free && kept_ != i) {
                buffers_[i].state = State::Lent;
                return i;
            }
        }
        return std::nullopt;
    }

    void giveBack(std::size_t index) { setState(index, State::Lent, State::Free); }

    void pushed(std::size_t index) {
        std::lock_guard lock(mutex_);
        buffers_[index].state = State::Pushed;
        buffers_[index].refused = false;
    }

    // Why the camera refused the last push of buffer `index`, if it did (known once it has
    // answered).
    std::optional<wire::PushRefusal> refusalOf(std::size_t index) const {
        std::lock_guard lock(mutex_);
        if (!buffers_[index].refused) return std::nullopt;
        return buffers_[index].refusal;
    }

    // Buffer `index` holds the still to keep up (nothing: none); acquire() does not lend it.
    void keep(std::optional<std::size_t> index) {
        std::lock_guard lock(mutex_);
        kept_ = index;
    }

    // Whether the kept still's buffer is with the camera.
    bool keptOut() const {
        std::lock_guard lock(mutex_);
        return kept_ && buffers_[*kept_].state == State::Pushed;
    }

    // The kept still's buffer, now pushed again, if it is back from the camera.
    std::optional<std::size_t> pushKeptAgain() {
        std::lock_guard lock(mutex_);
        if (!kept_ || buffers_[*kept_].state != State::Free) return std::nullopt;
        buffers_[*kept_].state = State::Pushed;
        buffers_[*kept_].refused = false;
        return kept_;
    }

    // The camera refused the push of buffer `id`, which is the producer's again at once (no
    // BufferReturned follows a refusal); false if no push of it is outstanding.
    bool markRefused(std::uint32_t id, wire::PushRefusal reason) {
        std::lock_guard lock(mutex_);
        Buffer* buffer = pushedBuffer(id);
        if (buffer == nullptr) return false;
        buffer->refused = true;
        buffer->refusal = reason;
        buffer->state = State::Free;
        return true;
    }

    // Buffer `id` came back: whether its push had been refused, or nothing if no push of it was
    // outstanding. A camera may send a refused buffer back too, before it is pushed again.
    std::optional<bool> returned(std::uint32_t id) {
        std::lock_guard lock(mutex_);
        for (auto& buffer : buffers_) {
            if (buffer.id != id) continue;
            if (buffer.state == State::Pushed) {
                buffer.state = State::Free;
                return false;
            }
            if (buffer.refused) return true;
        }
        return std::nullopt;
    }

  private:
    void setState(std::size_t index, State from, State to) {
        std::lock_guard lock(mutex_);
        if (buffers_[index].state == from) buffers_[index].state = to;
    }

    Buffer* pushedBuffer(std::uint32_t id) {
        for (auto& buffer : buffers_) {
            if (buffer.id == id && buffer.state == State::Pushed) return &buffer;
        }
        return nullptr;
    }

    mutable std::mutex mutex_;
    std::vector<Buffer> buffers_;
    std::optional<std::size_t> kept_;
};

}  // namespace kova::client
