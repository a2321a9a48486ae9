#pragma once

#include <QByteArray>
#include <QString>

namespace tavo {

// Replaces a whole file: the new content goes to a temporary file in the same
// folder, which is renamed over the target only when every byte has been
// written and synced to the disk. Each write, the sync and the close are
// checked; when any of them fails (a full disk, a file-size limit, an I/O
// error) the temporary file is removed and the target is left exactly as it
// was. So a crash or a full disk never leaves a torn or empty file behind.
//
// An existing target that is not writable (read-only) is refused rather than
// silently replaced, as writing it in place would be. The target's folder is
// never created. A replaced file keeps its permission bits.
class FileReplacer final
{
public:
    // How the temporary file is named: a fresh unique name beside the target,
    // or the target's name with ".part" appended (used for tiles, so that a
    // leftover of an interrupted write is recognised in the tile folder).
    enum class Temporary
    {
        Unique,
        PartSuffix
    };

    explicit FileReplacer(const QString& path, Temporary temporary = Temporary::Unique);
    ~FileReplacer(); // removes an uncommitted temporary file
    FileReplacer(const FileReplacer&) = delete;
    FileReplacer& operator=(const FileReplacer&) = delete;

    // False when the temporary file cannot be created.
    bool open();
    // False when the bytes could not be written; every later call then fails.
    bool write(const QByteArray& bytes);
    bool write(const char* data, qint64 size);
    // Syncs the temporary file and renames it over the target; false when
    // anything fails (the old file, if any, is then unchanged).
    bool commit();
    // As commit(), but never replaces an existing target: false (and the
    // temporary file removed) when a file of that name is there already.
    bool commitIfAbsent();

    // The errno of the first failure (0 when none) and its text.
    int error() const { return m_error; }
    QString errorText() const;

    // open + write + commit; false at the first step that fails, with
    // `opened` telling whether the file could be created at all and `error`
    // (when given) the errno of the failure.
    static bool replace(const QString& path, const QByteArray& bytes, bool* opened = nullptr,
                        int* error = nullptr);

private:
    bool fail(int error);
    void discard();
    bool finish(); // sync and close; false on failure (temporary removed)

    QString m_path;
    Temporary m_temporaryKind;
    QByteArray m_target;    // encoded path of the target
    QByteArray m_temporary; // encoded path of the temporary file, empty when none
    int m_fd = -1;
    int m_error = 0;
    bool m_ok = false;
};

} // namespace tavo
