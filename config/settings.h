#pragma once
// Every general, DHCP, TFTP and multicast key of the section "Dorvane" with its default, read in
// the fixed order, and the writers that store them back (a value equal to its default deletes
// the key).

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/settings_blocks.h"
#include "config/config_store.h"

namespace tolmark {

// Option codes ended by a 0 byte; at most 63 codes.
struct OptionCodeList {
    std::array<std::uint8_t, 64> codes{};
    std::size_t size() const;
    bool operator==(const OptionCodeList&) const = default;
};
// 1, 2, 3, 4, 6, 42, 44, 46, 47, 12, 13, 15, 17, 66, 67
OptionCodeList builtInDefaultOptions();
// Decimal numbers separated by "," (or ";" or blanks); the lowest byte of each is stored;
// pieces that are not a number are skipped; at most 63 codes. An empty text leaves the list as
// it was.
void parseOptionCodeList(std::string_view text, OptionCodeList& list);
class ConfigStore;
// Reads the key's text (at most capacity - 1 characters) into the list as parseOptionCodeList
// does; a piece that is no option code (1 to 255) or a code past the 63rd is reported to the
// store's findings with the list the start reads.
void readOptionCodeList(const ConfigStore& store, std::string_view section, std::string_view key, std::size_t capacity,
                        OptionCodeList& list);

// The settings that the server holds in memory besides the blocks.
struct DhcpSettings {
    GeneralSettings general;
    OptionCodeList defaultOptions = builtInDefaultOptions();
    std::string directory;  // log directory, as stored (no separator added); at most 895 characters
};

// Reads the general and DHCP keys in their order, then "DefaultOptions", "MacRange" and
// "Directory" (default: dataDirectory). The interface selection mode is not touched here.
void readGeneralSettings(const ConfigStore& store, std::string_view section, std::string_view dataDirectory,
                         DhcpSettings& settings);
// Reads the TFTP and multicast keys in their order; "TFTPDirectory" defaults to dataDirectory.
void readTftpSettings(const ConfigStore& store, std::string_view section, std::string_view dataDirectory,
                      TftpSettings& tftp, MulticastSettings& multicast);

// "RunAsUser": the user the server changes to when started as root, keeping only the
// capabilities it needs; empty (the default) leaves it the user it was started as. Read at start,
// before anything else of the server runs; the pipe's clients read it to know the server's user.
std::string readRunAsUser(const ConfigStore& store, std::string_view section);
// "LeaseDatabase": a libpq connection string of the PostgreSQL database the dynamic leases are
// shared through with other servers; empty (the default): the client files alone.
std::string readLeaseDatabase(const ConfigStore& store, std::string_view section);

// The data directory the machine-wide registry names ("Directory"), programDirectory when it
// names none; with a final separator unless empty.
std::string dataDirectoryFromRegistry(const ConfigStore& registry, std::string_view section,
                                      const std::string& programDirectory);

// Write back as the control pipe does after a set request, each block as one rewrite of the
// file. False when the block could not be written (the file cannot be read or saved, or a text
// holds a line break); then none of its keys is, and the file stays as it was.
bool writeGeneralSettings(ConfigStore& store, std::string_view section, const GeneralSettings& general);
// The general block's changes, for a caller that writes more keys along with it in one rewrite.
void addGeneralSettings(KeyChanges& changes, std::string_view section, const GeneralSettings& general);
bool writeTftpSettings(ConfigStore& store, std::string_view section, const TftpSettings& tftp,
                       const MulticastSettings& multicast);

}  // namespace tolmark
