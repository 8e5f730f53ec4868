#pragma once
// The rules by which the Preferences read their fields back: numbers that cannot be read fall
// back to fixed values, flags that keep a value the server already had, bits set one by one,
// and the three states of an interface row. Pure functions, tested without a dialog.

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

#include "base/ipv4.h"
#include "common/settings_blocks.h"

namespace tolmark::manager {

std::int32_t tftpPortFromField(const QString& text);        // 69 unless 1..65535
std::int32_t dataPortFromField(const QString& text);        // 0 unless 1..65535
std::int32_t tftpClientsFromField(const QString& text);     // 10 when empty, unreadable or 0
Ipv4 multicastAddressFromField(const QString& text);        // 224.0.0.1 unless four numbers below 256
std::uint16_t multicastPortFromField(const QString& text);  // 1758 when empty, unreadable or 0
std::int32_t multicastTtlFromField(const QString& text);    // 1 unless 1..255

// "Bootp" and "EnableID": 0 when unchecked; checked keeps a non-zero value, else 1.
std::int32_t keptFlag(bool checked, std::int32_t current);
std::int32_t withBit(std::int32_t value, std::int32_t bit, bool on);
// "Log" from "Write log file" and "log all details". The server logs nothing at 0 or below and
// takes every value above 2 as 2, so a value written by hand that the boxes still describe stays.
std::int32_t logLevelFor(bool write, bool details, std::int32_t current);

// The block to send: the server's block as it is now, with the fields the administrator changed
// (edited differs from the block as read when the sheet opened or last sent) taken from the
// edited copy. Whatever else may have changed since the sheet opened, by another manager, trisko
// or the main window, is sent as the server holds it, not overwritten with what the sheet read.
GeneralSettings generalToSend(const GeneralSettings& edited, const GeneralSettings& read,
                              const GeneralSettings& current);
TftpSettings tftpToSend(const TftpSettings& edited, const TftpSettings& read, const TftpSettings& current);
// The interface table as the server holds it now, with the served and trusted bits that the page
// changed from the table it read. The server sets the bits of every entry with an address it is
// sent, so the entries are matched by address.
ServerStatus interfacesToSend(const ServerStatus& edited, const ServerStatus& read, const ServerStatus& current);
// True when some entry is present on the host and served: the server answers on at least one
// interface.
bool servesAnInterface(const ServerStatus& status);
MulticastSettings multicastToSend(const MulticastSettings& edited, const MulticastSettings& read,
                                  const MulticastSettings& current);

// The three states of an interface row and the click that cycles them.
enum class InterfaceState { Off = 0, Selected = 1, Trusted = 2 };
InterfaceState interfaceStateOf(std::int32_t flags, bool enableRa);
// The last selected row stays selected: it never leaves the selected states.
InterfaceState nextInterfaceState(InterfaceState state, bool enableRa, bool lastSelected);
std::int32_t interfaceFlagsFor(std::int32_t flags, InterfaceState state, bool enableRa);

// The data directory field against the program's directory: nothing (delete "Directory") when
// they name the same directory, else the field's text.
std::optional<std::string> directoryValue(const QString& field, const std::string& programDirectory);

}  // namespace tolmark::manager
