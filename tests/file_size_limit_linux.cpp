#include "file_size_limit.h"

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

file_size_limit::file_size_limit(qint64 bytes)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0)
        return;
    m_before = limit.rlim_cur;
    std::signal(SIGXFSZ, SIG_IGN); // a write past the limit then fails with EFBIG instead
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    m_active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

file_size_limit::~file_size_limit()
{
    rlimit limit{};
    if (m_active && getrlimit(RLIMIT_FSIZE, &limit) == 0) {
        limit.rlim_cur = static_cast<rlim_t>(m_before);
        setrlimit(RLIMIT_FSIZE, &limit);
    }
}

small_folder::small_folder(const QString& folder, qint64 bytes) : m_folder(folder.toUtf8())
{
    const QByteArray size = "size=" + QByteArray::number(bytes);
    m_active = geteuid() == 0 && ::mount("tmpfs", m_folder.constData(), "tmpfs", 0, size.constData()) == 0;
}

small_folder::~small_folder()
{
    if (m_active)
        ::umount2(m_folder.constData(), MNT_DETACH);
}
