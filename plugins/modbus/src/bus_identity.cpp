#include "bus_identity.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

namespace zelm::modbus {
namespace {

struct AddressesFree {
    void operator()(addrinfo* addresses) const noexcept { freeaddrinfo(addresses); }
};

// An address as a sortable value; an IPv4-mapped IPv6 address counts as the
// IPv4 address it carries, so that "[::ffff:10.0.0.5]" and "10.0.0.5" are one.
struct Address {
    bool v6 = false;
    std::array<unsigned char, 16> bytes{};
    std::uint32_t scope = 0;

    auto operator<=>(Address const&) const = default;
};

Address address_of(sockaddr const* socket_address) {
    Address address;
    if (socket_address->sa_family == AF_INET) {
        auto const* v4 = reinterpret_cast<sockaddr_in const*>(socket_address);
        std::memcpy(address.bytes.data(), &v4->sin_addr, 4);
        return address;
    }
    auto const* v6 = reinterpret_cast<sockaddr_in6 const*>(socket_address);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
        std::memcpy(address.bytes.data(), v6->sin6_addr.s6_addr + 12, 4);
        return address;
    }
    address.v6 = true;
    std::memcpy(address.bytes.data(), v6->sin6_addr.s6_addr, 16);
    address.scope = v6->sin6_scope_id;
    return address;
}

// Numeric text: "10.0.0.5", "fe80::1%eth0".
std::string text_of(Address const& address) {
    std::array<char, NI_MAXHOST> text{};
    if (!address.v6) {
        ::inet_ntop(AF_INET, address.bytes.data(), text.data(), text.size());
        return text.data();
    }
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    std::memcpy(v6.sin6_addr.s6_addr, address.bytes.data(), 16);
    v6.sin6_scope_id = address.scope;
    ::getnameinfo(reinterpret_cast<sockaddr const*>(&v6), sizeof v6, text.data(), text.size(), nullptr, 0,
                  NI_NUMERICHOST);
    return text.data();
}

// The host's lowest address, IPv4 before IPv6: the same choice on every host
// and for every order the resolver gives the addresses in.
Address resolve(BusConfig const& bus) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (int const status = ::getaddrinfo(bus.host.c_str(), bus.service.c_str(), &hints, &found); status != 0) {
        auto const why = status == EAI_SYSTEM ? std::generic_category().message(errno) : ::gai_strerror(status);
        throw ResolveError(fmt::format("modbus: cannot resolve the host of {}: {}", bus.name(), why));
    }
    std::unique_ptr<addrinfo, AddressesFree> const addresses(found);
    std::optional<Address> lowest;
    for (auto const* at = addresses.get(); at != nullptr; at = at->ai_next) {
        if (at->ai_family == AF_INET || at->ai_family == AF_INET6) {
            auto const address = address_of(at->ai_addr);
            lowest = lowest ? std::min(*lowest, address) : address;
        }
    }
    if (!lowest) {
        throw ResolveError(fmt::format("modbus: cannot resolve the host of {}: it has no IP address", bus.name()));
    }
    return *lowest;
}

}  // namespace

std::string line_name(std::filesystem::path const& port, std::filesystem::path const& stable_links) {
    std::error_code error;
    auto const node = std::filesystem::canonical(port, error);
    if (error) {
        return port.lexically_normal().native();
    }
    std::optional<std::filesystem::path> stable;
    std::filesystem::directory_iterator link(stable_links, error);
    for (; !error && link != std::filesystem::directory_iterator(); link.increment(error)) {
        std::error_code link_error;
        if (std::filesystem::canonical(link->path(), link_error) == node && !link_error &&
            (!stable || link->path() < *stable)) {
            stable = link->path();
        }
    }
    return stable.value_or(node).native();
}

BusIdentity identify(BusConfig const& bus) {
    if (bus.transport == Transport::rtu) {
        auto line = line_name(bus.port);
        return {"rtu:" + line, line};
    }
    auto const address = resolve(bus);
    auto text = text_of(address);
    auto name = address.v6 ? fmt::format("tcp:[{}]:{}", text, bus.service) : fmt::format("tcp:{}:{}", text, bus.service);
    return {std::move(name), std::move(text)};
}

bool may_be_named(BusConfig const& bus, std::string_view name) {
    if (bus.transport == Transport::rtu) {
        return name.starts_with("rtu:");
    }
    return name.starts_with("tcp:") && name.ends_with(":" + bus.service);
}

}  // namespace zelm::modbus
