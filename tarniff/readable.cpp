// Whether a path names a file that can be read, told before it is opened.
#include "tarniff/tarniff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "tarniff/open_to_look.h"

namespace tarniff {

uint64_t CheckReadable(const std::string& path, const std::string& name) {
    // Looked at before it is opened: the open of a FIFO waits for a writer, and that of a device
    // may do something.
    const std::string cannot = name + ": cannot open: ";
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        const int why = errno;
        throw Error::OfSystem(cannot + std::strerror(why), why);
    }
    if (S_ISDIR(status.st_mode)) throw Error::OfSystem(cannot + "it is a directory", EISDIR);
    if (!S_ISREG(status.st_mode)) throw Error::OfSystem(cannot + "not a regular file", EINVAL);
    int fd = open(path.c_str(), kOpenToLook);
    if (fd < 0) {
        const int why = errno;
        throw Error::OfSystem(cannot + std::strerror(why), why);
    }
    const bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    close(fd);
    if (!regular) throw Error::OfSystem(cannot + "not a regular file", EINVAL);
    return static_cast<uint64_t>(status.st_size);
}

}  // namespace tarniff
