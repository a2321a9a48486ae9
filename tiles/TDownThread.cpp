#include "tiles/TDownThread.h"

#include "engine/AppError.h"
#include "http/HttpClient.h"
#include "engine/TileMath.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

namespace tavo {

const char* const UrlHead = "http://ecn.t";
const char* const UrlMiddle = ".tiles.virtualearth.net/tiles/a";

namespace {

// A connection reset is retried at once, but not for ever.
constexpr int MaxResetRetries = 5;
// Time-outs of the worker's HTTP client.
constexpr long ConnectTimeoutMs = 10000;
constexpr long StallTimeoutMs = 20000;
// The pause after a stored tile is slept in slices this long, so a stop request ends it.
constexpr int PauseSliceMs = 50;

const QString BannedText = QStringLiteral("Error: may be your IP is banned now.\n"
                                          "Please try again later.");
const QString NotFoundText = QStringLiteral("Error: the image is not found on server.\n"
                                            "Please enter a small zoom to try.");

bool contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Writes `bytes` to `temporary`, a new file in the target's folder. Returns 0 or an errno.
int writeTemporary(const QByteArray& temporary, const char* data, std::size_t size)
{
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    int error = writeAll(fd, data, size) ? 0 : errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0)
        ::unlink(temporary.constData());
    return error;
}

// Stores a tile: written under a temporary name in the same folder, then renamed
// over `target`, so `target` is never seen half written. Returns 0 or an errno.
int storeTile(const QByteArray& target, const std::string& body)
{
    const QByteArray temporary = target + ".part";
    if (const int error = writeTemporary(temporary, body.data(), body.size()))
        return error;
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return error;
    }
    return 0;
}

// Puts a copy of the placeholder image at `target` unless a file is there already.
// The outcome is not reported: a missing placeholder leaves the tile missing.
void copyPlaceholder(const QString& placeholderPath, const QByteArray& target)
{
    if (::access(target.constData(), F_OK) == 0)
        return;
    QFile placeholder(placeholderPath);
    if (!placeholder.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = placeholder.readAll();
    const QByteArray temporary = target + ".part";
    if (writeTemporary(temporary, bytes.constData(), static_cast<std::size_t>(bytes.size())) != 0)
        return;
    // A hard link never replaces an existing file; where links are not supported
    // fall back to a rename after a fresh check.
    if (::link(temporary.constData(), target.constData()) != 0 && errno != EEXIST &&
        ::access(target.constData(), F_OK) != 0) {
        if (::rename(temporary.constData(), target.constData()) == 0)
            return;
    }
    ::unlink(temporary.constData());
}

enum class FetchResult
{
    Ok,
    Failed,
    Stopped
};

struct Fetch
{
    FetchResult result = FetchResult::Ok;
    bool hasMessage = false; // false for a failure that is not an exception object
    std::string message;
};

// GETs `url` into `body`. A connection reset is retried at once, with an empty
// buffer, up to MaxResetRetries times; between the retries a stop request ends
// the attempt (FetchResult::Stopped) and leaves the tile undone.
template <typename StopRequested>
Fetch fetchTile(http::HttpClient& client, const std::string& url, std::string& body,
                StopRequested stopRequested)
{
    Fetch fetch;
    for (int resets = 0;; ++resets) {
        body.clear();
        try {
            client.get(url, body);
            fetch.result = FetchResult::Ok;
            return fetch;
        } catch (const std::exception& error) {
            fetch.result = FetchResult::Failed;
            fetch.hasMessage = true;
            fetch.message = error.what();
        } catch (...) {
            fetch.result = FetchResult::Failed;
            fetch.hasMessage = false;
            fetch.message.clear();
        }
        body.clear();
        if (!fetch.hasMessage || !contains(fetch.message, "10054") || resets == MaxResetRetries)
            return fetch;
        if (stopRequested()) {
            fetch.result = FetchResult::Stopped;
            return fetch;
        }
    }
}

} // namespace

std::optional<qint32> IntegerFromText(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    int i = 0;
    const int size = bytes.size();
    while (i < size && bytes[i] == ' ')
        ++i;
    bool negative = false;
    if (i < size && (bytes[i] == '+' || bytes[i] == '-')) {
        negative = bytes[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < size && bytes[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < size && bytes[i] == '0' && (bytes[i + 1] == 'x' || bytes[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= size)
        return std::nullopt;
    quint64 magnitude = 0;
    for (; i < size; ++i) {
        const char c = bytes[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        magnitude = magnitude * static_cast<quint64>(base) + static_cast<quint64>(digit);
        if (magnitude > 0xFFFFFFFFull)
            return std::nullopt;
    }
    if (base == 16) {
        // Hexadecimal covers the 32 bits: $FFFFFFFF is -1.
        const auto bits = static_cast<quint32>(magnitude);
        const auto value = static_cast<qint32>(bits);
        return negative ? static_cast<qint32>(0u - bits) : value;
    }
    if (negative ? magnitude > 0x80000000ull : magnitude > 0x7FFFFFFFull)
        return std::nullopt;
    const auto value = static_cast<qint64>(magnitude);
    return static_cast<qint32>(negative ? -value : value);
}

TDownThread::TDownThread(bool createSuspended, qint32 MinX, qint32 MaxX, qint32 MinY, qint32 MaxY,
                         qint32 Zoom, qint32 ThreadCount, const QString& SaveFolder,
                         const QString& ProjectBase, qint32 ResumeX, qint32 ResumeY,
                         const WorkerConfig& config, WorkerHost* host, QObject* parent)
    : QThread(parent), m_minX(MinX), m_maxX(MaxX), m_minY(MinY), m_maxY(MaxY), m_zoom(Zoom),
      m_threadCount(ThreadCount), m_resumeX(ResumeX), m_resumeY(ResumeY), m_saveFolder(SaveFolder),
      m_projectBase(ProjectBase), m_config(config), m_host(host)
{
    if (!createSuspended)
        start();
}

TDownThread::~TDownThread()
{
    Terminate();
    wait();
}

void TDownThread::Terminate()
{
    requestInterruption();
}

bool TDownThread::Terminated() const
{
    return isInterruptionRequested();
}

TilePosition TDownThread::currentPosition() const
{
    const quint64 packed = m_position.load(std::memory_order_acquire);
    return {static_cast<qint32>(static_cast<quint32>(packed >> 32)),
            static_cast<qint32>(static_cast<quint32>(packed))};
}

void TDownThread::setPosition(qint32 x, qint32 y)
{
    const quint64 packed = (static_cast<quint64>(static_cast<quint32>(x)) << 32) |
                           static_cast<quint64>(static_cast<quint32>(y));
    m_position.store(packed, std::memory_order_release);
}

QString TDownThread::threadName() const
{
    return QStringLiteral("Thread") + QString::number(m_config.threadIndex + 1);
}

void TDownThread::report(const QString& line)
{
    if (m_host)
        m_host->AppendLogLine(line);
}

void TDownThread::run()
{
    // Whatever happens in the walk, the worker reports its end exactly once,
    // so the job's count of running workers reaches zero.
    try {
        Execute();
    } catch (const std::exception& error) {
        try {
            report(threadName() + QStringLiteral(" stopped: ") + QString::fromUtf8(error.what()));
        } catch (...) {
        }
    } catch (...) {
        try {
            report(threadName() + QStringLiteral(" stopped by an unknown error"));
        } catch (...) {
        }
    }
    try {
        report(threadName() + QStringLiteral(" Finished."));
    } catch (...) {
    }
    try {
        if (m_host)
            m_host->WorkerDone(m_config.threadIndex);
    } catch (...) {
    }
}

void TDownThread::pause()
{
    if (m_config.sleepSeconds <= 0)
        return;
    QDeadlineTimer deadline(static_cast<qint64>(m_config.sleepSeconds) * 1000);
    while (!Terminated()) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return;
        QThread::msleep(static_cast<unsigned long>(qMin<qint64>(left, PauseSliceMs)));
    }
}

void TDownThread::Execute()
{
    auto http = std::make_unique<http::HttpClient>();
    http->setTimeouts(ConnectTimeoutMs, StallTimeoutMs);
    if (m_config.useProxy) {
        const std::optional<qint32> port = IntegerFromText(m_config.proxyPort);
        if (!port) {
            report(threadName() + QStringLiteral(" proxy port: ") +
                   AppError::notAnInteger(m_config.proxyPort).text());
            return;
        }
        http::ProxySettings proxy;
        proxy.host = m_config.proxyServer.toStdString();
        proxy.port = *port;
        proxy.username = m_config.proxyUsername.toStdString();
        proxy.password = m_config.proxyPassword.toStdString();
        http->setProxy(proxy);
    }

    const QString name = threadName();
    const QByteArray tileFolder =
        QFile::encodeName(m_saveFolder + m_projectBase + QLatin1Char('/'));
    const QString placeholderPath = m_config.programFolder + QStringLiteral("blankimg/blank.jpg");
    const std::string urlTail = m_config.urlTail.toStdString();
    const std::string urlHead = UrlHead;
    const std::string urlMiddle = UrlMiddle;

    // Positions are numbered from 1 over the whole rectangle; 64 bits, since a
    // rectangle at a deep zoom can hold more than 2^31 of them.
    const qint64 width = static_cast<qint64>(m_maxX) - m_minX + 1;
    const qint64 height = static_cast<qint64>(m_maxY) - m_minY + 1;
    if (width <= 0 || height <= 0 || m_threadCount < 1)
        return;
    const qint64 total = width * height;

    // The positions up to the resume position were done in an earlier run.
    qint64 skipCount = 0;
    if (m_resumeX != 0 && m_resumeY != 0) {
        const __int128 skip =
            static_cast<__int128>(static_cast<qint64>(m_resumeX) - m_minX) * height +
            (static_cast<qint64>(m_resumeY) - m_minY) + 1;
        skipCount = skip <= 0 ? 0 : skip >= total ? total : static_cast<qint64>(skip);
    }

    qint64 seq = skipCount;
    qint64 x = m_minX + skipCount / height;
    qint64 y = m_minY + skipCount % height;
    std::string body;
    // Column by column from the west, row by row from the south; (x, y) is the
    // position after `seq`, wrapped to the next column at the top.
    for (; seq < total; ++y) {
        if (y > m_maxY) {
            y = m_minY;
            ++x;
        }
        if (Terminated())
            return;
        ++seq;
        if (seq % m_threadCount != m_config.threadIndex)
            continue;

        const auto tileX = static_cast<qint32>(x);
        const auto tileY = static_cast<qint32>(y);
        const std::string quadkey = MakeQuadkeyString(tileX, tileY, m_zoom);
        std::string url = urlHead;
        url += static_cast<char>('0' + seq % 4);
        url += urlMiddle;
        url += quadkey;
        url += urlTail;

        const Fetch fetch = fetchTile(*http, url, body, [this] { return Terminated(); });
        if (fetch.result == FetchResult::Stopped)
            return; // not recorded: a resumed job fetches this tile again

        const QString xText = QString::number(tileX);
        const QString yText = QString::number(tileY);
        const QByteArray tilePath =
            tileFolder + QByteArray::number(tileX) + '_' + QByteArray::number(tileY) + ".jpg";

        if (fetch.result == FetchResult::Ok) {
            const int error = storeTile(tilePath, body);
            body.clear();
            if (error != 0) {
                report(name + QStringLiteral(" cannot write ") + xText + QLatin1Char('-') + yText +
                       QStringLiteral(".jpg: ") + errnoText(error));
                continue;
            }
            report(name + QStringLiteral(":seq=") + QString::number(seq) +
                   QStringLiteral(", file=") + xText + QLatin1Char('-') + yText +
                   QStringLiteral(".jpg  ->ok!"));
            setPosition(tileX, tileY);
            pause();
            continue;
        }

        if (fetch.hasMessage) {
            report(name + QLatin1Char(' ') + QString::fromUtf8(fetch.message.c_str()) +
                   QStringLiteral("->") + QString::fromLatin1(quadkey.c_str()));
            if (contains(fetch.message, "302") || contains(fetch.message, "403")) {
                report(BannedText);
                return;
            }
            if (contains(fetch.message, "404"))
                report(NotFoundText);
        }
        copyPlaceholder(placeholderPath, tilePath);
        report(name + QLatin1Char(':') + xText + QLatin1Char('-') + yText +
               QStringLiteral(" got a blank image!"));
        setPosition(tileX, tileY);
    }
}

} // namespace tavo
