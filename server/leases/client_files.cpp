#include "server/leases/client_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "base/error_text.h"
#include "base/file_descriptor.h"
#include "platform/files.h"
#include "server/leases/client_rules.h"
#include "server/leases/line_window.h"

namespace tolmark {

using platform::FileDescriptor;

namespace {

constexpr std::size_t kPathCapacity = 1024;
constexpr off_t kBackupMinimumSize = 25;  // files of 24 bytes or less are not worth a backup

EntryFormat formatOf(ClientList list) {
    switch (list) {
        case ClientList::Static:
            return EntryFormat::Static;
        case ClientList::Dynamic:
            return EntryFormat::Dynamic;
        default:
            return EntryFormat::Ignored;
    }
}

std::string fitText(std::string_view text, std::size_t maxChars) {
    return std::string(text.substr(0, std::min(text.size(), maxChars)));
}

enum class StopReason { None, EmptyLine, Unreadable, NoMemory, ReadError };

// Hard-links the file to a name no earlier one uses, so that what the server could not read
// survives the next save. A hard link needs no copy and never leaves a half-written file.
bool preserveOriginal(const std::string& givenPath, LogSink& log) {
    // The file itself, beside which a save through a link puts the new one, not the link.
    const std::string path = platform::linkTarget(givenPath).value_or(givenPath);
    for (int n = 0; n < 10; ++n) {
        std::string name = path + ".unloaded";
        if (n > 0) name += "." + std::to_string(n);
        if (::link(path.c_str(), name.c_str()) == 0) {
            log.line(1, false, "DHCP  Error   %s kept as %s\n", path.c_str(), name.c_str());
            return true;
        }
        if (errno != EEXIST) break;
    }
    return false;
}

bool blankOnly(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

std::uint32_t lineCount(std::string_view text) {
    const auto breaks = static_cast<std::uint32_t>(std::count(text.begin(), text.end(), '\n'));
    return breaks + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

// Reads the file from the line loading stopped at to its end, to be written back after the
// records. A tail too large to hold, or one that cannot be read, is kept by a hard link
// instead; when even that fails, the file is never replaced.
void keepTail(int fd, std::uint64_t start, ListFile& file, StopReason reason, std::uint32_t lineNo, LogSink& log) {
    std::string tail;
    bool readable = reason != StopReason::ReadError;
    try {
        constexpr std::size_t kChunk = 65536;
        std::uint64_t at = start;
        while (readable && tail.size() <= kMaxKeptTail) {
            const std::size_t before = tail.size();
            tail.resize(before + kChunk);
            const ssize_t n = ::pread(fd, tail.data() + before, kChunk, static_cast<off_t>(at));
            const int error = errno;
            tail.resize(before + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            if (n < 0 && error == EINTR) continue;
            if (n < 0) readable = false;
            if (n <= 0) break;
            at += static_cast<std::uint64_t>(n);
        }
    } catch (const std::bad_alloc&) {
        readable = false;
    }
    if (readable && blankOnly(tail)) return;
    const char* path = file.path.c_str();
    if (readable && tail.size() <= kMaxKeptTail) {
        const std::uint32_t lines = lineCount(tail);
        switch (reason) {
            case StopReason::EmptyLine:
                log.line(2, false, "%s %u: empty line, %u lines from here kept unloaded\n", path, lineNo, lines);
                break;
            case StopReason::Unreadable:
                log.line(1, false, "DHCP  Error   %s %u: no client identity, %u lines from here kept unloaded\n", path,
                         lineNo, lines);
                break;
            default:
                log.line(1, false, "DHCP  Error   %s %u: no memory, %u lines from here kept unloaded\n", path, lineNo,
                         lines);
                break;
        }
        file.keptTail = std::move(tail);
        return;
    }
    log.line(1, false, "DHCP  Error   %s %u: loading stopped, rest of the file not held\n", path, lineNo);
    if (!preserveOriginal(file.path, log)) file.replaceRefused = true;
}

// One line of a client file turned into a record of the list, or why not.
enum class LineResult { Comment, Skipped, Accepted, EmptyLine, Unreadable, NoMemory };

struct LoadState {
    ClientTable& table;
    ClientList list;
    const ProfileList& profiles;
    const GeneralSettings& settings;
    LogSink& log;
    std::int64_t now;
    ClientRecord* lastDynamic = nullptr;   // where the next dynamic record is linked
    std::vector<ClientRecord*> ignored{};  // pushed at the front in reverse once loading ends
    std::uint32_t counted = 0;
    std::uint32_t staticTotal = 0;
    ClientFields written{};  // the record as the log line writes it back, reused line by line
    // The profile of the previous line: a file names few, mostly the same one line after line.
    std::string lastProfileName{};
    const Profile* lastProfile = nullptr;
    // Dynamic lines not loaded, by reason, and the first of them.
    std::uint32_t outsidePool = 0;
    std::uint32_t addressTaken = 0;
    std::uint32_t firstDropped = 0;
    std::uint32_t pastIgnoredCap = 0;  // ignored lines past the most recent kMaxIgnoredClients
    bool heldCutLease = false;         // the last line's lease was held, and that said
};

const Profile* profileNamed(std::string_view name, LoadState& state) {
    if (state.lastProfile == nullptr || name != state.lastProfileName) {
        state.lastProfile = state.profiles.find(name);
        state.lastProfileName.assign(name);
    }
    return state.lastProfile;
}

enum class DynamicDrop { None, OutsidePool, AddressTaken };

// Dynamic records outside their pool, or at an address a record of the same profile already
// holds (the previous line's, or one further back after a hand edit or a merge), would hand out
// an address outside the configured range or twice. The first record of an address stays.
DynamicDrop dropDynamic(const ClientFields& fields, LoadState& state) {
    if (fields.address == 0) return DynamicDrop::None;
    const Profile* profile = profileNamed(fields.profile, state);
    if (profile != nullptr && profile->hasPool() && !profile->poolContains(fields.address))
        return DynamicDrop::OutsidePool;
    ClientTable& table = state.table;
    for (const ClientRecord* r = table.findAddress(ClientList::Dynamic, fields.address, nullptr); r != nullptr;
         r = table.findAddress(ClientList::Dynamic, fields.address, r)) {
        if (profileNameEquals(r->profile, fields.profile)) return DynamicDrop::AddressTaken;
    }
    return DynamicDrop::None;
}

void logDropped(const ClientFields& fields, DynamicDrop drop, std::uint32_t lineNo, const std::string& path,
                LoadState& state) {
    (drop == DynamicDrop::OutsidePool ? state.outsidePool : state.addressTaken) += 1;
    if (state.outsidePool + state.addressTaken == 1) state.firstDropped = lineNo;
    const std::string profile(fields.profile);
    state.log.line(2, false, "%s %u: %s %s %s, line not loaded\n", path.c_str(), lineNo,
                   formatIpv4(fields.address).c_str(),
                   drop == DynamicDrop::OutsidePool ? "outside the pool of" : "already loaded for", profile.c_str());
}

// Lines that load, but not as their writer meant: said once each, at the default log level.
void checkLoaded(const ClientFields& fields, std::string_view data, std::uint32_t lineNo, const std::string& path,
                 LoadState& state) {
    const char* file = path.c_str();
    // The dynamic file keeps a lease's host name after its profile: a second field that is not
    // an address was meant to be one.
    if (state.list == ClientList::Dynamic && !fields.hostName.empty() && hostNameBeforeAddress(data)) {
        const std::string text(fields.hostName);
        state.log.line(1, false, "DHCP  Error   %s %u: \"%s\" is not an address\n", file, lineNo, text.c_str());
    }
    if (state.list == ClientList::Static &&
        state.table.findStaticByIdentity(fields.identity, fields.profile, nullptr) != nullptr) {
        const std::string profile(fields.profile);
        state.log.line(1, false,
                       "DHCP  Error   %s %u: %s of %s repeats an earlier line's client; this entry is served, the "
                       "earlier one never\n",
                       file, lineNo, formatIdentity(fields.identity).c_str(), profile.c_str());
    }
}

// Whether a cut may have shortened or taken the time field. The server writes it right after
// the address, so it is whole when more follows it; a cut time has fewer digits than it had and
// reads as long past, while "0" (a free record) cannot have been longer.
bool timeMayBeCut(std::string_view data) {
    for (std::size_t at = data.find(':'); at != std::string_view::npos; at = data.find(':', at + 1)) {
        if (at == 0 || (data[at - 1] != '\t' && data[at - 1] != ' ')) continue;
        if (data.find_first_of(" \t", at) != std::string_view::npos) return false;
        return data.size() == at + 1 || data[at + 1] != '0';
    }
    return true;
}

// A lease on the dynamic file's last line, cut short in its time: the lease may still run, and
// handed to another client its address would be in use twice. It is held for its client for as
// long as its profile gives a lease from now, which no lease granted before now outlasts.
void holdCutLease(ClientFields& fields, std::uint32_t lineNo, const std::string& path, LoadState& state) {
    const Profile* profile = profileNamed(fields.profile, state);
    auto lease = static_cast<std::uint32_t>(profile != nullptr ? profile->lease : Profile{}.lease);
    if (lease == 0) lease = 0xFFFFFFFFu;  // a BOOTP lease of such a profile never ends
    fields.expiry = state.now + lease;
    state.log.line(1, false,
                   "DHCP  Error   %s %u: the last line has no line break (the file was cut short?): the time of %s may "
                   "be cut, held for %u seconds\n",
                   path.c_str(), lineNo, formatIpv4(fields.address).c_str(), lease);
    state.heldCutLease = true;
}

// The dynamic file's last line cut short may have lost its profile name (a line without one
// names "Standard") or kept part of it. A lease whose profile cannot hold its address is given
// the profile whose pool holds it, as a reservation of the address would be, rather than be
// dropped or kept outside every pool, where the address would be offered to another client.
void adoptPoolProfile(ClientFields& fields, LoadState& state) {
    const Profile* named = profileNamed(fields.profile, state);
    if (named != nullptr && named->hasPool() && named->poolContains(fields.address)) return;
    for (const Profile& p : state.profiles.profiles()) {
        if (p.hasPool() && p.poolContains(fields.address)) {
            fields.profile = p.name;
            return;
        }
    }
}

void linkRecord(ClientRecord& record, LoadState& state) {
    switch (state.list) {
        case ClientList::Static:
            state.table.appendStatic(record);
            ++state.staticTotal;
            if (record.lastAccess != 0) ++state.counted;
            break;
        case ClientList::Dynamic:
            state.table.insertDynamicAfter(state.lastDynamic, record);
            state.lastDynamic = &record;
            if (record.expiry > state.now) ++state.counted;
            break;
        default:
            state.ignored.push_back(&record);
            break;
    }
}

// unended: the file's last line, without its line break.
LineResult loadLine(std::string_view line, bool unended, std::uint32_t lineNo, const std::string& path,
                    LoadState& state) {
    // Blanks before the identity (an indented entry or comment) are layout: read as data, the
    // empty identity stopped the load there. A line of blanks alone is an empty line.
    line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
    if (!line.empty() && line.front() == '#') return LineResult::Comment;
    const EntryParts parts = splitRemark(line);
    if (parts.data.empty()) return LineResult::EmptyLine;
    // The file lists the most recent clients first: those past the list's cap are left out, as
    // the oldest would be once refused clients filled it.
    if (state.list == ClientList::Ignored && state.ignored.size() >= kMaxIgnoredClients) {
        ++state.pastIgnoredCap;
        return LineResult::Skipped;
    }
    ClientRecord* record = nullptr;
    try {
        std::optional<ClientFields> fields = parseEntryData(parts.data, true);
        if (!fields) return LineResult::Unreadable;
        const bool dynamic = state.list == ClientList::Dynamic;
        if (dynamic && unended && fields->address != 0) adoptPoolProfile(*fields, state);
        if (const DynamicDrop drop = dynamic ? dropDynamic(*fields, state) : DynamicDrop::None;
            drop != DynamicDrop::None) {
            logDropped(*fields, drop, lineNo, path, state);
            return LineResult::Skipped;
        }
        checkLoaded(*fields, parts.data, lineNo, path, state);
        if (dynamic && unended && fields->address != 0 && fields->expiry <= state.now && timeMayBeCut(parts.data))
            holdCutLease(*fields, lineNo, path, state);
        fields->remark = fitText(parts.remark, dynamic ? kDynamicRemarkChars : kEntryRemarkChars);
        if (dynamic) fields->lastAccess = 0;
        // Room for the ignored record is made before it is taken, so that linking cannot fail.
        if (state.list == ClientList::Ignored && state.ignored.size() == state.ignored.capacity())
            state.ignored.reserve(std::max<std::size_t>(64, state.ignored.capacity() * 2));
        record = state.table.take();
        if (record == nullptr) return LineResult::NoMemory;
        state.table.fill(*record, *fields);
    } catch (const std::bad_alloc&) {
        if (record != nullptr) state.table.release(*record);
        return LineResult::NoMemory;
    }
    linkRecord(*record, state);
    if (state.log.level() >= 3) {
        if (state.list == ClientList::Ignored) {
            const std::string data(parts.data);
            state.log.line(3, false, "%u: %s\n", lineNo, data.c_str());
        } else {
            record->copyTo(state.written);
            if (auto text = formatEntryLine(state.written, formatOf(state.list), state.settings.updateEthers))
                state.log.line(3, false, "%u: %s\n", lineNo, text->text);
        }
    }
    return LineResult::Accepted;
}

StopReason stopReasonOf(LineResult result) {
    switch (result) {
        case LineResult::EmptyLine:
            return StopReason::EmptyLine;
        case LineResult::Unreadable:
            return StopReason::Unreadable;
        case LineResult::NoMemory:
            return StopReason::NoMemory;
        default:
            return StopReason::None;
    }
}

// ---- Saving -----------------------------------------------------------------------------------

struct SaveFailure {
    const char* step;
    int error;
};

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// 0, or the error that kept the rename from being made durable.
int syncDirectory(const std::string& path) {
    FileDescriptor dir(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || ::fsync(dir.get()) != 0) return errno;
    return 0;
}

// Appends the line of one record, or counts it as unwritable.
void appendLine(std::string& out, const ClientRecord& record, ClientList list, const GeneralSettings& settings,
                ClientFields& copy, std::uint32_t& unwritable) {
    record.copyTo(copy);
    if (auto line = formatEntryLine(copy, formatOf(list), settings.updateEthers)) {
        out.append(line->view());
        out.push_back('\n');
    } else {
        ++unwritable;
    }
}

// The whole list as file lines in one walk. Every linked record is written; the count of
// linked records also ends a walk that a broken link would never let reach the end.
std::string formatWhole(ClientTable& table, ClientList list, const GeneralSettings& settings,
                        std::uint32_t& unwritable) {
    std::string out;
    const std::size_t linked = table.size(list);
    std::size_t written = 0;
    ClientFields copy;  // one for the whole walk: its strings keep their storage
    for (const ClientRecord* r = table.first(list); r != nullptr && written < linked; r = table.next(*r), ++written)
        appendLine(out, *r, list, settings, copy, unwritable);
    return out;
}

// Records formatted per hold of the table's lock: a save of a million leases then never stops
// the request path for more than about a millisecond at a time.
constexpr std::size_t kSaveRun = 2048;

// The list as file lines, read under fieldsLock (when given) in runs of kSaveRun records with
// the lock let go in between. Every record linked for the whole save is written, each as it
// was at one moment; a record linked or unlinked meanwhile may be missing or still present,
// and its change, counted, makes the next save. When the place to go on from has left the list
// (unlinked between two runs), the save starts over in one walk under the lock.
std::string formatList(ClientTable& table, ClientList list, const GeneralSettings& settings, Mutex* fieldsLock,
                       std::uint32_t& unwritable) {
    if (fieldsLock == nullptr) return formatWhole(table, list, settings, unwritable);
    std::string out;
    ClientFields copy;
    RecordHandle resume = 0;  // the next record to write
    std::uint32_t unwritableSoFar = 0;
    std::size_t visited = 0;
    for (bool first = true;; first = false) {
        Hold hold(*fieldsLock);
        const ClientRecord* r = first ? table.first(list) : table.resolve(resume, list);
        // A broken link or a list that keeps growing under the save also ends in one walk.
        const bool lost = !first && r == nullptr;
        if (lost || visited > 2 * table.size(list) + kSaveRun) {
            unwritable = 0;
            return formatWhole(table, list, settings, unwritable);
        }
        for (std::size_t n = 0; r != nullptr && n < kSaveRun; r = table.next(*r), ++n, ++visited)
            appendLine(out, *r, list, settings, copy, unwritableSoFar);
        if (r == nullptr) break;
        resume = table.handleOf(*r);
    }
    unwritable = unwritableSoFar;
    return out;
}

// Copies the file to the backup name, made as the temporary file is (owner and mode of the
// file). The file stays where it is the whole time: a crash during the copy leaves at worst a
// backup cut short beside it.
bool copyToBackup(const std::string& path, const std::string& backup) {
    FileDescriptor from(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!from) return false;
    FileDescriptor to = platform::createReplacement(backup, path);
    if (!to) return false;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(from.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || !writeAll(to.get(), std::string_view(buffer, static_cast<std::size_t>(n)))) {
            const int error = errno;
            ::unlink(backup.c_str());
            errno = error;
            return false;
        }
        if (n == 0) return ::close(to.release()) == 0;
    }
}

// Keeps the current file under the backup name. A hard link keeps the file name in place the
// whole time; a file system without hard links gets a copy, so that the name never goes
// missing either (a backup made by renaming would leave no client file after a crash before
// the new file is moved in).
// When the backup cannot be made, `failure` tells why; the save goes on without it.
void makeBackup(const std::string& path, const GeneralSettings& settings, std::string& failure) {
    struct stat info {};
    if (settings.backup == 0 || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size < kBackupMinimumSize)
        return;
    const std::string backup = path + ".bak";
    if (::unlink(backup.c_str()) != 0 && errno != ENOENT) {
        failure = errorText(errno);
        return;
    }
    if (::link(path.c_str(), backup.c_str()) != 0 && !copyToBackup(path, backup)) failure = errorText(errno);
}

std::optional<SaveFailure> replaceFile(ClientTable& table, ClientList list, const ListFile& file,
                                       const GeneralSettings& settings, LogSink& log, Mutex* fieldsLock,
                                       std::string& backupFailure) {
    if (file.replaceRefused) return SaveFailure{"file kept unread", 0};
    // A client file linked into the data directory is replaced where it lives, its ".tmp" and
    // ".bak" beside it, so that the link stays and leads to the new file.
    const std::optional<std::string> target = platform::linkTarget(file.path);
    if (!target) return SaveFailure{"follow link", errno};
    const std::string& path = *target;
    const std::string temporary = path + ".tmp";
    // A save made while root runs the server leaves a file the service's user still reads.
    FileDescriptor fd = platform::createReplacement(temporary, path);
    if (!fd) return SaveFailure{"create", errno};
    log.line(3, false, "saving %s...\n", file.path.c_str());

    std::uint32_t unwritable = 0;
    std::string content;
    try {
        content = formatList(table, list, settings, fieldsLock, unwritable);
        content += file.keptTail;
    } catch (const std::bad_alloc&) {
        ::unlink(temporary.c_str());
        return SaveFailure{"format", ENOMEM};
    }
    if (unwritable != 0)
        log.line(1, false, "DHCP  Error   %s: %u records without identity not saved\n", file.path.c_str(), unwritable);

    // Until the new file is on disk in full, the old one must stay where it is.
    if (!writeAll(fd.get(), content) || ::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return SaveFailure{"write", error};
    }
    makeBackup(path, settings, backupFailure);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return SaveFailure{"rename", error};
    }
    if (const int error = syncDirectory(path); error != 0) return SaveFailure{"sync directory", error};
    return std::nullopt;
}

}  // namespace

ListFile& ClientFiles::of(ClientList list) {
    switch (list) {
        case ClientList::Static:
            return ethers;
        case ClientList::Dynamic:
            return dynamic;
        default:
            return ignored;
    }
}

const ListFile& ClientFiles::of(ClientList list) const {
    switch (list) {
        case ClientList::Static:
            return ethers;
        case ClientList::Dynamic:
            return dynamic;
        default:
            return ignored;
    }
}

ClientFiles clientFilePaths(const ConfigStore& store, std::string_view dataDirectory) {
    ClientFiles files;
    const std::string directory(dataDirectory);
    files.ethers.path = store.readText(kGeneralSection, "Ethers", directory + "ethers", kPathCapacity);
    files.dynamic.path = store.readText(kGeneralSection, "Dynamic", directory + "dynamic", kPathCapacity);
    files.ignored.path = store.readText(kGeneralSection, "Ignored", directory + "ignored", kPathCapacity);
    return files;
}

std::uint32_t loadList(ClientTable& table, ClientList list, const ProfileList& profiles, ListFile& file,
                       const GeneralSettings& settings, LogSink& log, std::int64_t now, std::uint32_t* staticTotal) {
    file.keptTail.clear();
    file.replaceRefused = false;
    // Opened without waiting: a FIFO in the file's place would hold the start until something
    // wrote to it.
    FileDescriptor fd(::open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno != ENOENT) {
            log.line(1, false, "DHCP  Error   cannot read %s (%s)\n", file.path.c_str(), errorText(errno).c_str());
            if (!preserveOriginal(file.path, log)) file.replaceRefused = true;
        }
        return 0;
    }
    struct stat info {};
    // A FIFO, a device (a link to /dev/zero reads without end) or a directory holds no list, and
    // is what the administrator put there: it is neither read nor replaced.
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        log.line(1, false, "DHCP  Error   cannot read %s (not a regular file)\n", file.path.c_str());
        file.replaceRefused = true;
        return 0;
    }
    LoadState state{.table = table, .list = list, .profiles = profiles, .settings = settings, .log = log, .now = now};
    if (list == ClientList::Dynamic) state.lastDynamic = table.last(ClientList::Dynamic);

    const auto size = static_cast<std::uint64_t>(std::max<off_t>(info.st_size, 0));
    LineWindow window;
    if (!window.open(fd.get(), size)) {
        keepTail(fd.get(), 0, file, StopReason::NoMemory, 0, log);
        return 0;
    }
    // The table makes room for the file's records at once (as many as the first window holds
    // lines, for each time the window goes into the file), and the pools' indexes are made
    // before, so that each record goes into them as it is linked.
    if (window.fillFirst() && size > 0) {
        const double windows = static_cast<double>(size) / static_cast<double>(window.readSoFar());
        table.reserve(list, static_cast<std::size_t>(static_cast<double>(window.linesInWindow() + 1) * windows));
    }
    if (list == ClientList::Dynamic) {
        for (const Profile& p : profiles.profiles()) {
            if (p.hasPool()) table.indexPool(PoolRef{p.name, p.baseIp, static_cast<std::uint32_t>(p.range)});
        }
    }
    std::string_view line;
    std::uint64_t lineStart = 0;
    std::uint32_t lineNo = 0;
    StopReason stop = StopReason::None;
    while (stop == StopReason::None) {
        if (!window.next(line, lineStart)) {
            if (window.failed()) stop = StopReason::ReadError;
            break;
        }
        // Editors on other systems may begin a text file with the UTF-8 byte order mark,
        // which is no part of the first identity; files joined into one carry it on the line
        // each began with. Taken off every line alike, a line reads the same wherever a save
        // puts it: lines kept unread come first in a file saved without records.
        if (line.starts_with(kUtf8ByteOrderMark)) line.remove_prefix(kUtf8ByteOrderMark.size());
        if (window.cut())
            log.line(1, false, "DHCP  Error   %s %u: longer than %zu characters, the rest of the line not read\n",
                     file.path.c_str(), lineNo, kMaxEntryLine);
        stop = stopReasonOf(loadLine(line, !window.ended(), lineNo, file.path, state));
        // The server ends every line it writes; a dynamic file whose last line has no end was
        // cut short by something else (a copy, a full disk). The line is read as it stands, but
        // for a lease's time that may have lost digits.
        if (!window.ended() && list == ClientList::Dynamic && !blankOnly(line) && !state.heldCutLease)
            log.line(1, false, "DHCP  Error   %s %u: the last line has no line break (the file was cut short?)\n",
                     file.path.c_str(), lineNo);
        if (stop == StopReason::None) ++lineNo;
    }
    if (stop != StopReason::None) keepTail(fd.get(), lineStart, file, stop, lineNo, log);
    if (const std::uint32_t dropped = state.outsidePool + state.addressTaken; dropped != 0) {
        log.line(1, false,
                 "DHCP  Leases  %s: %u lines not loaded (%u outside the profile's pool, %u at an address loaded "
                 "before), the first is line %u\n",
                 file.path.c_str(), dropped, state.outsidePool, state.addressTaken, state.firstDropped);
    }

    if (state.pastIgnoredCap != 0)
        log.line(1, false, "DHCP  Leases  %s: %u lines past the %zu most recent clients not loaded\n",
                 file.path.c_str(), state.pastIgnoredCap, kMaxIgnoredClients);
    // The ignored list keeps the most recent client first, as the file does.
    for (auto it = state.ignored.rbegin(); it != state.ignored.rend(); ++it) table.pushIgnored(**it);
    if (staticTotal != nullptr) *staticTotal += state.staticTotal;
    return list == ClientList::Ignored ? 0 : state.counted;
}

LoadCounts loadClientFiles(ClientTable& table, const ProfileList& profiles, ClientFiles& files,
                           const GeneralSettings& settings, LogSink& log, std::int64_t now, const LeaseEnding& ending) {
    LoadCounts counts;
    log.line(2, false, "loading %s \n", files.ethers.path.c_str());
    counts.staticSeen =
        loadList(table, ClientList::Static, profiles, files.ethers, settings, log, now, &counts.staticTotal);
    log.line(2, false, "loading %s \n", files.dynamic.path.c_str());
    counts.dynamicActive = loadList(table, ClientList::Dynamic, profiles, files.dynamic, settings, log, now);
    // A static entry added to the ethers file while the server was stopped may take the address
    // of a lease that still runs: the lease ends, and ending takes its names.
    if (settings.autoExclude != 0) reserveAllStatic(table, profiles, ending);
    log.line(2, false, "loading %s \n", files.ignored.path.c_str());
    counts.ignored = loadList(table, ClientList::Ignored, profiles, files.ignored, settings, log, now);
    log.line(2, false, "configured entries %u/%u/%u\n", counts.staticTotal, counts.dynamicActive, counts.ignored);
    if (settings.regOnly == 1) log.line(2, false, "responding only to known addresses\n");
    return counts;
}

namespace {

std::string failureText(const SaveFailure& failure) {
    return std::string(failure.step) + ": " + (failure.error != 0 ? errorText(failure.error) : "not replaced");
}

void logFailure(const ListFile& file, const std::string& reason, LogSink& log) {
    log.line(1, false, "DHCP  Error   failed to save %s (%s)\n", file.path.c_str(), reason.c_str());
}

void logBackupFailure(const ListFile& file, const std::string& reason, LogSink& log) {
    if (!reason.empty())
        log.line(1, false, "DHCP  Error   failed to back up %s (%s)\n", file.path.c_str(), reason.c_str());
}

}  // namespace

bool saveList(ClientTable& table, ClientList list, const ListFile& file, const GeneralSettings& settings, LogSink& log,
              Mutex* fieldsLock) {
    std::string backupFailure;
    const std::optional<SaveFailure> failure = replaceFile(table, list, file, settings, log, fieldsLock, backupFailure);
    logBackupFailure(file, backupFailure, log);
    if (failure) logFailure(file, failureText(*failure), log);
    return !failure;
}

bool saveChangedLists(ClientTable& table, ClientFiles& files, const GeneralSettings& settings, LogSink& log,
                      Mutex* fieldsLock) {
    bool allSaved = true;
    for (ClientList list : {ClientList::Static, ClientList::Dynamic, ClientList::Ignored}) {
        std::atomic<std::int32_t>& changes = table.changes(list);
        const std::int32_t taken = changes.exchange(0);
        if (taken == 0) continue;
        ListFile& file = files.of(list);
        std::string backupFailure;
        const std::optional<SaveFailure> failure =
            replaceFile(table, list, file, settings, log, fieldsLock, backupFailure);
        // A backup that cannot be made is said once too, until one is made again.
        if (backupFailure != file.backupFailing) logBackupFailure(file, backupFailure, log);
        file.backupFailing = std::move(backupFailure);
        if (!failure) {
            if (file.failedAttempts != 0)
                log.line(1, false, "DHCP  Leases  saved %s again after %u failed attempts\n", file.path.c_str(),
                         file.failedAttempts);
            file.failing.clear();
            file.failedAttempts = 0;
            continue;
        }
        // A save that keeps failing is tried every period; the log says so when it starts and
        // when the reason changes, not each time.
        std::string reason = failureText(*failure);
        if (reason != file.failing) logFailure(file, reason, log);
        file.failing = std::move(reason);
        ++file.failedAttempts;
        // Changes made during the attempt stay counted on top of the ones given back.
        changes.fetch_add(taken);
        allSaved = false;
    }
    return allSaved;
}

}  // namespace tolmark
