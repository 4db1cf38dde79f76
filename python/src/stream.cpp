#include "stream.hpp"

#include "bindings.hpp"
#include "context_manager.hpp"
#include "gil.hpp"
#include "owned_device.hpp"

#include <fmt/format.h>

#include <stdexcept>
#include <utility>

namespace py = pybind11;

namespace zelm::python {

namespace {

// Chunks held between the device and Python before the device waits.
constexpr std::size_t queued_chunks = 64;

}  // namespace

RunningStream::RunningStream(std::shared_ptr<ChunkQueue> chunks, std::unique_ptr<Device::DataStream> running)
    : queue_(std::move(chunks)), handle(std::move(running)) {}

RunningStream::~RunningStream() {
    try {
        stop();
    } catch (...) {
        // A device that fails to stop, with nobody left to tell; its stream is
        // released all the same.
    }
}

void RunningStream::stop() {
    std::unique_ptr<Device::DataStream> stopping;
    {
        std::unique_lock lock(mutex);
        if (state != State::running) {
            if (stopper != std::this_thread::get_id()) {
                done.wait(lock, [this] { return state == State::stopped; });
            }
            return;
        }
        state = State::stopping;
        stopper = std::this_thread::get_id();
        stopping = std::move(handle);
    }
    struct Stopped {
        RunningStream& stream;
        ~Stopped() {
            std::lock_guard const lock(stream.mutex);
            stream.state = State::stopped;
            stream.done.notify_all();
        }
    } const stopped{*this};
    // Closing the queue first frees a callback that waits for room.
    queue_->close();
    stopping->stop();
    stopping->wait_stop();
    stopping.reset();  // the device's thread is gone before anyone is told
}

bool RunningStream::stopped() const {
    std::lock_guard const lock(mutex);
    return state != State::running;
}

Stream::Stream(std::shared_ptr<RunningStream> started, std::string what)
    : running(std::move(started)), name(std::move(what)) {}

Stream::~Stream() {
    try {
        if (PyGILState_Check() != 0) {
            without_gil([this] { running->stop(); });
        } else {
            running->stop();
        }
    } catch (...) {
        // As ~RunningStream.
    }
}

py::bytes Stream::next() {
    ChunkQueue::Item item;
    wait_interruptibly([&](std::chrono::milliseconds timeout) {
        auto taken = running->queue().take_for(timeout);
        if (taken) {
            item = std::move(*taken);
        }
        return taken.has_value();
    });
    if (auto* chunk = std::get_if<ChunkQueue::Chunk>(&item)) {
        return {reinterpret_cast<char const*>(chunk->data.data()), chunk->data.size()};
    }
    if (auto const& error = std::get<ChunkQueue::End>(item).error) {
        throw std::runtime_error(*error);
    }
    throw py::stop_iteration();
}

void Stream::close() {
    without_gil([this] { running->stop(); });
}

std::string Stream::repr() const { return fmt::format("<zelm.Stream {}{}>", name, closed() ? " closed" : ""); }

std::unique_ptr<Stream> start_stream(OwnedDevice& owned, unsigned int address, unsigned long size) {
    auto operation = fmt::format("stream({:#x}, {})", address, size);
    auto device = owned.for_call(operation);
    auto queue = std::make_shared<ChunkQueue>(queued_chunks);
    auto running = without_gil([&] {
        auto const held = std::move(device);  // dropped without the GIL (see OwnedDevice::for_call)
        auto handle = held->start_read_stream(
            address, [queue](DataStream::Event&& event) { queue->put(std::move(event)); }, size);
        if (!handle) {
            throw std::runtime_error(fmt::format("{} failed: the device started no stream", operation));
        }
        auto started = std::make_shared<RunningStream>(queue, std::move(handle));
        // Another thread may have closed the device meanwhile; `held` still
        // keeps its ownership until this stream is stopped.
        if (!owned.adopt(started)) {
            started->stop();
            throw std::runtime_error(fmt::format("{} on a closed device", operation));
        }
        return started;
    });
    return std::make_unique<Stream>(std::move(running), std::move(operation));
}

void bind_stream(py::module_& module) {
    py::class_<Stream> stream(module, "Stream", R"(A running read stream of a device, made by Device.stream().

Iterating yields the stream's data as bytes, in order, and ends when the
stream stops; a stream that fails raises zelm.Error with the device's message.
The device waits while chunks are waiting for Python to take them. close(), or
leaving the `with` block (also by break or an exception), stops the stream
and waits until the device has left it.)");
    stream.def("__iter__", [](Stream& self) -> Stream& { return self; }, py::return_value_policy::reference)
        .def("__next__", &Stream::next)
        .def("close", &Stream::close,
             "Stops the stream and waits for it; iteration then ends. Closing a closed stream does nothing.")
        .def_property_readonly("closed", &Stream::closed, "True once the stream is closed.")
        .def("__repr__", &Stream::repr);
    bind_closing_context(stream, "Closes the stream (see close()); exceptions pass on.");
}

}  // namespace zelm::python
