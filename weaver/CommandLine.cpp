#include "weaver/CommandLine.h"

#include "weaver/Weave.h"

#include <QElapsedTimer>
#include <QFileInfo>

#include <unistd.h>

namespace tavo::weaver {

namespace {

void print(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

QString clockText(double seconds)
{
    const qint64 s = qint64(seconds + 0.5);
    return s >= 3600 ? QStringLiteral("%1:%2:%3")
                           .arg(s / 3600)
                           .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                           .arg(s % 60, 2, 10, QLatin1Char('0'))
                     : QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

// The format an output name suggests; cog when it suggests none.
OutputFormat formatForPath(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (auto format = formatFromName(suffix))
        return *format;
    return OutputFormat::Cog;
}

bool parseScale(const QString& text, int& divisor)
{
    static const QStringList forms[] = {{"1", "1/1"}, {"2", "1/2"}, {"4", "1/4"}, {"8", "1/8"}};
    for (int i = 0; i < 4; ++i)
        if (forms[i].contains(text.trimmed())) {
            divisor = 1 << i;
            return true;
        }
    return false;
}

bool parsePart(const QString& text, TileRect& rect)
{
    const QStringList parts = text.split(u',');
    if (parts.size() != 4)
        return false;
    qint32 v[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        v[i] = parts[i].trimmed().toInt(&ok);
        if (!ok)
            return false;
    }
    rect = {v[0], v[1], v[2], v[3]};
    return !rect.isEmpty();
}

} // namespace

QString usageText()
{
    return QStringLiteral(
        "Usage: weaver --project JOB.tavo --out FILE [options]\n"
        "       weaver --folder TILES --zoom Z --out FILE [options]\n"
        "       weaver            (no arguments: opens the window)\n"
        "       weaver --window JOB.tavo   (the window, its project field filled)\n"
        "\n"
        "Combines a job's tiles (X_Y.jpg, rows counted from the south) into one\n"
        "georeferenced image in Web Mercator (EPSG:3857).\n"
        "\n"
        "  --project FILE   the job's project file; its tiles are in the folder named\n"
        "                   after it beside it\n"
        "  --folder DIR     a folder of X_Y.jpg tiles instead (needs --zoom)\n"
        "  --zoom Z         the zoom level of the tiles in --folder\n"
        "  --out FILE       the file to write; written under a temporary name and\n"
        "                   renamed when complete\n"
        "  --format F       cog (tiled JPEG GeoTIFF with overviews), jpeg or png (with a\n"
        "                   world file and a .prj), mbtiles (tiles copied unchanged);\n"
        "                   by default from the output's extension, else cog\n"
        "  --scale N        1, 2, 4 or 8: write 1/N of the full size (not for mbtiles)\n"
        "  --part X1,X2,Y1,Y2  only the tiles of columns X1..X2 and rows Y1..Y2\n"
        "  --quality Q      JPEG quality of cog and jpeg output, 1 to 100 (default 90)\n"
        "  --help           this text\n"
        "\n"
        "Missing, blank (placeholder), empty and non-JPEG tiles are left out: transparent\n"
        "in cog and png. Exit status: 0 when the output was written completely, 1 when\n"
        "it was not, 2 for wrong arguments, 3 when interrupted.\n");
}

int runCommandLine(const QStringList& arguments, const QString& placeholderPath, std::FILE* out,
                   std::FILE* err, const std::atomic<bool>* cancel)
{
    QString project, folder, outPath, formatText;
    int zoom = 0, divisor = 1, quality = 90;
    std::optional<TileRect> part;
    auto usageError = [&](const QString& message) {
        print(err, QStringLiteral("weaver: %1\nTry weaver --help.\n").arg(message));
        return int(ExitUsage);
    };
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            print(out, usageText());
            return ExitDone;
        }
        static const QStringList valued = {"--project", "--folder", "--zoom", "--out",
                                           "--format",  "--scale",  "--part", "--quality"};
        if (!valued.contains(arg))
            return usageError(QStringLiteral("unknown argument %1").arg(arg));
        if (i + 1 >= arguments.size())
            return usageError(QStringLiteral("%1 needs a value").arg(arg));
        const QString value = arguments[++i];
        bool ok = true;
        if (arg == QLatin1String("--project"))
            project = value;
        else if (arg == QLatin1String("--folder"))
            folder = value;
        else if (arg == QLatin1String("--out"))
            outPath = value;
        else if (arg == QLatin1String("--format"))
            formatText = value;
        else if (arg == QLatin1String("--zoom"))
            zoom = value.toInt(&ok);
        else if (arg == QLatin1String("--quality"))
            ok = (quality = value.toInt(&ok), ok && quality >= 1 && quality <= 100);
        else if (arg == QLatin1String("--scale"))
            ok = parseScale(value, divisor);
        else if (arg == QLatin1String("--part")) {
            TileRect rect;
            ok = parsePart(value, rect);
            part = rect;
        }
        if (!ok)
            return usageError(QStringLiteral("%1 %2 is not a usable value").arg(arg, value));
    }
    if (project.isEmpty() == folder.isEmpty())
        return usageError(QStringLiteral("give either --project or --folder"));
    if (!folder.isEmpty() && zoom == 0)
        return usageError(QStringLiteral("--folder needs --zoom"));
    if (outPath.isEmpty())
        return usageError(QStringLiteral("--out is missing"));

    WeaveRequest request;
    request.outPath = outPath;
    request.scaleDivisor = divisor;
    request.subRect = part;
    request.jpegQuality = quality;
    request.placeholderPath = placeholderPath;
    if (formatText.isEmpty())
        request.format = formatForPath(outPath);
    else if (auto format = formatFromName(formatText))
        request.format = *format;
    else
        return usageError(QStringLiteral("unknown format %1").arg(formatText));

    QString error;
    const bool haveInput = project.isEmpty()
                               ? inputFromFolder(folder, zoom, request.input, &error)
                               : inputFromProject(project, request.input, &error);
    if (!haveInput) {
        print(err, QStringLiteral("weaver: %1\n").arg(error));
        return ExitFailed;
    }

    const bool terminal = ::isatty(::fileno(err)) != 0;
    QElapsedTimer clock, sinceReport;
    clock.start();
    sinceReport.start();
    int lastPercent = -1;
    auto progress = [&](qint64 done, qint64 total) {
        const int percent = total > 0 ? int(done * 100 / total) : 100;
        if (terminal ? sinceReport.elapsed() < 250 && done < total : percent / 10 == lastPercent / 10)
            return;
        sinceReport.restart();
        lastPercent = percent;
        QString line = QStringLiteral("%1/%2 tiles (%3%)").arg(done).arg(total).arg(percent);
        const double elapsed = double(clock.elapsed()) / 1000.0;
        if (done > 0 && done < total)
            line += QStringLiteral(", %1 left")
                        .arg(clockText(elapsed * double(total - done) / double(done)));
        print(err, terminal ? QStringLiteral("\r%1   ").arg(line) : line + u'\n');
    };
    const WeaveResult result = weave(request, progress, cancel);
    if (terminal)
        print(err, QStringLiteral("\n"));
    print(err, summaryText(request, result) + u'\n');
    if (result.ok)
        return ExitDone;
    return result.cancelled ? ExitCancelled : ExitFailed;
}

} // namespace tavo::weaver
