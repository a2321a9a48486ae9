#pragma once

#include "engine/TileTypes.h"
#include "files/Settings.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace tavo {

// The log file of a project: the project's base name followed by "_log.txt".
QString logFileNameFor(const QString& projectBase);

// What the header of a new job's log reports.
struct NewJobHeader
{
    // The area the job's tiles cover, in degrees.
    struct Extent
    {
        double left = 0, right = 0, top = 0, bottom = 0;
    };

    QString saveFolder, projectName;
    ProxySettings proxy;
    AreaTexts area; // as typed
    TileRect rect;  // its count is the job's number of tiles
    Extent download;
    int threadCount = 0;
    int zoom = 0;
    QDateTime now;
};

// The lines that open a new job's log. When a proxy is used its settings are
// listed, the password as one '*' per character: logs get pasted into help
// requests, so the password never goes into one.
QStringList newJobHeaderLines(const NewJobHeader& header);

// The lines that mark a continued job, after the lines of its earlier runs.
QStringList resumedJobLines(const QDateTime& now);

// The closing report of a job; `logPath` is where the log is saved.
QStringList finishLines(const QDateTime& now, const QString& logPath);

// What replaces the closing report's last line when the log could not be saved.
QString notSavedLine(const QString& logPath);

// The line a save writes when it finds its file removed or cut.
extern const QString LostLinesLine;

// The job log: every line ever appended, shown through a bounded view and
// saved incrementally to the log file.
//
// A job of millions of tiles writes millions of lines, so the log never holds
// them all. It keeps
//  - the lines the log window has not taken yet, at most viewCap() of them
//    (the window holds the ones before);
//  - the last line;
//  - the lines not yet saved.
// save(path) writes what is needed to make the file hold exactly every line
// of the log, each followed by CR LF, in UTF-8: the first save after clear()
// replaces the file with everything so far, later saves append only the new
// lines. After loadForResume(path) the file already holds the earlier lines,
// so saves to it append after them; when that file did not use CR LF
// throughout (or lacked the final one), the first save rewrites it once,
// streaming it through with its line ends made CR LF and its bytes otherwise
// unchanged. Saving to a path other than the one last saved or loaded
// streams the earlier content across in the same way.
//
// Appending trusts the file: if something else changed it between two saves,
// the new lines are still appended to whatever is there (the earlier lines
// are not held, so they could not be written again anyway). A file found
// removed, or shorter than what was saved to it, first gets LostLinesLine
// (shown in the window too), then the new lines.
// When a save fails nothing counts as saved, and the next save writes those
// lines again; an append that fails part-way is cut back first. Lines pile up
// in memory only while saves keep failing.
class JobLog final
{
public:
    static constexpr int DefaultViewCap = 10000;

    JobLog() = default;
    JobLog(const JobLog&) = delete;
    JobLog& operator=(const JobLog&) = delete;

    // Appends `text` as a multi-line edit control takes it: CR, LF or CR LF
    // inside it start a new line, so "a\nb" is two lines and "a\r\n" is "a"
    // followed by an empty line; an empty text is one empty line.
    void append(const QString& text);
    void append(const QStringList& lines);

    // Empties the log; the next save replaces the file.
    void clear();

    // Replaces the log by the lines of the file at `path`: CR, LF or CR LF end
    // a line and a final line break adds no empty line. The file is read as a
    // stream in bounded pieces; only the view's tail is kept, each of its
    // lines cut to ViewLineBytes bytes. Throws
    // AppError::cannotOpenFile(path), leaving the log unchanged, when the
    // file cannot be read.
    void loadForResume(const QString& path);

    // Brings the file at `path` up to date (see above). Throws
    // AppError::cannotCreateFile(path) when the file cannot be opened or
    // created and AppError::unableToWrite(path) when writing it fails.
    void save(const QString& path);

    // Appends the closing report (finishLines) and saves. When the save
    // fails the report's last line, "Log file has been saved to ...", is
    // notSavedLine(path) instead, and the error is thrown on.
    void saveWithClosingReport(const QDateTime& now, const QString& path);

    // Lines longer than this many bytes are shown cut when a log is loaded.
    static constexpr qsizetype ViewLineBytes = 4096;

    // What the log window has to do to show the lines appended since the
    // last take: append `lines`, or, when `reset` is set (after clear(),
    // loadForResume() or more than viewCap() new lines), replace everything
    // it shows by `lines`, which are then the last lines of the log, at most
    // viewCap() of them. A window that keeps at most viewCap() lines itself
    // then always shows the last viewCap() lines of the log.
    struct ViewUpdate
    {
        bool reset = false;
        QStringList lines;
    };
    ViewUpdate takeViewUpdate();

    // Number of lines of the whole log, loaded ones included.
    qint64 lineCount() const { return m_lineCount; }
    // The last line, empty when the log is empty.
    QString lastLine() const { return m_lastLine; }

    int viewCap() const { return m_viewCap; }
    // At least 1.
    void setViewCap(int cap);

private:
    void addLine(const QString& line);
    void showLine(const QString& line);
    void trimNewViewLines();
    void writeAll(const QString& path);
    void appendUnsaved(const QString& path);

    int m_viewCap = DefaultViewCap;
    // The lines since the last take, oldest first; after a reset, the last
    // lines of the log.
    QStringList m_newViewLines;
    bool m_viewReset = true;
    QString m_lastLine;
    qint64 m_lineCount = 0;

    QByteArray m_unsaved; // the lines not yet saved, each in UTF-8 and ended by CR LF
    // The file holding every line before m_unsaved; empty when none does.
    QString m_basePath;
    // True when that file is exactly those lines, each ended by CR LF.
    bool m_baseExact = false;
    qint64 m_savedSize = 0; // the size that file had after the last save or load
};

} // namespace tavo
