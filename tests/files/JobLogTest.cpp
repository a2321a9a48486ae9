#include "files/JobLog.h"
#include "engine/AppError.h"
#include "engine/TextConv.h"

#include "FileTestSupport.h"
#include "FullDisk.h"

#include <QDir>
#include <QLocale>

#include <functional>

using namespace tavo;
using namespace tavo::testing;

namespace {

const QDateTime Moment(QDate(2024, 3, 5), QTime(14, 7, 9));

// What saving the whole log at once writes.
QByteArray wholeSave(const QStringList& lines)
{
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += line.toUtf8() + "\r\n";
    return bytes;
}

QStringList numbered(const QString& prefix, int from, int count)
{
    QStringList lines;
    for (int i = from; i < from + count; ++i)
        lines << prefix + QString::number(i);
    return lines;
}

NewJobHeader workedExample()
{
    NewJobHeader h;
    h.saveFolder = "/maps/";
    h.projectName = "Job.tavo";
    h.area = {"116.3", "116,4", "40", "39.9"};
    h.rect = {6742, 6744, 5087, 5090};
    h.download = {116.279296875, 116.4111328125, 40.0, 39.9};
    h.threadCount = 8;
    h.zoom = 13;
    h.now = Moment;
    return h;
}

} // namespace

TEST(JobLogLines, NewJobHeader)
{
    const QString p = QLocale::system().decimalPoint();
    const QString now = "Now time is:" + nowText(Moment);
    const QStringList expected{"Project: /maps/Job.tavo",
                               "Log begin...",
                               now,
                               "",
                               "Left Longitude  input= 116.3",
                               "Right Longitude input= 116,4",
                               "Top Latitude    input= 40",
                               "Bottom Latitude input= 39.9",
                               "",
                               "MinX = 6742",
                               "MinY = 5087",
                               "MaxX = 6744",
                               "MaxY = 5090",
                               "",
                               "Left Longitude  download=116" + p + "279296875",
                               "Right Longitude download=116" + p + "4111328125",
                               "Top Latitude    download=40",
                               "Bottom Latitude download=39" + p + "9",
                               "",
                               "Total count of images would be downloaded: 12",
                               "",
                               "Download threads count: 8",
                               "",
                               "Zoom level: 13",
                               "",
                               "path: /maps/",
                               "",
                               "Start downloading...",
                               QString(32, u'-')};
    EXPECT_EQ(newJobHeaderLines(workedExample()), expected);

    NewJobHeader withProxy = workedExample();
    withProxy.proxy = {true, "10.1.1.1", "8080", "ann", QStringLiteral("pä55")};
    const QStringList proxyLines{"Using Proxy:",      "Proxy Server:10.1.1.1", "Proxy Port:8080",
                                 "ProxyUsername:ann", "ProxyPassword:****",    ""};
    const QStringList proxied = expected.mid(0, 4) + proxyLines + expected.mid(4);
    EXPECT_EQ(newJobHeaderLines(withProxy), proxied);
}

TEST(JobLogLines, ResumedAndFinishLines)
{
    const QString now = "Now time is:" + nowText(Moment);
    EXPECT_EQ(resumedJobLines(Moment), QStringList({QString(44, u'-'), "Log continue...", now}));
    EXPECT_EQ(finishLines(Moment, "/maps/Job_log.txt"),
              QStringList({"", QString(32, u'-'), "Download Finished.", "", now, "",
                           "Log file has been saved to /maps/Job_log.txt"}));
    EXPECT_EQ(logFileNameFor("Job.TAVO"), QStringLiteral("Job.TAVO_log.txt"));
}

TEST(JobLog, MultiLineTextsBecomeSeveralLines)
{
    JobLog log;
    log.append(QStringLiteral("a\nb\r\nc\rd"));
    log.append(QStringLiteral("e\r\n"));
    log.append(QString());
    log.append(QStringLiteral("\r\r\n")); // CR, then CR LF: three empty lines
    EXPECT_EQ(log.takeViewUpdate().lines,
              QStringList({"a", "b", "c", "d", "e", "", "", "", "", ""}));
    EXPECT_EQ(log.lineCount(), 10);
    EXPECT_EQ(log.lastLine(), QString());
}

TEST(JobLog, IncrementalSavesWriteWhatAWholeSaveWould)
{
    TempFolder folder;
    const QString path = folder.path("Job_log.txt");
    writeBytes(path, "an older job's log that a new job replaces\r\n");

    QStringList all;
    JobLog log;
    auto add = [&](const QStringList& lines) {
        log.append(lines);
        all << lines;
    };
    add(newJobHeaderLines(workedExample()));
    log.save(path);
    EXPECT_EQ(readBytes(path), wholeSave(all));
    add(numbered(QStringLiteral("Thread1 tile ü"), 0, 500));
    log.save(path);
    log.save(path); // nothing new
    add(finishLines(Moment, path));
    log.save(path);
    EXPECT_EQ(readBytes(path), wholeSave(all));
    EXPECT_EQ(log.lineCount(), all.size());

    // Second run: resume, add, save twice.
    JobLog second;
    second.loadForResume(path);
    EXPECT_EQ(second.lineCount(), all.size());
    EXPECT_EQ(second.takeViewUpdate().lines, all);
    second.append(resumedJobLines(Moment));
    all << resumedJobLines(Moment);
    second.save(path);
    second.append(QStringLiteral("Thread1 more"));
    all << "Thread1 more";
    second.save(path);
    EXPECT_EQ(readBytes(path), wholeSave(all));

    // Third run.
    JobLog third;
    third.loadForResume(path);
    third.append(resumedJobLines(Moment));
    all << resumedJobLines(Moment);
    third.save(path);
    EXPECT_EQ(readBytes(path), wholeSave(all));
    EXPECT_EQ(readBytes(path).count("Log continue..."), 2);
}

TEST(JobLog, ResumingAFileWithOtherLineEndsRewritesItOnce)
{
    TempFolder folder;
    const QString path = folder.path("Job_log.txt");
    const QByteArray oddBytes("first\nsecond\r\rfourth \xff\r\nlast without break");
    writeBytes(path, oddBytes);

    JobLog log;
    log.loadForResume(path);
    const QStringList loaded{"first", "second", "", QStringLiteral("fourth \uFFFD"),
                             "last without break"};
    EXPECT_EQ(log.takeViewUpdate().lines, loaded);
    log.append(resumedJobLines(Moment));
    log.save(path);
    // The old bytes stay as they were, only their line ends become CR LF.
    const QByteArray expected = "first\r\nsecond\r\n\r\nfourth \xff\r\nlast without break\r\n" +
                                wholeSave(resumedJobLines(Moment));
    EXPECT_EQ(readBytes(path), expected);
    log.append(QStringLiteral("next"));
    log.save(path);
    EXPECT_EQ(readBytes(path), expected + "next\r\n");

    // Saving a resumed log elsewhere carries its history along.
    const QString copy = folder.path("copy_log.txt");
    JobLog other;
    other.loadForResume(path);
    other.append(QStringLiteral("x"));
    other.save(copy);
    EXPECT_EQ(readBytes(copy), expected + "next\r\nx\r\n");
    EXPECT_EQ(readBytes(path), expected + "next\r\n");
}

TEST(JobLog, FailuresKeepTheUnsavedLinesForTheNextSave)
{
    TempFolder folder;
    const QString missing = folder.path("nowhere_log.txt");
    JobLog log;
    EXPECT_EQ(appErrorText([&] { log.loadForResume(missing); }),
              QStringLiteral("Cannot open file ") + missing);

    const QString path = folder.path("sub/Job_log.txt");
    log.append(QStringList{"one", "two"});
    EXPECT_EQ(appErrorText([&] { log.save(path); }), QStringLiteral("Cannot create file ") + path);
    ASSERT_TRUE(QDir().mkdir(folder.path("sub")));
    log.save(path);
    EXPECT_EQ(readBytes(path), QByteArray("one\r\ntwo\r\n"));

    // The file replaced by a folder: appending fails, then works again.
    log.append(QStringLiteral("three"));
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QDir().mkdir(path));
    EXPECT_FALSE(appErrorText([&] { log.save(path); }).isEmpty());
    ASSERT_TRUE(QDir().rmdir(path));
    log.append(QStringLiteral("four"));
    log.save(path);
    EXPECT_EQ(readBytes(path), LostLinesLine.toUtf8() + "\r\nthree\r\nfour\r\n");
}

// A log file removed or cut by something else during a job: the next save
// says so in the file and the window, and later saves append as before.
TEST(JobLog, AFileRemovedOrCutDuringTheJobIsNotedAndContinued)
{
    const struct
    {
        const char* name;
        std::function<void(const QString&)> meddle;
        QByteArray kept; // what is left of "one\r\ntwo\r\n"
        bool noted;
    } cases[] = {
        {"untouched", [](const QString&) {}, "one\r\ntwo\r\n", false},
        {"removed", [](const QString& p) { QFile::remove(p); }, "", true},
        {"cut", [](const QString& p) { QFile(p).resize(5); }, "one\r\n", true},
    };
    const QByteArray lost = LostLinesLine.toUtf8() + "\r\n";
    for (const auto& c : cases) {
        TempFolder folder;
        const QString path = folder.path("Job_log.txt");
        JobLog log;
        log.append(QStringList{"one", "two"});
        log.save(path);
        c.meddle(path);
        log.append(QStringLiteral("three"));
        (void)log.takeViewUpdate();
        log.save(path);
        log.append(QStringLiteral("four"));
        log.save(path);
        EXPECT_EQ(readBytes(path), c.kept + (c.noted ? lost : QByteArray()) + "three\r\nfour\r\n")
            << c.name;
        EXPECT_EQ(log.takeViewUpdate().lines,
                  c.noted ? QStringList({LostLinesLine, "four"}) : QStringList{"four"})
            << c.name;
    }
}

// An append that fails part-way (the file-size limit reached inside it) is
// taken back, so the retry writes those lines once.
TEST(JobLog, APartlyFailedAppendIsCutBack)
{
    TempFolder folder;
    const QString path = folder.path("Job_log.txt");
    const QByteArray first = "one\r\ntwo\r\n";
    const int status = runWithFileSizeLimit(first.size() + 4, [&] {
        JobLog log;
        log.append(QStringList{"one", "two"});
        log.save(path);
        log.append(QStringLiteral("a line longer than the room left"));
        try {
            log.save(path);
        } catch (const AppError&) {
            return 0;
        }
        return 1;
    });
    ASSERT_EQ(status, 0) << "the save past the limit must fail";
    EXPECT_EQ(readBytes(path), first);
}

TEST(JobLog, ViewKeepsOnlyTheTail)
{
    TempFolder folder;
    const QString path = folder.path("big_log.txt");
    JobLog log;
    log.setViewCap(5);
    EXPECT_TRUE(log.takeViewUpdate().reset); // a fresh log starts the window afresh

    log.append(numbered("a", 0, 3));
    JobLog::ViewUpdate update = log.takeViewUpdate();
    EXPECT_FALSE(update.reset);
    EXPECT_EQ(update.lines, numbered("a", 0, 3));
    EXPECT_TRUE(log.takeViewUpdate().lines.isEmpty());

    log.append(numbered("a", 3, 6)); // more than the cap at once
    update = log.takeViewUpdate();
    EXPECT_TRUE(update.reset);
    EXPECT_EQ(update.lines, numbered("a", 4, 5));
    EXPECT_EQ(log.lineCount(), 9);
    log.save(path);

    // Many lines, saved as they come, while the view stays small.
    for (int batch = 0; batch < 20; ++batch) {
        log.append(numbered("b", batch * 1000, 1000));
        log.save(path);
    }
    EXPECT_EQ(log.lineCount(), 20009);
    update = log.takeViewUpdate();
    EXPECT_TRUE(update.reset);
    EXPECT_EQ(update.lines, numbered("b", 19995, 5));
    EXPECT_EQ(readBytes(path), wholeSave(numbered("a", 0, 9) + numbered("b", 0, 20000)));

    JobLog resumed;
    resumed.setViewCap(3);
    resumed.loadForResume(path);
    EXPECT_EQ(resumed.lineCount(), 20009);
    update = resumed.takeViewUpdate();
    EXPECT_TRUE(update.reset);
    EXPECT_EQ(update.lines, numbered("b", 19997, 3));

    log.clear();
    EXPECT_EQ(log.lineCount(), 0);
    EXPECT_TRUE(log.takeViewUpdate().reset);
    log.save(path); // a cleared log replaces the file
    EXPECT_EQ(readBytes(path), QByteArray());
}

namespace {

// Pages of address space the process maps now.
long mappedBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(0).toLong() * ::sysconf(_SC_PAGESIZE);
}

} // namespace

// A log of one 64 MB line is continued and saved within 48 MB more memory.
TEST(JobLog, ResumingAHugeSingleLineLogNeedsBoundedMemory)
{
    tavo::testing::TempFolder folder;
    const QString path = folder.path("Job_log.txt");
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(64LL * 1024 * 1024)); // one line of zero bytes, no line end
    }
    const int status = runInChild([&] {
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = rlim_t(mappedBytes() + 48L * 1024 * 1024);
        if (::setrlimit(RLIMIT_AS, &limit) != 0)
            return 3;
        try {
            JobLog log;
            log.loadForResume(path);
            log.append(QStringLiteral("Log continue..."));
            log.save(path);
            return log.lineCount() == 2 &&
                           log.takeViewUpdate().lines.first().size() == JobLog::ViewLineBytes
                       ? 0
                       : 2;
        } catch (...) {
            return 1;
        }
    });
    EXPECT_EQ(status, 0);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.size(), 64LL * 1024 * 1024 + 2 + 15 + 2);
    ASSERT_TRUE(file.seek(64LL * 1024 * 1024 - 1));
    EXPECT_EQ(file.readAll(), QByteArray(1, '\0') + "\r\nLog continue...\r\n");
}

TEST(JobLog, ClosingReportNeverClaimsAFailedSave)
{
    tavo::testing::TempFolder folder;
    const QDateTime now(QDate(2026, 1, 2), QTime(3, 4, 5));
    const struct
    {
        const char* name;
        bool saved;
    } cases[] = {{"Job_log.txt", true}, {"missing/Job_log.txt", false}};
    for (const auto& c : cases) {
        const QString path = folder.path(c.name);
        JobLog log;
        log.append(QStringLiteral("a tile"));
        (void)log.takeViewUpdate();
        bool threw = false;
        try {
            log.saveWithClosingReport(now, path);
        } catch (const AppError&) {
            threw = true;
        }
        EXPECT_EQ(threw, !c.saved) << c.name;
        const QString last = c.saved ? "Log file has been saved to " + path
                                     : "Log file could not be saved to " + path;
        EXPECT_EQ(log.lastLine(), last) << c.name;
        // The window gets the report with the right last line, and nothing to take back.
        QStringList report = finishLines(now, path);
        report.last() = last;
        const JobLog::ViewUpdate update = log.takeViewUpdate();
        EXPECT_FALSE(update.reset) << c.name;
        EXPECT_EQ(update.lines, report) << c.name;
        EXPECT_EQ(log.lineCount(), 8) << c.name;
        if (!c.saved) {
            // The lines still to be saved hold the replacement, not the claim.
            const QString retry = folder.path("retry_log.txt");
            log.save(retry);
            const QByteArray bytes = tavo::testing::readBytes(retry);
            EXPECT_TRUE(bytes.startsWith("a tile\r\n\r\n")) << bytes.toStdString();
            EXPECT_TRUE(bytes.endsWith("\r\n\r\n" + last.toUtf8() + "\r\n")) << bytes.toStdString();
            EXPECT_FALSE(bytes.contains("has been saved"));
        }
    }
}
