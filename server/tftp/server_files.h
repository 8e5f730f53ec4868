#pragma once
// The server's own files, which TFTP never reads or writes whatever its root: the configuration,
// the client files with their temporary and backup companions, the registry stand-in, and the
// log files in the log directory. A file is known by the directory that holds it and its name
// (so also one that does not exist yet, which an upload would create), and by its identity on
// disk (so also through another name that leads to it). A file linked in from elsewhere is also
// known by the name it has there, where its companions are written.

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

namespace tolmark::tftp {

struct ServerFiles {
    std::string dataDirectory;       // the root when "TFTPDirectory" is empty
    std::vector<std::string> files;  // full paths
    std::string logDirectory;
};

class ServerFileGuard {
public:
    ServerFileGuard() = default;
    // Looks the files and their directories up now.
    explicit ServerFileGuard(const ServerFiles& files);

    // Whether the name in the open directory is one of the server's files; object: the status of
    // what the name leads to, when it exists.
    bool protects(int directoryFd, std::string_view leaf, const struct stat* object) const;

private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        bool operator==(const Identity&) const = default;
    };
    struct NamedFile {
        Identity directory;
        std::string name;
    };
    void addFile(const std::string& path);

    std::vector<NamedFile> names_;
    std::vector<Identity> objects_;
    std::vector<Identity> logDirectories_;
};

}  // namespace tolmark::tftp
