// The hand-over between a stream's callback, on the device's thread, and the
// Python iterator: a bounded queue of chunks that ends with the stream's end.
// The callback never touches Python; the iterator waits without the GIL.
#pragma once

#include <zelm/device.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zelm::python {

class ChunkQueue {
public:
    struct Chunk {
        std::vector<unsigned char> data;
    };
    // The stream ended: Stop, or Error with its message. Also what take()
    // answers once the queue is closed and empty.
    struct End {
        std::optional<std::string> error;
    };
    using Item = std::variant<Chunk, End>;

    explicit ChunkQueue(std::size_t most) : capacity(most) {}

    // Called by the stream: queues a chunk, waiting while the queue is full
    // and until it is closed (the chunk is then dropped), or records the end.
    void put(DataStream::Event&& event);
    // The next chunk, or the end once every chunk before it was taken; waits
    // until there is one, for `timeout` at most (then none).
    std::optional<Item> take_for(std::chrono::milliseconds timeout);
    // Ends the queue for both sides: put() stops waiting and drops chunks,
    // take() answers an end without error from now on.
    void close();

private:
    void put_chunk(std::vector<unsigned char>&& data);
    void put_end(End&& end);

    std::size_t const capacity;
    std::mutex mutex;
    std::condition_variable taken;
    std::condition_variable added;
    std::deque<std::vector<unsigned char>> chunks;
    std::optional<End> end;
    bool closed = false;
};

}  // namespace zelm::python
