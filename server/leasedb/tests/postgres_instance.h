#pragma once
// A PostgreSQL server of the tests' own: a cluster made with initdb in a temporary directory,
// reached on a Unix socket in that directory only (no TCP), run as the postgres user when the
// tests run as root. One per test binary; gone with the binary.

#include <sys/stat.h>
#include <unistd.h>

#include <glob.h>
#include <pwd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tolmark::testing {

class PostgresInstance {
public:
    // Why the tests cannot have a server here; empty when they can.
    static std::string unavailableReason() {
        if (binDir().empty()) return "PostgreSQL server binaries (initdb, pg_ctl) are not installed";
        if (::geteuid() == 0 && ::getpwnam("postgres") == nullptr) return "no postgres user to run the server as";
        return {};
    }

    bool start() {
        char pattern[] = "/tmp/tolmark-pg-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return false;
        dir_ = pattern;
        if (::geteuid() == 0) {
            const passwd* pg = ::getpwnam("postgres");
            if (pg == nullptr || ::chown(dir_.c_str(), pg->pw_uid, pg->pw_gid) != 0) return false;
        }
        if (!run(asServer(binDir() + "/initdb -D " + dir_ + "/data -A trust -U postgres --no-sync -E UTF8") +
                 " >/dev/null 2>&1"))
            return false;
        return resume() && sql("CREATE DATABASE tolmark", "postgres").has_value();
    }
    // Stops the server at once (as a crash would) and starts it again.
    bool pause() {
        return run(asServer(binDir() + "/pg_ctl -D " + dir_ + "/data -m immediate -w stop") + " >/dev/null 2>&1");
    }
    bool resume() {
        return run(asServer(binDir() + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/log -w -o \"-k " + dir_ +
                            " -c listen_addresses='' -c fsync=off\" start") +
                   " >/dev/null 2>&1");
    }
    ~PostgresInstance() {
        if (dir_.empty()) return;
        pause();
        run("rm -rf " + dir_);
    }

    std::string connectionString() const { return "host=" + dir_ + " user=postgres dbname=tolmark"; }

    // Runs a statement with psql; the rows as "a|b" lines, or nothing when it failed.
    std::optional<std::string> sql(const std::string& statement, const std::string& database = "tolmark") const {
        const std::string command = binDir() + "/psql -X -q -A -t -v ON_ERROR_STOP=1 -h " + dir_ + " -U postgres -d " +
                                    database + " -c \"" + statement + "\" 2>/dev/null";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return std::nullopt;
        std::string out;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        if (::pclose(pipe) != 0) return std::nullopt;
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }

private:
    static std::string binDir() {
        glob_t found{};
        std::string dir;
        if (::glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
            dir = found.gl_pathv[found.gl_pathc - 1];
            dir.resize(dir.size() - std::string("/initdb").size());
        }
        ::globfree(&found);
        return dir;
    }
    // initdb and the server refuse to run as root.
    static std::string asServer(const std::string& command) {
        return ::geteuid() == 0 ? "runuser -u postgres -- " + command : command;
    }
    static bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

    std::string dir_;
};

}  // namespace tolmark::testing
