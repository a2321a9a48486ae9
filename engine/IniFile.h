#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <vector>

namespace tavo {

// A settings or project file of sections and "key=value" lines, read when the
// object is made and rewritten at once by every write.
//
// Reading:
//  - section and key names are compared without regard to case; the first
//    section of a name is the one used, and in it the first line of the key;
//  - a key's value is everything after the first '=' of its line, with the
//    blanks (spaces and tabs) around it removed, as the classic profile API
//    reads it. Quotes are kept as they stand;
//  - a value is read as at most its first 2047 characters;
//  - a file larger than MaxFileBytes is not read: every read gives the
//    default and it is never overwritten, as a file that cannot be read;
//  - lines end at CR LF, LF or CR; lines starting with ';' are comments; a
//    UTF-8 byte-order mark at the start is passed over (and kept).
//
// Writing:
//  - an existing key gets a new value on its own line, keeping the name's
//    spelling that the file has; a missing key is added after the last key
//    line of its section (so blank lines closing the section stay last), a
//    missing section is added at the end of the file, both spelt as given;
//  - every other line is kept byte for byte, its line end included, so a
//    file edited by hand with LF line ends keeps them; the lines that a write
//    adds or changes end in CR LF;
//  - the new content replaces the file through a temporary file in the same
//    folder, so a crash never leaves half a file; the folder is never
//    created;
//  - a write that cannot be made throws AppError::unableToWrite(path) and
//    leaves both the file and this object as they were. A file that exists
//    but could not be read is never overwritten. Line breaks in a name or
//    value, '=' in a key or ']' in a section name are refused the same way,
//    since they would make the file read back differently.
class IniFile final
{
public:
    explicit IniFile(const QString& path);
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    QString readString(const QString& section, const QString& key,
                       const QString& defaultValue) const;
    // As readString, but the value exactly as it stands after the '=', blanks
    // around it included (texts stored byte for byte as typed).
    QString readRawString(const QString& section, const QString& key,
                          const QString& defaultValue) const;
    // The value read as StrToInt reads it; a missing key, an empty value or
    // one that is not an integer gives `defaultValue`.
    int readInteger(const QString& section, const QString& key, int defaultValue) const;
    // True when the key is present, even with an empty value.
    bool hasKey(const QString& section, const QString& key) const;

    void writeString(const QString& section, const QString& key, const QString& value);
    void writeInteger(const QString& section, const QString& key, int value);
    // Several keys of one section in a single rewrite of the file: all of
    // them are written, or none.
    void writeStrings(const QString& section, const QList<QPair<QString, QString>>& keyValues);

    QString path() const { return m_path; }

    static constexpr int MaxValueLength = 2047;
    // A larger file is treated as one that cannot be read (see above).
    static constexpr qint64 MaxFileBytes = 256 * 1024;

private:
    struct Line
    {
        QByteArray text;   // without its line end
        QByteArray ending; // "\r\n", "\n", "\r" or empty for a last line without one
    };

    void load();
    QString readValue(const QString& section, const QString& key, const QString& defaultValue,
                      bool trimmed) const;
    void setValue(const QString& section, const QString& key, const QString& value);
    void save();
    // Index of the first key line, or -1.
    qsizetype findKey(const QString& section, const QString& key) const;
    qsizetype findSection(const QString& section) const;

    QString m_path;
    QByteArray m_bom; // a UTF-8 byte-order mark the file starts with, kept as it is
    std::vector<Line> m_lines;
    bool m_unreadable = false;
};

} // namespace tavo
