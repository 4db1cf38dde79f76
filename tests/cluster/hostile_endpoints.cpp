#include "hostile_endpoints.hpp"

#include "etcd_peers.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <string_view>
#include <system_error>

namespace zelm::cluster_test {
namespace {

std::string loopback_url(int port) { return fmt::format("http://127.0.0.1:{}", port); }

// Sends all of `bytes`; false once the peer has gone.
bool send_all(int socket, std::string_view bytes) {
    while (!bytes.empty()) {
        auto const sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// Reads one request: its head and as many body bytes as Content-Length says.
void read_request(int socket) {
    std::string request;
    char buffer[4096];
    std::size_t wanted = std::string::npos;
    while (request.size() < wanted) {
        auto const got = ::recv(socket, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return;
        }
        request.append(buffer, static_cast<std::size_t>(got));
        auto const head_end = request.find("\r\n\r\n");
        if (head_end != std::string::npos && wanted == std::string::npos) {
            auto const field = request.find("Content-Length: ");
            auto const length = field == std::string::npos ? 0 : std::stoul(request.substr(field + 16));
            wanted = head_end + 4 + length;
        }
    }
}

}  // namespace

SilentEndpoint::SilentEndpoint() : fd_(loopback_socket(port_, true)) {}

SilentEndpoint::~SilentEndpoint() { ::close(fd_); }

std::string SilentEndpoint::url() const { return loopback_url(port_); }

ScriptedEndpoint::ScriptedEndpoint(Reply reply)
    : reply_(std::move(reply)), fd_(loopback_socket(port_, true)), server_([this] { serve(); }) {}

ScriptedEndpoint::~ScriptedEndpoint() {
    stopping_ = true;
    ::shutdown(fd_, SHUT_RDWR);  // wakes the accept
    server_.join();
    ::close(fd_);
}

std::string ScriptedEndpoint::url() const { return loopback_url(port_); }

void ScriptedEndpoint::serve() {
    while (!stopping_) {
        int const connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;  // shut down
        }
        read_request(connection);
        reply_(connection, stopping_);
        ::close(connection);
    }
}

ScriptedEndpoint::Reply json_reply(std::string json) {
    return [json = std::move(json)](int socket, std::atomic<bool> const&) {
        send_all(socket, fmt::format("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: {}\r\n"
                                     "Connection: close\r\n\r\n{}",
                                     json.size(), json));
    };
}

ScriptedEndpoint::Reply endless_reply() {
    return [](int socket, std::atomic<bool> const& stopping) {
        if (!send_all(socket, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n[")) {
            return;
        }
        std::string const blanks(64 * 1024, ' ');
        while (!stopping && send_all(socket, blanks)) {
        }
    };
}

}  // namespace zelm::cluster_test
