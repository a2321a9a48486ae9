#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QSaveFile;

namespace tavo {

// Replaces a whole file: the new content goes to a temporary file in the same
// folder, which is renamed over the target only when everything has been
// written, so a crash or a full disk never leaves a torn file behind.
//
// An existing target that is not writable (read-only) is refused rather than
// silently replaced, as writing it in place would be. The target's folder is
// never created.
class FileReplacer final
{
public:
    explicit FileReplacer(const QString& path);
    ~FileReplacer(); // discards an uncommitted temporary file
    FileReplacer(const FileReplacer&) = delete;
    FileReplacer& operator=(const FileReplacer&) = delete;

    // False when the file cannot be created.
    bool open();
    // False when the bytes could not be written.
    bool write(const QByteArray& bytes);
    // Puts the new content in place; false when that fails (the old file,
    // if any, is then unchanged).
    bool commit();

    // open + write + commit; false at the first step that fails, with
    // `opened` telling whether the file could be created at all.
    static bool replace(const QString& path, const QByteArray& bytes, bool* opened = nullptr);

private:
    QString m_path;
    std::unique_ptr<QSaveFile> m_file;
    bool m_ok = false;
};

} // namespace tavo
