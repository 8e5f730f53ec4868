#include "server/pipe/tests/pipe_fixture.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace tolmark::testing {

PipeFixture::PipeFixture(int logLevel)
    : dataDirectory(root.file("data/")),
      logDirectory(root.file("logs/")),
      log(logLevel),
      store(root.file("data/registry.ini")),
      engine(log),
      clients(engine.clients),
      profiles(engine.profiles),
      context{.log = log,
              .clients = {.engine = engine, .counters = counters, .dnsQueue = &dnsQueue, .clock = &clock},
              .profiles = {.engine = engine,
                           .store = store,
                           .settings = settings,
                           .interfaces = interfaces,
                           .log = log,
                           .counters = counters,
                           .dnsQueue = &dnsQueue,
                           .clock = &clock},
              .settings = {.settings = settings,
                           .store = store,
                           .interfaces = interfaces,
                           .engine = engine,
                           .counters = counters,
                           .serverStopping = serverStopping,
                           .statusChanged = statusChanged,
                           .reloadRequest = reloadRequest,
                           .paused = paused},
              .files = {}} {
    ::mkdir(dataDirectory.c_str(), 0755);
    ::mkdir(logDirectory.c_str(), 0755);
    store.setIniPath(dataDirectory, kGeneralSection);
    context.files.logDirectory = [this] { return logDirectory; };
    context.files.flushLog = [this] { ++flushes; };
    context.settings.restartTftp = [this](bool stopFirst) { tftpRestarts.push_back(stopFirst); };
    context.settings.startNameLookup = [this] { ++nameLookups; };
    context.profiles.startNameLookup = [this] { ++nameLookups; };
}

PipeMessage PipeFixture::send(PipeSession& session, PipeCode code, std::int32_t value,
                              std::span<const std::uint8_t> payload) {
    const auto request = PipeMessage::make(toWire(code), value, payload);
    return handleRequest(context, session, request->view());
}

PipeMessage PipeFixture::sendRaw(PipeSession& session, std::span<const std::uint8_t> bytes) {
    return handleRequest(context, session, bytes);
}

void PipeFixture::writeProfile(const std::string& name, const std::string& baseIp, int range) {
    char key[24];
    std::snprintf(key, sizeof key, "Profile%d", profileCount_++);
    store.writeText(kGeneralSection, key, std::string_view(name));
    store.writeText(name, "BaseIP", std::string_view(baseIp));
    store.writeInt(name, "Range", range, 0);
}

void PipeFixture::loadProfiles() { profiles.load(store, builtInDefaultOptions(), interfaces, log, false); }

std::string PipeFixture::iniText() const { return readFile(store.iniPath()); }

void putU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
    if (bytes.size() < offset + 4) bytes.resize(offset + 4);
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void putU64(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint64_t value) {
    putU32(bytes, offset, static_cast<std::uint32_t>(value));
    putU32(bytes, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

void putText(std::vector<std::uint8_t>& bytes, std::size_t offset, const std::string& text) {
    if (bytes.size() < offset + text.size()) bytes.resize(offset + text.size());
    std::memcpy(bytes.data() + offset, text.data(), text.size());
}

std::uint64_t u64At(const PipeMessage& message, std::size_t offset) { return ByteReader(message.view()).u64le(offset); }

}  // namespace tolmark::testing
