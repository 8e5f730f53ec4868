#include "tool/trisko.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/error_text.h"
#include "common/client_record.h"
#include "common/entry_line.h"
#include "common/pipe_requests.h"
#include "common/server_stats.h"
#include "common/settings_blocks.h"
#include "common/text_forms.h"
#include "common/transfer_image.h"

namespace tolmark::tool {
namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  trisko [server] add    <mac/id> <ip-address> [<profile>]\n"
    "  trisko [server] remove <mac/id> [<profile>]\n"
    "  trisko [server] remove_all\n"
    "  trisko [server] remove_expired\n"
    "\n"
    "  trisko [server] print  [dynamic|ignored]\n"
    "  trisko [server] export [dynamic]\n"
    "  trisko [server] import < file\n"
    "\n"
    "  trisko [server] macrange [none|mac[,mac,...]\n"
    "\n"
    "  trisko [server] transfers\n"
    "  trisko [server] store\n"
    "  trisko [server] stats\n";

constexpr const char* kCommands[] = {"add",    "remove",   "remove_all", "remove_expired", "print", "export",
                                     "import", "macrange", "transfers",  "store",          "stats"};

bool isCommand(const char* word) {
    for (const char* c : kCommands) {
        if (strcasecmp(word, c) == 0) return true;
    }
    return false;
}

bool is(const char* word, const char* command) { return strcasecmp(word, command) == 0; }

// The tool always writes hardware addresses with '-'.
std::string identityText(const Identity& identity) { return formatIdentity(identity, true, false).c_str(); }

enum class WalkEnd { Complete, ConnectionLost, KeptChanging };

class Session {
public:
    explicit Session(PipeClient& client) : client_(client) {}

    bool fetchSettings() {
        auto reply = client_.transact(PipeCode::GetSettings, 0);
        if (!reply) return false;
        const std::optional<std::span<const std::uint8_t>> block =
            reply->word() == kPipeDone ? decodeBlockMessage(reply->view(), kGeneralSettingsSize) : std::nullopt;
        if (block) settings_ = decodeGeneralSettings(*block);
        return true;
    }
    bool haveSettings() const { return settings_.has_value(); }
    // False after a request got no answer (the connection is closed then).
    bool connected() const { return client_.connected(); }
    GeneralSettings& settings() { return *settings_; }

    bool addClient(const ClientFields& fields, bool skipAddressCheck) {
        const std::optional<std::int32_t> value =
            replyValue(client_.transact(encodeAddClient(fields, skipAddressCheck)));
        return value && *value > 0;
    }
    bool updateClient(std::uint64_t handle, const ClientFields& fields) {
        const std::optional<std::int32_t> value =
            replyValue(client_.transact(encodeUpdateClient(handle, fields, true)));
        return value && *value > 0;
    }
    // The handle of the static entry with this identity and profile: 0 when there is none,
    // nothing when the request failed.
    std::optional<std::uint64_t> findClient(const ClientFields& fields) {
        const std::optional<PipeMessage> reply = client_.transact(encodeFindClient({fields.identity, fields.profile}));
        if (!reply) return std::nullopt;
        return decodeHandleReply(*reply);
    }
    // The static entry a handle names as the server has it now; nothing when the request failed
    // or the entry is gone.
    std::optional<ClientRecordImage> staticEntry(std::uint64_t handle) {
        const std::optional<PipeMessage> reply = client_.transact(encodeListRequest(PipeCode::ListStatic, handle));
        const std::optional<RecordReply> record = reply ? decodeRecordReply(*reply, kClientRecordSize) : std::nullopt;
        if (!record) return std::nullopt;
        std::optional<ClientRecordImage> image = decodeClientRecord(record->record);
        if (!image || image->handle != handle) return std::nullopt;
        return image;
    }
    // The server hands a removal's list number back; a handle that names no record of that list
    // any more (the entry went meanwhile) or a record it could not free gets 0, with status 0.
    bool removeClient(std::int32_t list, std::uint64_t handle) {
        return replyValue(client_.transact(encodeHandleRequest(PipeCode::RemoveClient, list, handle))) == list;
    }

    // Walks a list (7 static, 8 dynamic, 9 ignored), calling f with each record image once.
    // A record removed between two requests leaves its predecessor's next handle naming
    // nothing, which the server answers as it answers the end of the list; the walk then
    // starts again from the head and leaves out the records it has already passed, so that a
    // list changed meanwhile is not taken to end there.
    template <typename F>
    WalkEnd walk(PipeCode code, F&& f) {
        constexpr int kMaxRestarts = 100;
        std::unordered_set<std::uint64_t> passed;
        int restarts = 0;
        std::uint64_t next = 0;
        for (int guard = 0; guard < 10000000; ++guard) {
            const std::optional<PipeMessage> reply = client_.transact(encodeListRequest(code, next));
            if (!reply) return WalkEnd::ConnectionLost;
            const std::optional<RecordReply> record = decodeRecordReply(*reply, kClientRecordSize);
            if (!record) {
                const bool staleHandle = next != 0 && reply->size == kPipeStatusOnlySize && reply->word() == kPipeDone;
                if (!staleHandle) return WalkEnd::Complete;
                if (++restarts > kMaxRestarts) return WalkEnd::KeptChanging;
                next = 0;
                continue;
            }
            auto image = decodeClientRecord(record->record);
            if (!image) return WalkEnd::Complete;
            // Static and ignored walks end at a free record.
            if (code != PipeCode::ListDynamic && image->fields.identity.kind == kIdentityFree) return WalkEnd::Complete;
            if (passed.insert(image->handle).second) f(*image);
            next = image->nextHandle;
            if (next == 0) return WalkEnd::Complete;
        }
        return WalkEnd::Complete;
    }

    // The server's status word; nothing when the request failed.
    std::optional<std::uint32_t> sendSettings() {
        const auto reply =
            client_.transact(encodeBlockMessage(toWire(PipeCode::SetSettings), encodeGeneralSettings(*settings_)));
        if (!reply) return std::nullopt;
        return reply->word();
    }

private:
    PipeClient& client_;
    std::optional<GeneralSettings> settings_;
};

// An entry typed on the command line: tab-separated fields only.
std::optional<ClientFields> parseEntryText(const std::string& text) { return parseEntryLine(text, false); }

void printLine(std::FILE* out, const char* identity, const char* address, const char* profile) {
    std::fprintf(out, "%-32s %-16.16s %s\n", identity, address, profile);
}

// The words of an entry typed on the command line are checked one by one, so that a typo is
// named and refused rather than read as another field: an address that does not parse would be
// taken for a host name, and an entry without an address added.
//
// A hardware address is read as the C library's scan reads it, which ignores what follows the
// sixth number: "00:11:22:33:44:55 10.0.0.5", a line whose fields a blank separates, would be
// that address without the rest. Only the quoted text form of a value may hold a blank.
bool blankInIdentity(std::string_view field) {
    return !field.starts_with('"') && field.find_first_of(" \t") != std::string_view::npos;
}

bool identityWord(const char* word, std::FILE* out) {
    if (blankInIdentity(word) || !parseIdentity(word)) {
        std::fprintf(out, "%s: not a MAC address or client identifier\n", word);
        return false;
    }
    if (const char* problem = typedIdentityProblem(word)) {
        std::fprintf(out, "%s: %s\n", word, problem);
        return false;
    }
    return true;
}

// The address parser, as the C library's scan, also takes blanks and a sign before each number
// (" 10.0.0.5", "10.0.-0.5"); typed, such a word is a slip of a script, not an address.
bool addressWord(const char* word, std::FILE* out) {
    const std::string_view text = word;
    const bool digitsAndDots =
        std::all_of(text.begin(), text.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
    const ParsedIpv4 address = parseIpv4(text);
    if (digitsAndDots && address.ok && address.end == text.size()) return true;
    std::fprintf(out, "%s: not an IPv4 address\n", word);
    return false;
}

// Cut to the characters a record holds, a longer name could name another profile; so could a
// name with a tab (the fields' separator) or a blank before '#' (the rest would be a remark).
bool profileWord(int argc, const char* const* args, int at, std::FILE* out) {
    if (argc <= at) return true;
    const std::string_view name = args[at];
    // An empty word (an unset variable of a script) is no name: read as none, it meant "Standard".
    if (name.empty()) {
        std::fprintf(out, "a profile name cannot be empty (leave it out for \"Standard\")\n");
        return false;
    }
    if (name.size() > kProfileNameChars) {
        std::fprintf(out, "%s: a profile name has at most %zu characters\n", args[at], kProfileNameChars);
        return false;
    }
    const bool splits = std::any_of(name.begin(), name.end(), [](char c) { return entryLineChar(c) != c; }) ||
                        splitRemark(name).data.size() != name.size();
    if (!splits) return true;
    std::fprintf(out, "%s: a profile name holds no tab or other control character, nor a blank before '#'\n", args[at]);
    return false;
}

int commandAdd(Session& s, int argc, const char* const* args, std::FILE* out) {
    if (!identityWord(args[0], out) || !addressWord(args[1], out) || !profileWord(argc, args, 2, out))
        return kExitBadEntry;
    std::string text = std::string(args[0]) + "\t" + args[1];
    if (argc > 2) text += std::string("\t") + args[2];
    auto entry = parseEntryText(text);
    if (!entry) return kExitBadEntry;
    if (s.addClient(*entry, false)) return kExitSuccess;
    // A server that did not answer has not refused the entry.
    std::fprintf(out, s.connected() ? "operation failed\n" : "Service not active\n");
    return kExitFailure;
}

int commandRemove(Session& s, int argc, const char* const* args, std::FILE* out) {
    if (!identityWord(args[0], out) || !profileWord(argc, args, 1, out)) return kExitBadEntry;
    std::string text = std::string(args[0]) + "\t0.0.0.0";
    if (argc > 1) text += std::string("\t") + args[1];
    auto entry = parseEntryText(text);
    if (!entry) return kExitBadEntry;
    auto handle = s.findClient(*entry);
    // A server that did not answer has not said that the entry does not exist.
    if (!handle && !s.connected()) {
        std::fprintf(out, "Service not active\n");
        return kExitFailure;
    }
    if (!handle || *handle == 0) {
        std::fprintf(out, "not found\n");
        return kExitFailure;
    }
    if (s.removeClient(kListStatic, *handle)) return kExitSuccess;
    std::fprintf(out, "operation failed\n");
    return kExitFailure;
}

// A list walk that broke off, or any request of it refused: the run failed, although each entry
// it reached was dealt with.
int walkOutcome(WalkEnd end, bool refused, std::FILE* out) {
    if (end == WalkEnd::ConnectionLost) std::fprintf(out, "Service not active\n");
    if (end == WalkEnd::KeptChanging) std::fprintf(out, "the list kept changing while it was read\n");
    return end == WalkEnd::Complete && !refused ? kExitSuccess : kExitFailure;
}

int commandRemoveAll(Session& s, std::FILE* out) {
    bool refused = false;
    const WalkEnd end = s.walk(PipeCode::ListStatic, [&](const ClientRecordImage& image) {
        if (image.handle != 0 && !s.removeClient(kListStatic, image.handle)) {
            std::fprintf(out, "operation failed\n");
            refused = true;
        }
    });
    return walkOutcome(end, refused, out);
}

int commandRemoveExpired(Session& s, std::FILE* out, std::int64_t now) {
    bool refused = false;
    const WalkEnd end = s.walk(PipeCode::ListDynamic, [&](const ClientRecordImage& image) {
        if (image.fields.expiry < now && !s.removeClient(kListDynamic, image.handle)) {
            std::fprintf(out, "operation failed\n");
            refused = true;
        }
    });
    return walkOutcome(end, refused, out);
}

int commandPrint(Session& s, const char* which, std::FILE* out) {
    PipeCode code = PipeCode::ListStatic;
    if (which != nullptr && is(which, "dynamic")) code = PipeCode::ListDynamic;
    if (which != nullptr && is(which, "ignored")) code = PipeCode::ListIgnored;
    printLine(out, "MAC/ID", "IP-Address", "Profile");
    std::fprintf(out, "%s\n", std::string(73, '=').c_str());
    const WalkEnd end = s.walk(code, [&](const ClientRecordImage& image) {
        printLine(out, identityText(image.fields.identity).c_str(), formatIpv4(image.fields.address).c_str(),
                  image.fields.profile.c_str());
    });
    return walkOutcome(end, false, out);
}

// A text of a record as one field of a line: the pipe takes any bytes (and a TFTP client's error
// text comes from the network), and a line break or a tab would split the line into fields or
// lines of other entries, an escape sequence reach the terminal. Control characters are written
// as '?', as the server's own client files write them.
std::string fieldText(const std::string& text) {
    std::string field = text;
    std::transform(field.begin(), field.end(), field.begin(), entryLineChar);
    return field;
}

// A walk that breaks off ends the output with a line that is no entry line, so that an import
// of it stops there rather than take a part for the whole.
//
// An entry line has no quoting: a profile name that would not read back from it as itself (a
// blank before '#' starts the remark, a control character becomes '?', a leading ':' or '='
// makes a time or an address of it) would bring the entry back in another profile, or as a
// refused line. Such an entry is left out and named on a line after all the others, which is
// no entry line either: an import applies the entries and then stops there, and says so.
int commandExport(Session& s, const char* which, std::FILE* out) {
    const PipeCode code = (which != nullptr && is(which, "dynamic")) ? PipeCode::ListDynamic : PipeCode::ListStatic;
    std::vector<std::string> leftOut;
    const WalkEnd end = s.walk(code, [&](const ClientRecordImage& image) {
        const ClientFields& f = image.fields;
        // A free slot of the dynamic list, or an address held for a static entry (a record with
        // no identity bytes), is no client: its line would be no entry line, or one that import
        // took for a client whose hardware address is 00-00-00-00-00-00.
        if (f.identity.kind == kIdentityFree || f.identity.length == 0) return;
        const std::string id = identityText(f.identity);
        if (!f.profile.empty() && !entryLineHoldsProfile(f.profile)) {
            leftOut.push_back("not exported: " + id + " in profile \"" + fieldText(f.profile) +
                              "\": an entry line cannot hold this profile name\n");
            return;
        }
        std::fprintf(out, "%s\t%s", id.c_str(), formatIpv4(f.address).c_str());
        if (f.lastAccess != 0)
            std::fprintf(out, "\t:%u", static_cast<unsigned>(static_cast<std::uint64_t>(f.lastAccess)));
        if (!f.profile.empty()) std::fprintf(out, "\t%s", fieldText(f.profile).c_str());
        if (!f.remark.empty()) std::fprintf(out, "\t#%s", fieldText(f.remark).c_str());
        std::fprintf(out, "\n");
    });
    for (const std::string& line : leftOut) std::fputs(line.c_str(), out);
    return walkOutcome(end, !leftOut.empty(), out);
}

// One line of input without its line break (and a carriage return before it); false at the end
// of input. A line longer than kImportLineChars sets tooLong and keeps only its start; the rest
// is not read, since it ends the import (input without line breaks, as /dev/zero, never ends).
constexpr std::size_t kImportLineChars = 255;
bool readImportLine(std::FILE* in, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    int c = std::getc(in);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n' && line.size() <= kImportLineChars + 1; c = std::getc(in))
        line.push_back(static_cast<char>(c));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    tooLong = line.size() > kImportLineChars;
    return true;
}

int commandImport(Session& s, std::FILE* in, std::FILE* out) {
    std::string line;
    bool tooLong = false;
    bool refused = false;
    for (unsigned lineNo = 1; readImportLine(in, line, tooLong); ++lineNo) {
        // Cut to its first 255 characters such a line would change an entry into something else.
        if (tooLong) {
            std::fprintf(out, "line %u longer than %zu characters\n", lineNo, kImportLineChars);
            return kExitBadEntry;
        }
        // A file saved by an editor that begins it with the UTF-8 byte order mark: the mark is
        // no part of the first identity.
        if (lineNo == 1 && line.starts_with(kUtf8ByteOrderMark)) line.erase(0, kUtf8ByteOrderMark.size());
        // A comment line, as the server's client files may hold, or an empty line holds no entry;
        // taken for a bad entry, it stopped the import before the entries after it.
        if (line.starts_with('#') || line.find_first_not_of(" \t") == std::string::npos) continue;
        auto entry = parseEntryText(line);
        if (!entry) {
            std::fprintf(out, "line %u: not a client entry: %s\n", lineNo, fieldText(line).c_str());
            return kExitBadEntry;
        }
        if (blankInIdentity(std::string_view(line).substr(0, line.find('\t')))) {
            std::fprintf(out, "line %u: fields must be separated by tabs: %s\n", lineNo, fieldText(line).c_str());
            return kExitBadEntry;
        }
        if (const std::optional<std::string> problem = typedEntryProblem(line)) {
            std::fprintf(out, "line %u: %s\n", lineNo, problem->c_str());
            return kExitBadEntry;
        }
        // A remark holds 31 characters; a longer one (a hand-written ethers comment, say) is
        // cut and the entry still taken, but not without a word.
        if (const std::string_view remark = splitRemark(line).remark; remark.size() > kEntryRemarkChars)
            std::fprintf(out, "line %u: remark cut to its first %zu of %zu characters\n", lineNo, kEntryRemarkChars,
                         remark.size());
        auto handle = s.findClient(*entry);
        // A server that went away has refused nothing: said as "operation failed" for every
        // line left, it read as a server that took none of them.
        if (!handle && !s.connected()) {
            std::fprintf(out, "Service not active\nline %u and the lines after it were not applied\n", lineNo);
            return kExitFailure;
        }
        refused |= !handle;
        if (!handle) {
            std::fprintf(out, "operation failed\n");
            continue;
        }
        const std::string id = identityText(entry->identity);
        if (*handle != 0) {
            // Export writes no host name: a line without one keeps the entry's, so that an
            // export fed back changes nothing.
            bool known = true;
            if (entry->hostName.empty()) {
                const std::optional<ClientRecordImage> current = s.staticEntry(*handle);
                known = current.has_value();
                if (current) entry->hostName = current->fields.hostName;
            }
            if (!known || !s.updateClient(*handle, *entry)) {
                std::fprintf(out, "%s update failed\n", id.c_str());
                refused = true;
            }
        } else if (!s.addClient(*entry, true)) {
            std::fprintf(out, "%s add failed\n", id.c_str());
            refused = true;
        }
    }
    // Input that cannot be read (a directory given as the standard input) has not ended.
    if (std::ferror(in)) {
        std::fprintf(out, "the entries cannot be read: %s\n", errorText(errno).c_str());
        return kExitFailure;
    }
    return refused ? kExitFailure : kExitSuccess;
}

int commandMacRange(Session& s, const char* argument, std::FILE* out) {
    if (argument == nullptr) {
        const MacRangeTable table = s.haveSettings() ? s.settings().macRange : MacRangeTable{};
        auto text = formatMacRange(table);
        std::fprintf(out, "%s\n", text ? text->c_str() : "");
        return kExitSuccess;
    }
    // Sending a block we never received whole would overwrite the server's settings.
    if (!s.haveSettings()) {
        std::fprintf(out, "Server authorization failed\n");
        return kExitFailure;
    }
    if (is(argument, "none")) {
        s.settings().macRange = MacRangeTable{};
    } else if (macRangeReadsAsTyped(argument)) {
        s.settings().macRange = parseMacRange(argument);
    } else {
        std::fprintf(out,
                     "%s: not a list of MAC address prefixes (such as 00:11:22,00-aa-bb) of at most 6 bytes each "
                     "that the setting's 31 bytes hold (a prefix takes one byte more)\n",
                     argument);
        return kExitBadEntry;
    }
    const std::optional<std::uint32_t> status = s.sendSettings();
    if (!status) {
        std::fprintf(out, "Service not active\n");
        return kExitFailure;
    }
    // A user without write permission is refused: nothing changed.
    if (*status != kPipeDone) {
        std::fprintf(out, "operation failed\n");
        return kExitFailure;
    }
    return kExitSuccess;
}

const char* outcomeText(std::int32_t outcome) {
    switch (outcome) {
        case kRunning:
            return "running";
        case kOutcomeDone:
            return "done";
        case kOutcomeTimeout:
            return "timeout";
        case kOutcomeAborted:
            return "aborted";
        default:
            return "error";
    }
}

// Why a request of the commands beyond the entries failed: no answer, a server that does not
// know the request (one older than it), or any other refusal. Returns the exit code.
int requestFailed(const std::optional<PipeMessage>& reply, std::FILE* out) {
    if (!reply) {
        std::fprintf(out, "Service not active\n");
    } else if (reply->size >= kPipeStatusOnlySize && reply->word() == kPipeUnknownCode) {
        std::fprintf(out, "not supported by this server\n");
    } else {
        std::fprintf(out, "operation failed\n");
    }
    return kExitFailure;
}

// One line per transfer of the server's list: direction/mode, client, bytes moved, size,
// outcome (with the client's error text when it aborted), path.
int commandTransfers(PipeClient& client, std::FILE* out) {
    // The list holds the running transfers and those ended a few seconds ago; the bound only
    // guards against a server that never says the list has ended.
    constexpr std::int32_t kMaxTransfers = 100000;
    for (std::int32_t n = 0; n < kMaxTransfers; ++n) {
        const auto reply = client.transact(PipeCode::GetTransfer, n);
        if (!reply || reply->size < kPipeStatusOnlySize || reply->word() != kPipeDone) return requestFailed(reply, out);
        if (reply->size != kPipeHeaderSize + kTransferRecordSize) break;
        const std::optional<TransferImage> t = decodeTransferImage(reply->payload());
        if (!t) return requestFailed(reply, out);
        const std::uint64_t moved = std::uint64_t{t->blockSize} * t->blockCounter;
        const bool ended = t->outcome != kRunning;
        const std::uint64_t bytes = t->opcode == kOpReadRequest ? std::min<std::uint64_t>(moved, t->size)
                                    : ended                     ? t->size
                                                                : moved;
        std::fprintf(out, "%s/%s %s %" PRIu64 " %u %s%s%s %s\n", directionName(t->opcode), modeName(t->mode),
                     formatIpv4(t->client).c_str(), bytes, t->size, outcomeText(t->outcome),
                     t->clientError.empty() ? "" : " ", fieldText(t->clientError).c_str(), fieldText(t->path).c_str());
    }
    return kExitSuccess;
}

// Where the server keeps its leases: "files", or the lease database and whether it is reached.
int commandStore(PipeClient& client, std::FILE* out) {
    const auto reply = client.transact(PipeCode::GetLeaseStore, 0);
    const std::optional<LeaseStoreReply> store = reply ? decodeLeaseStoreReply(*reply) : std::nullopt;
    if (!store) return requestFailed(reply, out);
    switch (store->store) {
        case kLeaseStoreFiles:
            std::fprintf(out, "Leases: client files\n");
            break;
        case kLeaseStoreDatabase:
            std::fprintf(out, "Leases: %s, reachable, %u changes waiting\n", store->description.c_str(),
                         store->waiting);
            break;
        default:
            std::fprintf(out, "Leases: %s, unreachable (leases served from memory), %u changes waiting\n",
                         store->description.c_str(), store->waiting);
            break;
    }
    return kExitSuccess;
}

// The server's counters, as the lines of its metrics page without the HELP and TYPE lines. The
// pools come page by page; a walk that would not end (a server whose count keeps changing) stops
// at the number of pools the first page announced.
int commandStats(PipeClient& client, std::FILE* out) {
    std::optional<PipeMessage> reply;
    auto page = [&](std::uint32_t first) -> std::optional<ServerStats> {
        reply = client.transact(encodeGetStats(first));
        return reply ? decodeStatsReply(*reply) : std::nullopt;
    };
    std::optional<ServerStats> stats = page(0);
    if (!stats) return requestFailed(reply, out);
    while (stats->pools.size() < stats->poolCount) {
        const auto first = static_cast<std::uint32_t>(stats->pools.size());
        const std::optional<ServerStats> next = page(first);
        // A page that is not the one asked for would repeat pools without end.
        if (!next || next->pools.empty() || next->firstPool != first) break;
        stats->pools.insert(stats->pools.end(), next->pools.begin(), next->pools.end());
    }
    std::fputs(renderPrometheus(*stats, false).c_str(), out);
    return kExitSuccess;
}

}  // namespace

namespace {

// A port number from 1 to 65535, digits only.
std::optional<std::uint16_t> portNumber(std::string_view text) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const int value = std::atoi(std::string(text).c_str());
    if (value < 1 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

struct RemoteServer {
    std::string host;
    std::uint16_t port = kDefaultRemotePort;
    const char* problem = nullptr;  // why the name reaches no server
};

// A number as the resolver reads one: decimal, octal or hexadecimal ("0x7f").
bool numericLabel(std::string_view label) {
    const bool hex = label.starts_with("0x") || label.starts_with("0X");
    if (hex) label.remove_prefix(2);
    return !label.empty() && std::all_of(label.begin(), label.end(), [hex](char c) {
        return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : c >= '0' && c <= '9';
    });
}

// "\\host", "//host", "host" or "host:port". A port that is not a port number must not quietly
// become the default port (another server may answer there). A name that ends in a number is
// an address, and the resolver would read it in forms of its own ("1.2.3" as 1.2.0.3, "010.1.1.1"
// as 8.1.1.1, "4294967295" as 255.255.255.255) and reach another host than meant: it must be four
// decimal numbers, as addresses are everywhere else here, and goes on in that form.
RemoteServer remoteServer(const std::string& serverName) {
    RemoteServer server;
    server.host = serverName;
    while (!server.host.empty() && (server.host.front() == '\\' || server.host.front() == '/')) server.host.erase(0, 1);
    if (const char* env = std::getenv("TOLMARK_REMOTE_PORT"); env != nullptr) {
        if (const std::optional<std::uint16_t> port = portNumber(env)) server.port = *port;
    }
    // Nothing but backslashes or slashes, or an empty word, names no host: it must not reach the
    // local server instead.
    if (server.host.empty()) {
        server.problem = "not a server name";
        return server;
    }
    if (auto colon = server.host.rfind(':'); colon != std::string::npos) {
        const std::optional<std::uint16_t> port = portNumber(std::string_view(server.host).substr(colon + 1));
        if (!port) {
            server.problem = "not a port number";
            return server;
        }
        server.port = *port;
        server.host.resize(colon);
    }
    const std::size_t dot = server.host.rfind('.');
    if (numericLabel(std::string_view(server.host).substr(dot == std::string::npos ? 0 : dot + 1))) {
        const ParsedIpv4 address = parseIpv4(server.host);
        if (address.ok && address.end == server.host.size())
            server.host = formatIpv4(address.address).c_str();
        else
            server.problem = "not an IPv4 address";
    }
    return server;
}

// The most arguments each command takes. A word more is refused rather than ignored:
// "remove_all MAC" emptied the static list, "add MAC IP My Lab" added the entry to the profile
// "My", "macrange 00:11:22, 00:aa:bb" set the first prefix only, "import FILE" read the terminal.
int mostArguments(const char* command) {
    if (is(command, "add")) return 3;
    if (is(command, "remove")) return 2;
    if (is(command, "print") || is(command, "export") || is(command, "macrange")) return 1;
    return 0;
}

}  // namespace

std::unique_ptr<PipeClient> connectTo(const std::string& serverName) {
    std::unique_ptr<PipeClient> client;
    if (serverName.empty()) {
        client = std::make_unique<PipeClient>();
    } else {
        // A name that was refused reaches nobody, rather than the local server.
        const RemoteServer server = remoteServer(serverName);
        client = server.problem == nullptr ? std::make_unique<PipeClient>(server.host, server.port)
                                           : std::make_unique<PipeClient>(std::string(), 0);
    }
    client->setTimeout(kRequestTimeout);
    return client;
}

namespace {

int runCommand(int argc, const char* const* argv, std::FILE* out, std::FILE* in, std::int64_t now,
               const ClientFactory& factory) {
    int next = 1;
    std::string serverName;
    if (argc > 1 && !isCommand(argv[1])) {
        serverName = argv[1];
        next = 2;
    }
    auto usage = [&] {
        std::fputs(kUsage, out);
        return kExitFailure;
    };
    // A word that is no command, and no command after it ("trisko --help", a mistyped word),
    // gets the usage at once, without a connection to a server named by that word. With no word
    // at all the server is asked first, so that the answer says whether it runs.
    if (argc > 1 && (next >= argc || !isCommand(argv[next]))) return usage();
    const bool noCommand = next >= argc;  // no word at all
    const char* command = noCommand ? "" : argv[next];
    const int count = noCommand ? 0 : argc - next - 1;
    const char* const* args = noCommand ? argv + argc : argv + next + 1;
    if ((is(command, "add") && count < 2) || (is(command, "remove") && count < 1)) return usage();
    if (count > mostArguments(command)) {
        std::fprintf(out, "trisko: %s does not take the argument \"%s\"; nothing was done\n", command,
                     args[mostArguments(command)]);
        return kExitFailure;
    }
    if (const char* problem = next == 1 ? nullptr : remoteServer(serverName).problem) {
        std::fprintf(out, "%s: %s\n", serverName.empty() ? "\"\"" : serverName.c_str(), problem);
        return kExitFailure;
    }
    auto client = factory(serverName);
    Session session(*client);
    if (!session.fetchSettings()) {
        if (const std::optional<unsigned> uid = client->untrustedServerUid()) {
            std::fprintf(out, "Control pipe held by an untrusted process (uid %u): not the DHCP server\n", *uid);
        } else {
            std::fprintf(out, "Service not active\n");
        }
        return kExitFailure;
    }
    if (noCommand) return usage();
    if (is(command, "transfers")) return commandTransfers(*client, out);
    if (is(command, "store")) return commandStore(*client, out);
    if (is(command, "stats")) return commandStats(*client, out);
    const bool needsBlock = !is(command, "print") && !is(command, "macrange");
    if (needsBlock && !session.haveSettings()) {
        std::fprintf(out, "Server authorization failed\n");
        return kExitFailure;
    }
    const char* first = count > 0 ? args[0] : nullptr;
    if (is(command, "add")) return commandAdd(session, count, args, out);
    if (is(command, "remove")) return commandRemove(session, count, args, out);
    if (is(command, "remove_all")) return commandRemoveAll(session, out);
    if (is(command, "remove_expired")) return commandRemoveExpired(session, out, now);
    if (is(command, "print")) return commandPrint(session, first, out);
    if (is(command, "export")) return commandExport(session, first, out);
    if (is(command, "import")) return commandImport(session, in, out);
    return commandMacRange(session, first, out);
}

}  // namespace

int runTrisko(int argc, const char* const* argv, std::FILE* out, std::FILE* in, std::int64_t now,
              const ClientFactory& factory) {
    const int code = runCommand(argc, argv, out, in, now, factory);
    // Output that never arrived ("export > file" on a full disk, a closed standard output) is
    // no success: a script would take the missing entries for an empty list. Said on the error
    // stream, the only one left.
    if (std::fflush(out) != 0 || std::ferror(out)) {
        std::fprintf(stderr, "trisko: the output could not be written: %s\n", errorText(errno).c_str());
        return code == kExitSuccess ? kExitFailure : code;
    }
    return code;
}

}  // namespace tolmark::tool
