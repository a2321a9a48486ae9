#pragma once

// Two ways to make writes fail as on a full disk, without touching the real
// disk: a tiny file system mounted for the test (needs the right to mount;
// tests skip when it is missing), and a child process whose file-size limit
// makes every write past it fail with EFBIG.

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <csignal>
#include <functional>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavo::testing {

// A tmpfs of `bytes` mounted on a fresh folder; unmounted when destroyed.
class SmallFileSystem
{
public:
    explicit SmallFileSystem(qint64 bytes)
    {
        if (!m_dir.isValid())
            return;
        const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0777";
        m_mounted = ::mount("tavo-test", QFile::encodeName(m_dir.path()).constData(), "tmpfs",
                            MS_NOSUID | MS_NODEV, options.constData()) == 0;
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return m_mounted; }
    QString path() const { return m_dir.path(); }

    // Fills the file system up to its last byte with one file of that name.
    void fill(const QString& name = QStringLiteral("filler")) const
    {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            return;
        const QByteArray block(4096, 'f');
        while (file.write(block) == block.size() && file.flush()) {
        }
        file.close();
        QFile more(m_dir.filePath(name));
        if (more.open(QIODevice::WriteOnly | QIODevice::Append))
            while (more.write("f", 1) == 1 && more.flush()) {
            }
    }
    void removeFiller(const QString& name = QStringLiteral("filler")) const
    {
        QFile::remove(m_dir.filePath(name));
    }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
};

// Runs `body` in a child process and returns its exit status: body's return
// value, or 255 when it crashed. Only for test programs that run no threads
// of their own at that point.
inline int runInChild(const std::function<int()>& body)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(body());
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child)
        return 253;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

// As runInChild, with the child's files not allowed to grow beyond `limit`
// bytes (SIGXFSZ ignored, so such writes fail with EFBIG).
inline int runWithFileSizeLimit(rlim_t limit, const std::function<int()>& body)
{
    return runInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit rl{limit, limit};
        if (::setrlimit(RLIMIT_FSIZE, &rl) != 0)
            return 254;
        return body();
    });
}

} // namespace tavo::testing
