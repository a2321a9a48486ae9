#include "engine/FileReplacer.h"

#include <QFileInfo>
#include <QSaveFile>

namespace tavo {

FileReplacer::FileReplacer(const QString& path) : m_path(path) {}

// QSaveFile drops its temporary file when destroyed without a commit.
FileReplacer::~FileReplacer() = default;

bool FileReplacer::open()
{
    m_ok = false;
    if (m_path.isEmpty())
        return false;
    const QFileInfo info(m_path);
    if (info.isDir())
        return false;
    if (info.exists() && !info.isWritable())
        return false;
    m_file = std::make_unique<QSaveFile>(m_path);
    if (!m_file->open(QIODevice::WriteOnly))
        return false;
    m_ok = true;
    return true;
}

bool FileReplacer::write(const QByteArray& bytes)
{
    if (!m_ok || !m_file)
        return false;
    if (m_file->write(bytes) != bytes.size())
        m_ok = false;
    return m_ok;
}

bool FileReplacer::commit()
{
    if (!m_file || !m_file->isOpen())
        return false;
    if (!m_ok) {
        m_file.reset();
        return false;
    }
    m_ok = m_file->commit();
    return m_ok;
}

bool FileReplacer::replace(const QString& path, const QByteArray& bytes, bool* opened)
{
    FileReplacer file(path);
    const bool created = file.open();
    if (opened)
        *opened = created;
    return created && file.write(bytes) && file.commit();
}

} // namespace tavo
