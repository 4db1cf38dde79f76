#include "chunk_queue.hpp"

#include <utility>

namespace zelm::python {

namespace Events = DataStream::Events;

void ChunkQueue::put(DataStream::Event&& event) {
    std::visit(
        [this](auto&& received) {
            using Received = std::decay_t<decltype(received)>;
            if constexpr (std::is_same_v<Received, Events::OwnedData>) {
                put_chunk(std::move(received.data));
            } else if constexpr (std::is_same_v<Received, Events::DataView>) {
                put_chunk({received.data.begin(), received.data.end()});
            } else if constexpr (std::is_same_v<Received, Events::Error>) {
                put_end({std::move(received.message)});
            } else {
                put_end({});
            }
        },
        std::move(event));
}

void ChunkQueue::put_chunk(std::vector<unsigned char>&& data) {
    std::unique_lock lock(mutex);
    taken.wait(lock, [this] { return closed || chunks.size() < capacity; });
    if (closed) {
        return;
    }
    chunks.push_back(std::move(data));
    added.notify_one();
}

void ChunkQueue::put_end(End&& received) {
    std::lock_guard const lock(mutex);
    if (!end) {
        end = std::move(received);
    }
    added.notify_all();
}

std::optional<ChunkQueue::Item> ChunkQueue::take_for(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    if (!added.wait_for(lock, timeout, [this] { return !chunks.empty() || end || closed; })) {
        return std::nullopt;
    }
    if (closed) {
        return End{};
    }
    if (!chunks.empty()) {
        auto data = std::move(chunks.front());
        chunks.pop_front();
        taken.notify_one();
        return Chunk{std::move(data)};
    }
    return end.value_or(End{});
}

void ChunkQueue::close() {
    std::lock_guard const lock(mutex);
    closed = true;
    chunks.clear();
    taken.notify_all();
    added.notify_all();
}

}  // namespace zelm::python
