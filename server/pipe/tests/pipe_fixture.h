#pragma once
// A whole control pipe context over a temporary data directory (INI file in data/, log files in
// logs/), with the server's hooks recorded. Shared by the unit tests and the fuzz target.

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "common/pipe_protocol.h"
#include "config/tests/temp_directory.h"
#include "server/pipe/pipe_context.h"
#include "server/pipe/request_handler.h"
#include "tests/support/fakes.h"

namespace tolmark::testing {

class PipeFixture {
public:
    explicit PipeFixture(int logLevel = 1);

    // One request through the handler for the session.
    PipeMessage send(PipeSession& session, PipeCode code, std::int32_t value,
                     std::span<const std::uint8_t> payload = {});
    PipeMessage sendRaw(PipeSession& session, std::span<const std::uint8_t> bytes);

    // Profiles written to the INI file and loaded, as the server has them after a reload.
    void writeProfile(const std::string& name, const std::string& baseIp, int range);
    void loadProfiles();

    std::string iniText() const;

    TempDirectory root;
    std::string dataDirectory;
    std::string logDirectory;
    CapturingLog log;
    SettingsHolder settings;
    ConfigStore store;
    EngineState engine;
    // The tests read and set the table and the profiles directly: they run on one thread.
    ClientTable& clients;
    ProfileList& profiles;
    InterfaceTable interfaces;
    StatusCounters counters;
    std::atomic<int> serverStopping{0};
    std::atomic<int> statusChanged{0};
    std::atomic<int> reloadRequest{0};
    std::atomic<int> paused{0};
    FakeClock clock;
    dhcp::DnsUpdateQueue dnsQueue;

    int flushes = 0;
    int nameLookups = 0;
    std::vector<bool> tftpRestarts;  // stopFirst of each restart

    PipeContext context;

private:
    int profileCount_ = 0;
};

// Little-endian helpers for building request payloads.
void putU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value);
void putU64(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint64_t value);
void putText(std::vector<std::uint8_t>& bytes, std::size_t offset, const std::string& text);
std::uint64_t u64At(const PipeMessage& message, std::size_t offset);

}  // namespace tolmark::testing
