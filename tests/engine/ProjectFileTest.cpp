#include "engine/ProjectFile.h"
#include "engine/AppError.h"

#include "FileTestSupport.h"

using namespace tavo;
using namespace tavo::testing;

namespace {

const QByteArray EmptyPositions =
    "T1X=\r\nT1Y=\r\nT2X=\r\nT2Y=\r\nT3X=\r\nT3Y=\r\nT4X=\r\nT4Y=\r\n"
    "T5X=\r\nT5Y=\r\nT6X=\r\nT6Y=\r\nT7X=\r\nT7Y=\r\nT8X=\r\nT8Y=\r\n";

EnteredInputs enteredFor(const QString& folder, const QString& name)
{
    return {"116.3", "116,4", "40", "39.9", "13", "8", folder, name};
}

} // namespace

TEST(ProjectFile, NamesAndFolders)
{
    EXPECT_EQ(projectNameFor("Job"), QStringLiteral("Job.tavo"));
    EXPECT_EQ(projectNameFor("Job.tavo"), QStringLiteral("Job.tavo"));
    EXPECT_EQ(projectNameFor("Job.TAVO"), QStringLiteral("Job.TAVO.tavo"));
    EXPECT_EQ(projectNameFor("a.b"), QStringLiteral("a.b.tavo"));
    EXPECT_EQ(projectNameFor(""), QStringLiteral(".tavo"));
    EXPECT_EQ(projectNameFor("v1.2/Job"), QStringLiteral("v1.2/Job.tavo"));
    EXPECT_EQ(projectBaseOf("Job.tavo"), QStringLiteral("Job"));
    EXPECT_EQ(projectBaseOf("Job.TAVO.tavo"), QStringLiteral("Job.TAVO"));
    EXPECT_EQ(projectBaseOf(".tavo"), QString());
    EXPECT_EQ(ensureTrailingSeparator("/jobs"), QStringLiteral("/jobs/"));
    EXPECT_EQ(ensureTrailingSeparator("/jobs/"), QStringLiteral("/jobs/"));
    EXPECT_EQ(ensureTrailingSeparator("/jobs") + projectNameFor("Job"),
              QStringLiteral("/jobs/Job.tavo"));
}

TEST(ProjectFile, NewFileIsTheThirtyFourLines)
{
    TempFolder folder;
    const QString path = folder.path("Job.tavo");
    writeBytes(path, "old content that must go\r\n[THREADS]\r\nT1X=5\r\n");
    WriteNewProject(path, {"116.3", "116,4", "40", "39.9"}, 13, {6742, 6744, 5087, 5090}, 8);
    const QByteArray expected = "[AREA]\r\nLeftLongitude=116.3\r\nRightLongitude=116,4\r\n"
                                "TopLatitude=40\r\nBottomLatitude=39.9\r\n\r\n"
                                "[Zoom]\r\nZoom=13\r\n\r\n"
                                "[XY]\r\nMinX=6742\r\nMinY=5087\r\nMaxX=6744\r\nMaxY=5090\r\n\r\n"
                                "[THREADS]\r\nThreadCount=8\r\n" +
                                EmptyPositions + "\r\n";
    const QByteArray written = readBytes(path);
    EXPECT_EQ(written, expected);
    EXPECT_EQ(written.count("\r\n"), 34);

    // Area texts are stored as typed, blanks, signs and any letters included.
    WriteNewProject(path, {" -0,50", "+1e2", QStringLiteral("Nord 40°"), ""}, -1, {0, 0, 0, 0}, 1);
    EXPECT_TRUE(readBytes(path).startsWith(
        "[AREA]\r\nLeftLongitude= -0,50\r\nRightLongitude=+1e2\r\nTopLatitude=Nord 40\xc2\xb0\r\n"
        "BottomLatitude=\r\n\r\n[Zoom]\r\nZoom=-1\r\n"));
}

TEST(ProjectFile, NewFileInAMissingFolderIsCannotCreateFile)
{
    TempFolder folder;
    const QString path = folder.path("gone/Job.tavo");
    EXPECT_EQ(appErrorText([&] { WriteNewProject(path, {}, 1, {0, 0, 0, 0}, 1); }),
              QStringLiteral("Cannot create file ") + path);
}

TEST(ProjectFile, ResumeNeedsAllEightTextsEqual)
{
    TempFolder folder;
    const QString saveFolder = ensureTrailingSeparator(folder.root());
    const QString path = saveFolder + "Job.tavo";
    WriteNewProject(path, {"116.3", "116,4", "40", "39.9"}, 13, {6742, 6744, 5087, 5090}, 8);

    const StoredInputs stored = ReadResumeKeys(path, 13, 1);
    EXPECT_EQ(stored.folder, saveFolder);
    EXPECT_EQ(stored.fileName, QStringLiteral("Job.tavo"));
    EXPECT_TRUE(resumeMatches(stored, enteredFor(saveFolder, "Job.tavo")));

    // A name typed without its extension never resumes, nor one in other case.
    EXPECT_FALSE(resumeMatches(stored, enteredFor(saveFolder, "Job")));
    EXPECT_FALSE(resumeMatches(stored, enteredFor(saveFolder, "Job.TAVO")));
    EXPECT_FALSE(resumeMatches(stored, enteredFor(folder.root(), "Job.tavo")));
    EnteredInputs retyped = enteredFor(saveFolder, "Job.tavo");
    retyped.left = "116.30";
    EXPECT_FALSE(resumeMatches(stored, retyped));
    EnteredInputs moreWorkers = enteredFor(saveFolder, "Job.tavo");
    moreWorkers.threadCount = "4";
    EXPECT_FALSE(resumeMatches(stored, moreWorkers));

    // Without Zoom and ThreadCount the defaults are compared.
    writeBytes(path, "[AREA]\r\nLeftLongitude=116.3\r\nRightLongitude=116,4\r\n"
                     "TopLatitude=40\r\nBottomLatitude=39.9\r\n");
    const StoredInputs bare = ReadResumeKeys(path, 12, 8);
    EXPECT_EQ(bare.zoom, QStringLiteral("12"));
    EXPECT_EQ(bare.threadCount, QStringLiteral("8"));
}

TEST(ProjectFile, PositionsAreWrittenAsWholePairs)
{
    TempFolder folder;
    const QString path = folder.path("Job.tavo");
    WriteNewProject(path, {"1", "2", "3", "4"}, 5, {6, 8, 7, 9}, 3);
    const QByteArray fresh = readBytes(path);

    SavePositions(path, {{11, 20}, {0, 22}, {0, 0}});
    QByteArray expected = fresh;
    expected.replace("T1X=\r\nT1Y=\r\n", "T1X=11\r\nT1Y=20\r\n");
    EXPECT_EQ(readBytes(path), expected);

    // A pair with a coordinate of 0 or less is no position: the stored pair
    // stays whole (row 0, column 0, nothing finished yet, a bad value).
    const TilePosition noPositions[] = {{12, 0}, {0, 21}, {0, 0}, {12, -1}};
    for (const TilePosition& current : noPositions) {
        SavePositions(path, {current, {0, 0}, {0, 0}});
        EXPECT_EQ(readBytes(path), expected) << current.x << "," << current.y;
    }

    SavePositions(path, {{12, 1}, {0, 0}, {5, 6}});
    expected.replace("T1X=11\r\nT1Y=20\r\n", "T1X=12\r\nT1Y=1\r\n");
    expected.replace("T3X=\r\nT3Y=\r\n", "T3X=5\r\nT3Y=6\r\n");
    EXPECT_EQ(readBytes(path), expected);

    const std::vector<TilePosition> read = ReadPositions(path, 3);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].x, 12);
    EXPECT_EQ(read[0].y, 1);
    EXPECT_EQ(read[1].x, 0);
    EXPECT_EQ(read[1].y, 0);
    EXPECT_EQ(read[2].x, 5);
    EXPECT_EQ(read[2].y, 6);
}

TEST(ProjectFile, AreaTextsWithBlanksAreReadBackAsTyped)
{
    TempFolder folder;
    const QString saveFolder = ensureTrailingSeparator(folder.root());
    const QString path = saveFolder + "Job.tavo";
    WriteNewProject(path, {"116.3 ", " 116,4", "\t40", "39.9  "}, 13, {6742, 6744, 5087, 5090}, 8);
    const StoredInputs stored = ReadResumeKeys(path, 13, 1);
    EXPECT_EQ(stored.left, "116.3 ");
    EXPECT_EQ(stored.right, " 116,4");
    EXPECT_EQ(stored.top, "\t40");
    EXPECT_EQ(stored.bottom, "39.9  ");
    EnteredInputs entered{"116.3 ", " 116,4", "\t40", "39.9  ", "13", "8", saveFolder, "Job.tavo"};
    EXPECT_TRUE(resumeMatches(stored, entered));
    entered.left = "116.3";
    EXPECT_FALSE(resumeMatches(stored, entered));
    EXPECT_EQ(readProjectForOpen(path, 13, 1).left, "116.3 ");
}

TEST(ProjectFile, PositionsDefaultToZero)
{
    TempFolder folder;
    const QString path = folder.path("p.tavo");
    writeBytes(path, "[threads]\nt1x=abc\nT1Y=7\nT2X=$10\n");
    const std::vector<TilePosition> read = ReadPositions(path, 2);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].x, 0);
    EXPECT_EQ(read[0].y, 7);
    EXPECT_EQ(read[1].x, 16);
    EXPECT_EQ(read[1].y, 0);
    EXPECT_EQ(ReadPositions(folder.path("missing.tavo"), 8).size(), 8u);

    // A missing file gets created with its THREADS section.
    SavePositions(folder.path("new.tavo"), {{3, 4}});
    EXPECT_EQ(readBytes(folder.path("new.tavo")), QByteArray("[THREADS]\r\nT1X=3\r\nT1Y=4\r\n"));
}

TEST(ProjectFile, OpenFillsTheFieldsWithDefaults)
{
    TempFolder folder;
    const QString path = folder.path("Old Job.tavo");
    writeBytes(path, "[AREA]\r\nLeftLongitude=-10\r\nTopLatitude=5\r\n"
                     "[THREADS]\r\nThreadCount=30\r\n");
    const OpenedProject opened = readProjectForOpen(path, 14, 2);
    EXPECT_EQ(opened.left, QStringLiteral("-10"));
    EXPECT_EQ(opened.right, QString());
    EXPECT_EQ(opened.top, QStringLiteral("5"));
    EXPECT_EQ(opened.bottom, QString());
    EXPECT_EQ(opened.zoom, QStringLiteral("14"));
    EXPECT_EQ(opened.threadCount, QStringLiteral("30"));
    EXPECT_EQ(opened.folder, folder.root() + "/");
    EXPECT_EQ(opened.fileName, QStringLiteral("Old Job.tavo"));

    const OpenedProject missing = readProjectForOpen(folder.path("none.tavo"), 13, 1);
    EXPECT_EQ(missing.zoom, QStringLiteral("13"));
    EXPECT_EQ(missing.threadCount, QStringLiteral("1"));
    EXPECT_EQ(missing.fileName, QStringLiteral("none.tavo"));
}

// A zoom or worker count that is there but no integer is refused, never
// replaced by the default the job would then silently run with.
TEST(ProjectFile, ANonIntegerZoomOrWorkerCountIsRefused)
{
    const struct
    {
        const char* content;
        const char* error; // empty: read
    } cases[] = {
        {"[Zoom]\r\nZoom=16abc\r\n", "'16abc' is not a valid integer value"},
        {"[Zoom]\r\nZoom=16\r\n[THREADS]\r\nThreadCount=4x\r\n", "'4x' is not a valid integer value"},
        {"[Zoom]\r\nZoom=\r\n", ""},
        {"[Zoom]\r\nZoom= 16 \r\n", ""},
    };
    for (const auto& c : cases) {
        TempFolder folder;
        const QString path = folder.path("Job.tavo");
        writeBytes(path, c.content);
        EXPECT_EQ(appErrorText([&] { readProjectForOpen(path, 13, 1); }), QString(c.error))
            << c.content;
    }
}
