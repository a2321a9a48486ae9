#pragma once

#include <QString>
#include <stdexcept>

namespace tavo {

// An error raised inside a command or a timer step. Its text is shown as it
// stands in the program's general error box, and the program goes on.
class AppError : public std::runtime_error
{
public:
    explicit AppError(const QString& message) : std::runtime_error(message.toStdString()) {}
    QString text() const { return QString::fromUtf8(what()); }

    static AppError cannotOpenFile(const QString& path)
    {
        return AppError(QStringLiteral("Cannot open file %1").arg(path));
    }
    static AppError cannotCreateFile(const QString& path)
    {
        return AppError(QStringLiteral("Cannot create file %1").arg(path));
    }
    static AppError listIndexOutOfBounds(int index)
    {
        return AppError(QStringLiteral("List index out of bounds (%1)").arg(index));
    }
    static AppError notAnInteger(const QString& text)
    {
        return AppError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    }
    static AppError unableToWrite(const QString& path)
    {
        return AppError(QStringLiteral("Unable to write to %1").arg(path));
    }
};

} // namespace tavo
