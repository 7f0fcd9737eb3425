#include "server/http/pagefile.h"

#include <atomic>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace http {

namespace {

std::atomic<int> g_open{0};

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            return false; // an interrupted write to a new memory file is not worth a retry
        done += n;
    }
    return true;
}

} // namespace

std::shared_ptr<const PageFile> PageFile::make(const QByteArray &body, const QByteArray &gzipped)
{
    if (body.size() < minBytes || g_open.fetch_add(1) >= maxOpen) {
        if (body.size() >= minBytes)
            --g_open;
        return {};
    }
    const int fd = ::memfd_create("tavernly-page", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0 || !writeAll(fd, body) || !writeAll(fd, gzipped)) {
        if (fd >= 0)
            ::close(fd);
        --g_open;
        return {};
    }
    // Nobody may change what answers are being sent from.
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return std::shared_ptr<const PageFile>(new PageFile(fd, body.size()));
}

PageFile::~PageFile()
{
    ::close(m_fd);
    --g_open;
}

} // namespace http
