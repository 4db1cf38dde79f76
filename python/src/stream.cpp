#include "stream.hpp"

#include "bindings.hpp"
#include "owned_device.hpp"

#include <fmt/format.h>

#include <optional>
#include <stdexcept>
#include <utility>

namespace py = pybind11;

namespace zelm::python {

namespace {

// Chunks held between the device and Python before the device waits.
constexpr std::size_t queued_chunks = 64;

void stop(ChunkQueue& queue, std::unique_ptr<Device::DataStream> running) {
    if (!running) {
        return;
    }
    // Closing the queue first frees a callback that waits for room.
    queue.close();
    running->stop();
    running->wait_stop();
}

}  // namespace

Stream::Stream(std::shared_ptr<ChunkQueue> chunks, std::unique_ptr<Device::DataStream> running, std::string what)
    : queue(std::move(chunks)), handle(std::move(running)), name(std::move(what)) {}

Stream::~Stream() {
    auto closing = std::exchange(handle, nullptr);
    std::optional<py::gil_scoped_release> released;
    if (PyGILState_Check() != 0) {
        released.emplace();
    }
    try {
        stop(*queue, std::move(closing));
    } catch (...) {
        // A device that fails to stop, with nobody left to tell; its stream is
        // released all the same.
    }
}

py::bytes Stream::next() {
    ChunkQueue::Item item;
    {
        py::gil_scoped_release const released;
        item = queue->take();
    }
    if (auto* chunk = std::get_if<ChunkQueue::Chunk>(&item)) {
        return {reinterpret_cast<char const*>(chunk->data.data()), chunk->data.size()};
    }
    if (auto const& error = std::get<ChunkQueue::End>(item).error) {
        throw std::runtime_error(*error);
    }
    throw py::stop_iteration();
}

void Stream::close() {
    auto closing = std::exchange(handle, nullptr);
    py::gil_scoped_release const released;
    stop(*queue, std::move(closing));
}

std::string Stream::repr() const { return fmt::format("<zelm.Stream {}{}>", name, closed() ? " closed" : ""); }

std::unique_ptr<Stream> start_stream(OwnedDevice const& owned, unsigned int address, unsigned long size) {
    auto const operation = fmt::format("stream({:#x}, {})", address, size);
    auto device = owned.for_call(operation);
    auto queue = std::make_shared<ChunkQueue>(queued_chunks);
    std::unique_ptr<Device::DataStream> handle;
    {
        py::gil_scoped_release const released;
        auto const held = std::move(device);  // dropped without the GIL (see OwnedDevice::for_call)
        handle = held->start_read_stream(
            address, [queue](DataStream::Event&& event) { queue->put(std::move(event)); }, size);
    }
    if (!handle) {
        throw std::runtime_error(fmt::format("{} failed: the device started no stream", operation));
    }
    return std::make_unique<Stream>(std::move(queue), std::move(handle), operation);
}

void bind_stream(py::module_& module) {
    py::class_<Stream>(module, "Stream", R"(A running read stream of a device, made by Device.stream().

Iterating yields the stream's data as bytes, in order, and ends when the
stream stops; a stream that fails raises zelm.Error with the device's message.
The device waits while chunks are waiting for Python to take them. close(), or
leaving the `with` block (also by break or an exception), stops the stream
and waits until the device has left it.)")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &Stream::next)
        .def("close", &Stream::close,
             "Stops the stream and waits for it; iteration then ends. Closing a closed stream does nothing.")
        .def_property_readonly("closed", &Stream::closed, "True once the stream is closed.")
        .def("__enter__", [](py::object self) { return self; })
        .def(
            "__exit__", [](Stream& stream, py::args const&) { stream.close(); },
            "Closes the stream (see close()); exceptions pass on.")
        .def("__repr__", &Stream::repr);
}

}  // namespace zelm::python
