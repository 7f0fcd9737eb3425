#pragma once
// A built page's bytes (the page, then its gzipped copy) in an anonymous
// file of their own, so that answers go out with sendfile(): the system
// hands the file's memory to the socket instead of copying the page in
// for every request. Made once per page, on the thread that builds it;
// read-only after that, shared by every answer and closed with the last.

#include <QByteArray>
#include <memory>

namespace http {

class PageFile
{
public:
    // None for small pages (copying them costs less than a second system
    // call), when too many are open already, or if the file cannot be made.
    static std::shared_ptr<const PageFile> make(const QByteArray &body, const QByteArray &gzipped);
    ~PageFile();
    PageFile(const PageFile &) = delete;
    PageFile &operator=(const PageFile &) = delete;

    int descriptor() const { return m_fd; }
    qint64 gzippedOffset() const { return m_gzippedOffset; }

    static constexpr qsizetype minBytes = 8 * 1024;
    // Open at once, in all: each holds a descriptor, and connections need theirs.
    static constexpr int maxOpen = 512;

private:
    PageFile(int fd, qint64 gzippedOffset) : m_fd(fd), m_gzippedOffset(gzippedOffset) {}
    int m_fd;
    qint64 m_gzippedOffset;
};

} // namespace http
