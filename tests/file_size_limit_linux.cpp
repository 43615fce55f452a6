#include "file_size_limit.h"

#include <QFile>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>

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

small_folder::small_folder(const QString& folder, qint64 bytes)
{
    const QByteArray path = QFile::encodeName(folder), options = "size=" + QByteArray::number(bytes);
    if (::mount("tmpfs", path.constData(), "tmpfs", 0, options.constData()) == 0)
        m_mounted = path;
}

small_folder::~small_folder()
{
    if (active())
        ::umount2(m_mounted.constData(), MNT_DETACH);
}
