#pragma once

#include <QByteArray>
#include <QString>

namespace tavo {

// Replaces a whole file: the new content goes to a temporary file in the same
// folder, which is renamed over the target only when every byte has been
// written and (unless Durability::Unsynced) synced to the disk. Each write, the
// sync and the close are checked; when any of them fails (a full disk, a
// file-size limit, an I/O error) the temporary file is removed and the target
// is left exactly as it was. So a crash or a full disk never leaves a torn or
// empty file behind.
//
// Unsynced files skip only the sync: readers still never see them half
// written, and a full disk or a size limit still leaves the old file, as the
// writes and the close report those. What they give up is surviving a power
// cut: the newest of them may then be missing or empty afterwards. Tiles are
// written so (a lost tile is found by the job-folder scan and fetched again);
// project, settings and log files are always synced.
//
// With Temporary::Unique a target that is a symbolic link is followed: the
// file it points to is replaced (the temporary file is made beside it) and the
// link stays. A target with several hard links is replaced by the rename too:
// only this name gets the new content.
//
// An existing target that is not writable (read-only) is refused rather than
// silently replaced, as writing it in place would be. The target's folder is
// never created. A replaced file keeps its permission bits. Those checks are
// made by open(), except for ".part" temporaries (tiles), where commit() makes
// them when it finds a target there: open() then fails only when the
// temporary file cannot be created.
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

    // Whether commit waits until the bytes are on the disk (see above).
    enum class Durability
    {
        Synced,
        Unsynced
    };

    explicit FileReplacer(const QString& path, Temporary temporary = Temporary::Unique,
                          Durability durability = Durability::Synced);
    ~FileReplacer(); // removes an uncommitted temporary file
    FileReplacer(const FileReplacer&) = delete;
    FileReplacer& operator=(const FileReplacer&) = delete;

    // False when the temporary file cannot be created.
    bool open();
    // False when the bytes could not be written; every later call then fails.
    bool write(const QByteArray& bytes);
    bool write(const char* data, qint64 size);
    // Syncs (when Synced) and closes the temporary file and renames it over
    // the target; false when
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
    bool finish(); // sync (when Synced) and close; false on failure (temporary removed)

    QString m_path;
    Temporary m_temporaryKind;
    Durability m_durability;
    QByteArray m_target;    // encoded path of the target
    QByteArray m_temporary; // encoded path of the temporary file, empty when none
    int m_fd = -1;
    int m_error = 0;
    bool m_ok = false;
};

} // namespace tavo
