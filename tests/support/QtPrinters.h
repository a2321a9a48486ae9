#pragma once

#include <QString>
#include <QStringList>
#include <ostream>

// Readable GoogleTest output for Qt texts.
inline std::ostream& operator<<(std::ostream& out, const QString& text)
{
    return out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << text;
}
inline void PrintTo(const QStringList& list, std::ostream* out)
{
    *out << '{';
    for (qsizetype i = 0; i < list.size(); ++i)
        *out << (i ? ", " : "") << list[i];
    *out << '}';
}
