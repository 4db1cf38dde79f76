// A serial line's turn: while one process sends a request on an RS-485 line
// and reads its response, no other process that uses this family may send
// on that line, or their frames would collide and one would read the
// other's reply. The lock is an exclusive flock on the open serial port
// itself (the device node is the one name every process shares), held for
// one transaction.
#pragma once

#include <chrono>

namespace zelm::modbus {

class LineTurn {
public:
    // Takes the line through `fd`, the open serial port. Waits at most
    // `patience` for another process to finish its transaction, then throws
    // std::runtime_error naming `line`; throws std::system_error when flock
    // itself fails.
    LineTurn(int fd, char const* line, std::chrono::milliseconds patience);
    ~LineTurn();
    LineTurn(LineTurn const&) = delete;
    LineTurn& operator=(LineTurn const&) = delete;

private:
    int fd_;
};

}  // namespace zelm::modbus
