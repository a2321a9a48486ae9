#include "engine/FileReplacer.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
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

// The checks made before an existing target is replaced: 0, or the errno that
// refuses it. `mode` gets the target's permission bits; `exists` whether
// there is a target at all.
int checkTarget(const QByteArray& target, bool& exists, mode_t& mode)
{
    struct stat existing;
    exists = ::stat(target.constData(), &existing) == 0;
    mode = existing.st_mode & 07777;
    if (exists && S_ISDIR(existing.st_mode))
        return EISDIR;
    if (exists && ::access(target.constData(), W_OK) != 0)
        return EACCES;
    return 0;
}

// The file a path names after following symbolic links: a link is replaced
// through, never by, a new file. A link whose target does not exist yet names
// that target; a chain longer than the system's limit is left as it is (the
// write then replaces the last link reached).
QByteArray resolveLinks(QByteArray path)
{
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (::lstat(path.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        QByteArray target(qMax<qint64>(st.st_size, 255) + 1, Qt::Uninitialized);
        const ssize_t n = ::readlink(path.constData(), target.data(), std::size_t(target.size()));
        if (n <= 0 || n >= target.size())
            return path;
        target.truncate(n);
        if (!target.startsWith('/')) {
            const qsizetype slash = path.lastIndexOf('/');
            target.prepend(slash < 0 ? QByteArray() : path.left(slash + 1));
        }
        path = target;
    }
    return path;
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
    m_target = QFile::encodeName(m_path);
    // A project, settings or log file that is a symbolic link is written
    // where it points: the temporary file goes beside the target and is
    // renamed onto it, so the link stays. A file with several hard links is
    // replaced by the rename like any other: its other names keep the earlier
    // content (writing it in place could tear it on a crash or a full disk).
    if (m_temporaryKind == Temporary::Unique)
        m_target = resolveLinks(m_target);
    // A tile's target is looked at only when the rename finds one there (see
    // commit): a job writes thousands of new tiles a second, and a look at a
    // name that does not exist costs a directory search each.
    bool targetExists = false;
    mode_t targetMode = 0;
    if (m_temporaryKind != Temporary::PartSuffix) {
        if (const int refused = checkTarget(m_target, targetExists, targetMode))
            return fail(refused);
    }

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
    if (targetExists && ::fchmod(m_fd, targetMode) != 0)
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
    if (m_temporaryKind == Temporary::PartSuffix) {
        // Most tiles are new: a rename that never replaces puts them in place
        // without a look at the target. When one is there (or the file system
        // cannot rename so), the checks of open() are made now.
        if (::renameat2(AT_FDCWD, m_temporary.constData(), AT_FDCWD, m_target.constData(),
                        RENAME_NOREPLACE) == 0) {
            m_temporary.clear();
            m_ok = false;
            return true;
        }
        bool exists = false;
        mode_t mode = 0;
        if (const int refused = checkTarget(m_target, exists, mode))
            return fail(refused);
        if (exists && ::chmod(m_temporary.constData(), mode) != 0)
            return fail(errno);
    }
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
