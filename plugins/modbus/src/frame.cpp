#include "frame.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>

namespace zelm::modbus {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t crc_length = 2;
// Transaction id, protocol id, length (of what follows), unit id.
constexpr std::size_t tcp_header = 7;
constexpr std::size_t tcp_length_at = 4;
constexpr std::size_t tcp_unit_at = 6;
constexpr std::size_t max_tcp_pdu = MODBUS_MAX_PDU_LENGTH;

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

// Waits until `fd` has `events`; 0 when it has, else the error number
// (ETIMEDOUT when `wait` ran out).
int wait_for(int fd, short events, milliseconds wait) {
    auto const until = Clock::now() + wait;
    for (;;) {
        auto const left = std::chrono::ceil<milliseconds>(until - Clock::now());
        pollfd ready{.fd = fd, .events = events, .revents = 0};
        int const polled = ::poll(&ready, 1, static_cast<int>(std::max(left, milliseconds(0)).count()));
        if (polled > 0) {
            return 0;
        }
        if (polled == 0) {
            return ETIMEDOUT;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
}

struct Read {
    std::size_t count = 0;  // bytes read
    int error = 0;          // why fewer than asked for
};

// Reads `into` whole, waiting up to `first` for its first byte and `next`
// from each byte to the next.
Read read_bytes(int fd, std::span<std::uint8_t> into, milliseconds first, milliseconds next) {
    Read read;
    while (read.count < into.size()) {
        if (int const error = wait_for(fd, POLLIN, read.count == 0 ? first : next); error != 0) {
            read.error = error;
            return read;
        }
        auto const got = ::read(fd, into.data() + read.count, into.size() - read.count);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            read.error = got == 0 ? ECONNRESET : errno;
            return read;
        }
        read.count += static_cast<std::size_t>(got);
    }
    return read;
}

// Nothing at all in time is no answer; a frame that stopped is a garbled one.
int unfinished(Read const& read, std::size_t before) {
    return read.error == ETIMEDOUT && (before + read.count) > 0 ? EMBBADDATA : read.error;
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

// How long the serial frame (unit id, PDU, CRC) that begins with `have` is,
// as far as `have` tells; 0 when it cannot tell.
std::size_t rtu_frame_length(std::span<std::uint8_t const> have) {
    if (have.empty()) {
        return 2;  // unit id and function code
    }
    auto const pdu = reply_length(have.subspan(1));
    return pdu == 0 ? 0 : 1 + pdu + crc_length;
}

}  // namespace

int send_tcp_request(int socket, std::uint16_t transaction, int unit, std::span<std::uint8_t const> pdu,
                     milliseconds patience) {
    Pdu frame{static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction & 0xff), 0, 0,
              static_cast<std::uint8_t>((pdu.size() + 1) >> 8), static_cast<std::uint8_t>((pdu.size() + 1) & 0xff),
              static_cast<std::uint8_t>(unit)};
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    for (std::size_t sent = 0; sent < frame.size();) {
        auto const done = ::send(socket, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (done >= 0) {
            sent += static_cast<std::size_t>(done);
        } else if (errno == EAGAIN) {
            if (int const error = wait_for(socket, POLLOUT, patience); error != 0) {
                return error;
            }
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

Reply receive_tcp_reply(int socket, std::uint16_t transaction, int unit, ReplyWait wait) {
    auto const until = Clock::now() + wait.first_byte;
    for (;;) {
        std::array<std::uint8_t, tcp_header> header{};
        auto const left = std::chrono::ceil<milliseconds>(until - Clock::now());
        auto const head = read_bytes(socket, header, std::max(left, milliseconds(0)), wait.next_byte);
        if (head.count < header.size()) {
            return std::unexpected(unfinished(head, 0));
        }
        auto const length = static_cast<std::size_t>((header[tcp_length_at] << 8) | header[tcp_length_at + 1]);
        if (header[2] != 0 || header[3] != 0 || length < 2 || length - 1 > max_tcp_pdu) {
            return std::unexpected(EMBBADDATA);
        }
        Pdu pdu(length - 1);
        auto const body = read_bytes(socket, pdu, wait.next_byte, wait.next_byte);
        if (body.count < pdu.size()) {
            return std::unexpected(unfinished(body, header.size()));
        }
        if (((header[0] << 8) | header[1]) != transaction) {
            if (Clock::now() >= until) {
                return std::unexpected(ETIMEDOUT);  // a stream of stale replies is no answer either
            }
            continue;
        }
        if (header[tcp_unit_at] != unit) {
            return std::unexpected(EMBBADSLAVE);
        }
        return pdu;
    }
}

int send_rtu_request(modbus_t* context, int unit, std::span<std::uint8_t const> pdu) {
    Pdu frame{static_cast<std::uint8_t>(unit)};
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return modbus_send_raw_request(context, frame.data(), static_cast<int>(frame.size())) < 0 ? errno : 0;
}

Reply receive_rtu_reply(int fd, int unit, ReplyWait wait) {
    std::array<std::uint8_t, MODBUS_RTU_MAX_ADU_LENGTH> frame{};
    std::size_t have = 0;
    for (;;) {
        auto const wanted = rtu_frame_length(std::span(frame).first(have));
        if (wanted == have) {
            break;
        }
        if (wanted < have || wanted > frame.size()) {
            return std::unexpected(EMBBADDATA);
        }
        auto const got = read_bytes(fd, std::span(frame).subspan(have, wanted - have),
                                    have == 0 ? wait.first_byte : wait.next_byte, wait.next_byte);
        if (got.count < wanted - have) {
            return std::unexpected(unfinished(got, have));
        }
        have = wanted;
    }
    if (!crc_matches(std::span(frame).first(have))) {
        return std::unexpected(EMBBADCRC);
    }
    if (frame[0] != unit) {
        return std::unexpected(EMBBADSLAVE);
    }
    return Pdu(frame.begin() + 1, frame.begin() + static_cast<long>(have - crc_length));
}

bool drain_until_quiet(int fd, milliseconds quiet, milliseconds limit) {
    auto const give_up = Clock::now() + limit;
    std::array<std::uint8_t, MODBUS_RTU_MAX_ADU_LENGTH> scrap{};
    for (;;) {
        int const error = wait_for(fd, POLLIN, quiet);
        if (error == ETIMEDOUT) {
            return true;
        }
        if (error != 0) {
            return false;
        }
        auto const got = ::read(fd, scrap.data(), scrap.size());
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            return false;
        }
        if (Clock::now() >= give_up) {
            return false;
        }
    }
}

}  // namespace zelm::modbus
