#include "rtu_reply.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <optional>

namespace zelm::modbus {
namespace {

constexpr std::size_t crc_length = 2;
constexpr std::uint8_t exception_flag = 0x80;
constexpr std::size_t exception_body = 1;  // the exception code
// After address and function: MEI type, read device id code, conformity
// level, more follows, next object id, number of objects.
constexpr std::size_t fixed_part = 6;
constexpr std::size_t object_count_at = 2 + fixed_part - 1;

class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(Descriptor const&) = delete;
    Descriptor& operator=(Descriptor const&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// Reads exactly `wanted` more bytes, waiting up to `first_wait` for the
// first and `byte_timeout` for each next one.
bool read_bytes(int fd, std::span<std::uint8_t> into, std::chrono::milliseconds first_wait,
                std::chrono::milliseconds byte_timeout) {
    auto wait = first_wait;
    for (std::size_t have = 0; have < into.size();) {
        pollfd ready{.fd = fd, .events = POLLIN, .revents = 0};
        int const polled = ::poll(&ready, 1, static_cast<int>(wait.count()));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            errno = polled == 0 ? ETIMEDOUT : errno;
            return false;
        }
        auto const got = ::read(fd, into.data() + have, into.size() - have);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            errno = got == 0 ? EIO : errno;
            return false;
        }
        have += static_cast<std::size_t>(got);
        wait = byte_timeout;
    }
    return true;
}

struct ContextFree {
    void operator()(modbus_t* context) const noexcept { modbus_free(context); }  // its socket is not its own
};

// libmodbus adds the CRC to every request it sends; sending the frame's
// body through a scratch context into a pipe yields the CRC that the body
// should carry, without a CRC routine of our own.
bool crc_matches(std::span<std::uint8_t const> frame) {
    std::array<int, 2> pipe_ends{};
    if (::pipe2(pipe_ends.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    Descriptor const read_end(pipe_ends[0]);
    Descriptor const write_end(pipe_ends[1]);
    std::unique_ptr<modbus_t, ContextFree> const scratch(modbus_new_rtu("/dev/null", 9600, 'N', 8, 1));
    if (!scratch || modbus_set_socket(scratch.get(), write_end.get()) != 0) {
        return false;
    }
    auto const body = frame.first(frame.size() - crc_length);
    if (modbus_send_raw_request(scratch.get(), body.data(), static_cast<int>(body.size())) !=
        static_cast<int>(frame.size())) {
        return false;
    }
    std::array<std::uint8_t, MODBUS_MAX_ADU_LENGTH> sent{};
    if (::read(read_end.get(), sent.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
        return false;
    }
    return std::equal(frame.end() - crc_length, frame.end(), sent.begin() + static_cast<long>(body.size()));
}

// Where the frame ends, from what has arrived so far: the next length to
// have, or nothing once the frame (CRC included) is whole.
std::optional<std::size_t> next_length(std::span<std::uint8_t const> have) {
    if (have.size() < 2) {
        return 2;
    }
    if ((have[1] & exception_flag) != 0) {
        auto const whole = 2 + exception_body + crc_length;
        return have.size() < whole ? std::optional(whole) : std::nullopt;
    }
    auto end_of_objects = 2 + fixed_part;
    if (have.size() < end_of_objects) {
        return end_of_objects;
    }
    for (std::size_t object = 0; object < have[object_count_at]; ++object) {
        if (have.size() < end_of_objects + 2) {
            return end_of_objects + 2;
        }
        end_of_objects += 2 + have[end_of_objects + 1];
    }
    auto const whole = end_of_objects + crc_length;
    return have.size() < whole ? std::optional(whole) : std::nullopt;
}

}  // namespace

int receive_identification_reply(modbus_t* context, std::span<std::uint8_t> frame,
                                 std::chrono::milliseconds response_timeout, std::chrono::milliseconds byte_timeout) {
    int const fd = modbus_get_socket(context);
    std::size_t have = 0;
    auto wait = response_timeout;
    while (auto const wanted = next_length(frame.first(have))) {
        if (*wanted > frame.size()) {
            errno = EMBBADDATA;
            return -1;
        }
        if (!read_bytes(fd, frame.subspan(have, *wanted - have), wait, byte_timeout)) {
            return -1;
        }
        have = *wanted;
        wait = byte_timeout;
    }
    if (!crc_matches(frame.first(have))) {
        errno = EMBBADCRC;
        return -1;
    }
    return static_cast<int>(have);
}

}  // namespace zelm::modbus
