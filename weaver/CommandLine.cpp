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

// The format an output name's extension stands for; nullopt for none weaver knows.
std::optional<OutputFormat> formatForPath(const QString& path)
{
    return formatFromName(QFileInfo(path).suffix());
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
        "                   world file, a .prj and an .aux.xml), or a tile store of\n"
        "                   several zoom levels: mbtiles, gpkg (GeoPackage), sqlitedb;\n"
        "                   by default from the output's extension (.tif, .tiff, .jpg,\n"
        "                   .png, .mbtiles, .gpkg, .sqlitedb)\n"
        "  --scale N        1, 2, 4 or 8: write 1/N of the full size (not for tile stores)\n"
        "  --min-zoom Z     tile stores: the lowest zoom level, made from the job's own\n"
        "                   tiles (default: the level where the whole job is one tile)\n"
        "  --part X1,X2,Y1,Y2  only the tiles of columns X1..X2 and rows Y1..Y2\n"
        "  --quality Q      JPEG quality of what is encoded, 1 to 100 (default 90)\n"
        "  --help           this text\n"
        "\n"
        "Missing, blank (placeholder), empty, non-JPEG and undecodable tiles are left\n"
        "out: transparent in cog and png. Tile stores keep the job's tiles' bytes.\n"
        "Exit status: 0 when the output was written completely, 1 when it was not,\n"
        "2 for wrong arguments, 3 when interrupted.\n");
}

int runCommandLine(const QStringList& arguments, const QString& placeholderPath, std::FILE* out,
                   std::FILE* err, const Feedback* stop)
{
    QString project, folder, outPath, formatText;
    int zoom = 0, divisor = 1, quality = 90, minZoom = -1;
    bool scaleGiven = false;
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
        static const QStringList valued = {"--project", "--folder", "--zoom",
                                           "--out",     "--format", "--scale",
                                           "--part",    "--quality", "--min-zoom"};
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
            ok = scaleGiven = parseScale(value, divisor);
        else if (arg == QLatin1String("--min-zoom"))
            ok = (minZoom = value.toInt(&ok), ok && minZoom >= 0 && minZoom <= MaxZoom);
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
    if (formatText.isEmpty()) {
        const auto format = formatForPath(outPath);
        if (!format)
            return usageError(QStringLiteral("%1: weaver does not know this kind of file; name "
                                             "it after a format (%2) or give --format")
                                  .arg(outPath, knownFormatsText()));
        request.format = *format;
    } else if (auto format = formatFromName(formatText)) {
        request.format = *format;
    } else {
        return usageError(QStringLiteral("unknown format %1; the formats are %2")
                              .arg(formatText, knownFormatsText()));
    }
    if (isTileStore(request.format) && scaleGiven && divisor != 1)
        return usageError(QStringLiteral("--scale does not apply to %1: a tile store keeps the "
                                         "tiles as they are")
                              .arg(formatName(request.format)));
    if (!isTileStore(request.format) && minZoom >= 0)
        return usageError(QStringLiteral("--min-zoom applies to the tile stores (mbtiles, gpkg, "
                                         "sqlitedb) only, not to %1")
                              .arg(formatName(request.format)));
    request.minZoom = minZoom;

    QString error;
    const bool haveInput = project.isEmpty()
                               ? inputFromFolder(folder, zoom, request.input, &error)
                               : inputFromProject(project, request.input, &error);
    if (!haveInput) {
        print(err, QStringLiteral("weaver: %1\n").arg(error));
        return ExitFailed;
    }
    if (request.minZoom > request.input.zoom)
        return usageError(QStringLiteral("--min-zoom %1 is above the job's zoom %2")
                              .arg(request.minZoom)
                              .arg(request.input.zoom));

    const bool terminal = ::isatty(::fileno(err)) != 0;
    QElapsedTimer clock, sinceReport;
    clock.start();
    sinceReport.start();
    int lastPercent = -1;
    Feedback feedback([&](qint64 done, qint64 total) {
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
    }, stop);
    const WeaveResult result = weave(request, &feedback);
    if (terminal)
        print(err, QStringLiteral("\n"));
    print(err, summaryText(request, result) + u'\n');
    if (result.ok)
        return ExitDone;
    return result.cancelled ? ExitCancelled : ExitFailed;
}

} // namespace tavo::weaver
