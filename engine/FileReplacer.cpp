#include "engine/FileReplacer.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavo {

namespace {

// Closes `fd`, retrying nothing: on Linux the descriptor is gone after EINTR.
int closeChecked(int fd)
{
    return ::close(fd) == 0 ? 0 : errno;
}

} // namespace

FileReplacer::FileReplacer(const QString& path, Temporary temporary, Durability durability)
    : m_path(path), m_temporaryKind(temporary), m_durability(durability)
{
}

FileReplacer::~FileReplacer()
{
    discard();
}

QString FileReplacer::errorText() const
{
    return QString::fromLocal8Bit(std::strerror(m_error));
}

bool FileReplacer::fail(int error)
{
    if (m_error == 0)
        m_error = error != 0 ? error : EIO;
    m_ok = false;
    discard();
    return false;
}

void FileReplacer::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temporary.isEmpty()) {
        ::unlink(m_temporary.constData());
        m_temporary.clear();
    }
}

bool FileReplacer::open()
{
    discard();
    m_ok = false;
    m_error = 0;
    if (m_path.isEmpty())
        return fail(ENOENT);
    // One look at the target serves every check (a tile job makes this call
    // thousands of times a second).
    m_target = QFile::encodeName(m_path);
    struct stat existing;
    const bool targetExists = ::stat(m_target.constData(), &existing) == 0;
    if (targetExists && S_ISDIR(existing.st_mode))
        return fail(EISDIR);
    if (targetExists && ::access(m_target.constData(), W_OK) != 0)
        return fail(EACCES);

    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    if (m_temporaryKind == Temporary::PartSuffix) {
        const QByteArray name = m_target + ".part";
        m_fd = ::open(name.constData(), flags, 0666);
        if (m_fd < 0 && errno == EEXIST) {
            // A leftover of an interrupted write is replaced; O_EXCL never
            // follows a link planted under that name.
            ::unlink(name.constData());
            m_fd = ::open(name.constData(), flags, 0666);
        }
        if (m_fd < 0)
            return fail(errno);
        m_temporary = name;
    } else {
        for (int attempt = 0; m_fd < 0; ++attempt) {
            const QByteArray name = m_target + '.' +
                                    QByteArray::number(QRandomGenerator::global()->generate(), 36) +
                                    ".tmp";
            m_fd = ::open(name.constData(), flags, 0666);
            if (m_fd >= 0)
                m_temporary = name;
            else if (errno != EEXIST || attempt == 100)
                return fail(errno);
        }
    }
    // The replaced file keeps its permission bits.
    if (targetExists && ::fchmod(m_fd, existing.st_mode & 07777) != 0)
        return fail(errno);
    m_ok = true;
    return true;
}

bool FileReplacer::write(const QByteArray& bytes)
{
    return write(bytes.constData(), bytes.size());
}

bool FileReplacer::write(const char* data, qint64 size)
{
    if (!m_ok || m_fd < 0)
        return false;
    while (size > 0) {
        const ssize_t written = ::write(m_fd, data, static_cast<size_t>(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        if (written == 0)
            return fail(EIO);
        data += written;
        size -= written;
    }
    return true;
}

bool FileReplacer::finish()
{
    if (!m_ok || m_fd < 0)
        return false;
    // Synced: the bytes must be on the disk before the name points at them; a
    // full disk or an I/O error that the writes did not report shows up here.
    // Either way the close is checked, as some file systems report a full
    // disk only there.
    if (m_durability == Durability::Synced) {
        int result;
        do {
            result = ::fsync(m_fd);
        } while (result != 0 && errno == EINTR);
        if (result != 0)
            return fail(errno);
    }
    const int fd = m_fd;
    m_fd = -1;
    if (const int error = closeChecked(fd))
        return fail(error);
    return true;
}

bool FileReplacer::commit()
{
    if (!finish())
        return false;
    if (::rename(m_temporary.constData(), m_target.constData()) != 0)
        return fail(errno);
    m_temporary.clear();
    m_ok = false; // committed: nothing more to write
    return true;
}

bool FileReplacer::commitIfAbsent()
{
    if (!finish())
        return false;
    // A hard link never replaces an existing file; where links are not
    // supported fall back to a rename after a fresh check.
    if (::link(m_temporary.constData(), m_target.constData()) != 0) {
        const int error = errno;
        if (error == EEXIST || ::access(m_target.constData(), F_OK) == 0)
            return fail(EEXIST);
        if (::rename(m_temporary.constData(), m_target.constData()) != 0)
            return fail(errno);
        m_temporary.clear();
        m_ok = false;
        return true;
    }
    ::unlink(m_temporary.constData());
    m_temporary.clear();
    m_ok = false;
    return true;
}

bool FileReplacer::replace(const QString& path, const QByteArray& bytes, bool* opened, int* error)
{
    FileReplacer file(path);
    const bool created = file.open();
    if (opened)
        *opened = created;
    const bool done = created && file.write(bytes) && file.commit();
    if (error)
        *error = file.error();
    return done;
}

} // namespace tavo
