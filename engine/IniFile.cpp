#include "engine/IniFile.h"

#include "engine/AppError.h"
#include "engine/FileReplacer.h"
#include "engine/LineReader.h"
#include "engine/TextConv.h"

#include <QFile>

namespace tavo {

namespace {

const QByteArray CrLf("\r\n");
const QByteArray Lf("\n"); // shared by every line that ends so
const QByteArray Cr("\r");

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray trimBlanks(const QByteArray& bytes)
{
    qsizetype begin = 0;
    qsizetype end = bytes.size();
    while (begin < end && isBlank(bytes[begin]))
        ++begin;
    while (end > begin && isBlank(bytes[end - 1]))
        --end;
    return bytes.mid(begin, end - begin);
}

// "[name]" -> true and the name (blanks around it removed).
bool parseSection(const QByteArray& line, QString& name)
{
    const QByteArray text = trimBlanks(line);
    if (!text.startsWith('['))
        return false;
    qsizetype close = text.indexOf(']');
    if (close < 0)
        close = text.size();
    name = QString::fromUtf8(trimBlanks(text.mid(1, close - 1)));
    return true;
}

// "name=value" -> true, the name and the raw bytes after the first '='.
bool parseKey(const QByteArray& line, QString& name, QByteArray* rawValue = nullptr)
{
    const qsizetype eq = line.indexOf('=');
    if (eq < 0)
        return false;
    const QByteArray keyBytes = trimBlanks(line.left(eq));
    if (keyBytes.isEmpty() || keyBytes.startsWith(';') || keyBytes.startsWith('['))
        return false;
    name = QString::fromUtf8(keyBytes);
    if (rawValue)
        *rawValue = line.mid(eq + 1);
    return true;
}

bool sameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool hasLineBreak(const QString& text)
{
    return text.contains(u'\r') || text.contains(u'\n');
}

} // namespace

IniFile::IniFile(const QString& path) : m_path(path)
{
    load();
}

void IniFile::load()
{
    QFile file(m_path);
    if (!file.exists())
        return;
    // A file far larger than any settings or project file (a runaway
    // editor, a file of blank lines) is not taken in line by line: it counts
    // as unreadable, so it is neither used nor overwritten.
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxFileBytes) {
        m_unreadable = true;
        return;
    }
    LineReader reader(file);
    QByteArray text;
    LineReader::Ending ending;
    while (reader.next(text, &ending)) {
        QByteArray endingBytes;
        switch (ending) {
        case LineReader::Ending::CrLf:
            endingBytes = CrLf;
            break;
        case LineReader::Ending::Lf:
            endingBytes = Lf;
            break;
        case LineReader::Ending::Cr:
            endingBytes = Cr;
            break;
        case LineReader::Ending::None:
            break;
        }
        m_lines.push_back({text, endingBytes});
    }
    // A byte-order mark that an editor put in front is kept, but is not part
    // of the first line's name.
    const QByteArray bom("\xEF\xBB\xBF");
    if (!m_lines.empty() && m_lines.front().text.startsWith(bom)) {
        m_bom = bom;
        m_lines.front().text.remove(0, bom.size());
    }
    if (reader.failed()) {
        m_lines.clear();
        m_unreadable = true;
        return;
    }
}

qsizetype IniFile::findSection(const QString& section) const
{
    QString name;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (parseSection(m_lines[i].text, name) && sameName(name, section))
            return static_cast<qsizetype>(i);
    }
    return -1;
}

qsizetype IniFile::findKey(const QString& section, const QString& key) const
{
    const qsizetype header = findSection(section);
    if (header < 0)
        return -1;
    QString name;
    for (size_t i = static_cast<size_t>(header) + 1; i < m_lines.size(); ++i) {
        const QByteArray& text = m_lines[i].text;
        if (parseSection(text, name))
            break;
        if (parseKey(text, name) && sameName(name, key))
            return static_cast<qsizetype>(i);
    }
    return -1;
}

QString IniFile::readString(const QString& section, const QString& key,
                            const QString& defaultValue) const
{
    return readValue(section, key, defaultValue, true);
}

QString IniFile::readRawString(const QString& section, const QString& key,
                               const QString& defaultValue) const
{
    return readValue(section, key, defaultValue, false);
}

QString IniFile::readValue(const QString& section, const QString& key, const QString& defaultValue,
                           bool trimmed) const
{
    const qsizetype index = findKey(section, key);
    QString value = defaultValue;
    if (index >= 0) {
        QString name;
        QByteArray raw;
        parseKey(m_lines[static_cast<size_t>(index)].text, name, &raw);
        value = QString::fromUtf8(trimmed ? trimBlanks(raw) : raw);
    }
    if (value.size() > MaxValueLength) {
        qsizetype length = MaxValueLength;
        // Never cut a character that needs two UTF-16 units in half.
        if (value[length - 1].isHighSurrogate())
            --length;
        value.truncate(length);
    }
    return value;
}

int IniFile::readInteger(const QString& section, const QString& key, int defaultValue) const
{
    int value = defaultValue;
    if (!tryStrToInt(readString(section, key, QString()), value))
        return defaultValue;
    return value;
}

bool IniFile::hasKey(const QString& section, const QString& key) const
{
    return findKey(section, key) >= 0;
}

void IniFile::setValue(const QString& section, const QString& key, const QString& value)
{
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value) ||
        section.contains(u']') || key.contains(u'=') || key.trimmed().isEmpty())
        throw AppError::unableToWrite(m_path);

    const qsizetype existing = findKey(section, key);
    if (existing >= 0) {
        Line& line = m_lines[static_cast<size_t>(existing)];
        QString storedName;
        parseKey(line.text, storedName);
        line.text = storedName.toUtf8() + '=' + value.toUtf8();
        line.ending = CrLf;
        return;
    }

    const Line keyLine{key.toUtf8() + '=' + value.toUtf8(), CrLf};
    const qsizetype header = findSection(section);
    if (header < 0) {
        if (!m_lines.empty() && m_lines.back().ending.isEmpty())
            m_lines.back().ending = CrLf;
        m_lines.push_back({'[' + section.toUtf8() + ']', CrLf});
        m_lines.push_back(keyLine);
        return;
    }

    // After the last key line of the section, or right after its header.
    size_t insertAt = static_cast<size_t>(header) + 1;
    QString name;
    for (size_t i = insertAt; i < m_lines.size(); ++i) {
        if (parseSection(m_lines[i].text, name))
            break;
        if (parseKey(m_lines[i].text, name))
            insertAt = i + 1;
    }
    if (m_lines[insertAt - 1].ending.isEmpty())
        m_lines[insertAt - 1].ending = CrLf;
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAt), keyLine);
}

void IniFile::save()
{
    QByteArray bytes = m_bom;
    for (const Line& line : m_lines) {
        bytes += line.text;
        bytes += line.ending;
    }
    if (!FileReplacer::replace(m_path, bytes))
        throw AppError::unableToWrite(m_path);
}

void IniFile::writeString(const QString& section, const QString& key, const QString& value)
{
    writeStrings(section, {{key, value}});
}

void IniFile::writeInteger(const QString& section, const QString& key, int value)
{
    writeString(section, key, QString::number(value));
}

void IniFile::writeStrings(const QString& section, const QList<QPair<QString, QString>>& keyValues)
{
    if (m_unreadable)
        throw AppError::unableToWrite(m_path);
    const std::vector<Line> before = m_lines;
    try {
        for (const auto& keyValue : keyValues)
            setValue(section, keyValue.first, keyValue.second);
        save();
    } catch (...) {
        m_lines = before;
        throw;
    }
}

} // namespace tavo
