// file_open on POSIX systems: file names are UTF-8 bytes already.
#include "file_open.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <string>

FILE* OpenFileForReading(const char* utf8_path)
{
    return fopen(utf8_path, "rb");
}

static int Fail(const std::string& temp, char* reason, size_t reason_size)
{
    snprintf(reason, reason_size, "%s", strerror(errno));
    unlink(temp.c_str());
    return 0;
}

int WriteWholeFile(const char* utf8_path, const void* bytes, size_t n, char* reason, size_t reason_size)
{
    std::string temp = std::string(utf8_path) + ".saving";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return 0;
    }
    const char* at = static_cast<const char*>(bytes);
    for (size_t done = 0; done < n;) {
        ssize_t wrote = write(fd, at + done, n - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            if (wrote == 0)
                errno = ENOSPC;
            int kept = errno;
            close(fd);
            errno = kept;
            return Fail(temp, reason, reason_size);
        }
        done += static_cast<size_t>(wrote);
    }
    if (fsync(fd) != 0 || close(fd) != 0)
        return Fail(temp, reason, reason_size);
    if (rename(temp.c_str(), utf8_path) != 0)
        return Fail(temp, reason, reason_size);
    return 1;
}
