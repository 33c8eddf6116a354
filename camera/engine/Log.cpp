// Log: the camera's stderr lines, with sd-daemon priority prefixes when stderr is the journal.
#include "camera/engine/Log.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace kova::engine {

namespace {

// The service manager names the journal stream it connected as "<device>:<inode>"; stderr is
// that stream only if it is still the same file (a child may have been given another one).
bool stderrIsTheJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    unsigned long long device = 0;
    unsigned long long inode = 0;
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(STDERR_FILENO, &status) == 0 && device == status.st_dev &&
           inode == status.st_ino;
}

const char* prefixOf(Priority priority) {
    switch (priority) {
        case Priority::Error:
            return SD_ERR;
        case Priority::Warning:
            return SD_WARNING;
        case Priority::Notice:
            return SD_NOTICE;
        case Priority::Info:
            return SD_INFO;
        case Priority::Debug:
            return SD_DEBUG;
    }
    return SD_ERR;
}

}  // namespace

void log(Priority priority, const std::string& line) {
    static const bool prefixed = stderrIsTheJournal();
    std::fprintf(stderr, "%skova-camera: %s\n", prefixed ? prefixOf(priority) : "", line.c_str());
}

}  // namespace kova::engine
