// A device manager and device living inside the fuzz target, so that the
// scan and the query cache can be driven with any text a plug-in could return
// without loading one.
#pragma once

#include <zelm/device_manager.hpp>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace zelm::fuzz {

// What a device's get_info or get_status does: return a text or an error
// text, or throw std::runtime_error with the text.
struct Answer {
    enum class Kind { text, error, thrown };
    Kind kind = Kind::text;
    std::string text;

    TextResult give() const {
        switch (kind) {
        case Kind::error:
            return std::unexpected(text);
        case Kind::thrown:
            throw std::runtime_error(text);
        case Kind::text:
            break;
        }
        return text;
    }
};

class FakeDevice final : public Device {
public:
    FakeDevice(Answer info, Answer status) : info_(std::move(info)), status_(std::move(status)) {}

    int set_register(unsigned int, unsigned int, unsigned int) override { return 0; }
    int send_registers() override { return 0; }
    unsigned int get_register(unsigned int) override { return 0; }
    int read_registers() override { return 0; }
    int trigger(unsigned int, int) override { return 0; }
    int write(unsigned int, unsigned long, unsigned char const*) override { return 0; }
    int read(unsigned int, unsigned long, unsigned char*) override { return 0; }
    std::unique_ptr<DataStream> start_read_stream(unsigned int, ::zelm::DataStream::Callback&&,
                                                  unsigned long) override {
        return {};
    }
    TextResult get_status() override { return status_.give(); }
    TextResult get_info() override { return info_.give(); }

private:
    Answer info_;
    Answer status_;
};

// Lists `list` and opens devices that give `info` and `status`, counting the
// opens.
class FakeManager final : public DeviceManager {
public:
    explicit FakeManager(std::filesystem::path path) : path_(std::move(path)) {}

    std::string get_name() override { return "fuzz"; }
    std::filesystem::path get_path() override { return path_; }
    std::string list_devices() override { return list; }
    std::string get_version() override { return "0"; }
    std::unique_ptr<Device> open_device(std::string const&) override {
        ++opens;
        return std::make_unique<FakeDevice>(info, status);
    }

    std::string list;
    Answer info{Answer::Kind::text, R"({"Serial Number":"fake"})"};
    Answer status{Answer::Kind::text, R"({"API":"fake"})"};
    int opens = 0;

private:
    std::filesystem::path path_;
};

}  // namespace zelm::fuzz
