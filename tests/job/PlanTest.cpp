// The job's set-up without a window: every refusal in its order, and the plan
// of a request that passes.

#include "job/JobPlan.h"

#include <QStringList>

#include <gtest/gtest.h>

using namespace tavo;

namespace {

JobRequest workedExample()
{
    return {{"116.3", "116,4", "40", "39.9"}, "13", "8", "/maps", "Job"};
}

JobSettings proxyOnPort(const QString& port)
{
    JobSettings settings;
    settings.proxy.useProxy = true;
    settings.proxy.server = "127.0.0.1";
    settings.proxy.port = port;
    return settings;
}

TEST(PlanTest, EveryRefusalInTheSetUpsOrderWithItsExactText)
{
    struct Case
    {
        const char* what;
        JobRequest request;
        JobSettings settings;
        bool folderMade; // what making the save folder gives
        QString refusal;
        bool folderTried; // the save folder was made (the only write)
    };
    auto with = [](auto change) {
        JobRequest request = workedExample();
        change(request);
        return request;
    };
    const QString zoomText = "Zoom level should be between 1 and 30.";
    const QString nameText = "Project name should not contain a path (\"/\", \"\\\" or \"..\").";
    const Case cases[] = {
        // The proxy comes first: nothing is written for a port that is no port.
        {"port text", with([](JobRequest& r) { r.zoom = "0"; }), proxyOnPort("abc"), true,
         "The proxy port \"abc\" cannot be used: 'abc' is not a valid integer value.\n"
         "Correct it in Options > Options...",
         false},
        {"port range", workedExample(), proxyOnPort("70000"), true,
         "The proxy port \"70000\" cannot be used: '70000' is not a valid proxy port (1 to "
         "65535).\nCorrect it in Options > Options...",
         false},
        {"zoom 0", with([](JobRequest& r) { r.zoom = "0"; r.saveFolder = ""; }), {}, true,
         zoomText, false},
        {"zoom 31", with([](JobRequest& r) { r.zoom = "31"; }), {}, true, zoomText, false},
        {"zoom text", with([](JobRequest& r) { r.zoom = "x"; }), {}, true,
         "'x' is not a valid integer value", false},
        {"no folder", with([](JobRequest& r) { r.saveFolder = ""; r.area.left = "200"; }), {},
         true, "Please select path to save images.", false},
        {"folder not made", with([](JobRequest& r) { r.area.left = "200"; }), {}, false,
         "Create directory /maps Failed.", true},
        {"left", with([](JobRequest& r) { r.area.left = "-180.1"; r.area.right = "181"; }), {},
         true, "Left Longitude should be between -180 and 180.", true},
        {"right", with([](JobRequest& r) { r.area.right = "180.5"; r.area.top = "86"; }), {},
         true, "Right Longitude should be between -180 and 180.", true},
        {"top", with([](JobRequest& r) { r.area.top = "85.0001"; r.area.bottom = "-86"; }), {},
         true, "Top Latitude should be between -85 and 85.", true},
        {"bottom", with([](JobRequest& r) { r.area.bottom = "-86"; r.area.left = "117"; }), {},
         true, "Bottom Latitude should be between -85 and 85.", true},
        {"left > right", with([](JobRequest& r) { r.area.left = "117"; r.area.top = "0"; }), {},
         true, "Left Longitude should less than Right Longitude!", true},
        {"top < bottom", with([](JobRequest& r) { r.area.top = "39"; r.projectName = ".."; }),
         {}, true, "Bottom Latitude should less than Top Latitude!", true},
        {"tiles", with([](JobRequest& r) {
             r.area = {"-180", "180", "85", "-85"};
             r.zoom = "20";
             r.projectName = "../x";
         }),
         {}, true,
         "This job has 1,095,910,817,792 tiles; a job can have at most 2,147,483,647 tiles.",
         true},
        {"name ../x", with([](JobRequest& r) { r.projectName = "../x"; }), {}, true, nameText,
         true},
        {"name a\\b", with([](JobRequest& r) { r.projectName = "a\\b"; }), {}, true, nameText,
         true},
        {"name ..", with([](JobRequest& r) { r.projectName = ".."; }), {}, true, nameText, true},
    };
    for (const Case& c : cases) {
        QStringList made;
        const PlanOutcome outcome = planJob(c.request, c.settings, [&](const QString& folder) {
            made << folder;
            return c.folderMade;
        });
        EXPECT_FALSE(outcome.plan) << c.what;
        EXPECT_EQ(outcome.refusal, c.refusal) << c.what;
        EXPECT_EQ(made, c.folderTried ? QStringList{"/maps"} : QStringList{}) << c.what;
    }
}

TEST(PlanTest, WorkedExampleGivesItsTilesNamesAndExtent)
{
    JobSettings settings = proxyOnPort("0x1F90");
    const PlanOutcome outcome = planJob(workedExample(), settings, [](const QString&) { return true; });
    ASSERT_TRUE(outcome.plan) << outcome.refusal.toStdString();
    const JobPlan& plan = *outcome.plan;
    EXPECT_EQ(plan.proxyPort, 8080);
    EXPECT_EQ(plan.zoom, 13);
    EXPECT_EQ(plan.rect.minX, 6742);
    EXPECT_EQ(plan.rect.maxX, 6744);
    EXPECT_EQ(plan.rect.minY, 5087);
    EXPECT_EQ(plan.rect.maxY, 5090);
    EXPECT_EQ(plan.threadCount, 8);
    EXPECT_DOUBLE_EQ(plan.download.left, 116.279296875);
    EXPECT_DOUBLE_EQ(plan.download.right, 116.4111328125);
    EXPECT_EQ(plan.saveFolder, "/maps/");
    EXPECT_EQ(plan.projectName, "Job.tavo");
    EXPECT_EQ(plan.projectPath, "/maps/Job.tavo");
    EXPECT_EQ(plan.imageFolder, "/maps/Job/");
    EXPECT_EQ(plan.area.right, "116,4"); // as typed

    // More workers than tiles, or than slots, are lowered.
    JobRequest few = workedExample();
    few.threadCount = "30";
    EXPECT_EQ(planJob(few, {}, [](const QString&) { return true; }).plan->threadCount, 8);
    EXPECT_TRUE(planJob(few, {}, [](const QString&) { return true; }).plan->threadCountLowered);
    few.area = {"116.3", "116.3", "40", "40"};
    EXPECT_EQ(planJob(few, {}, [](const QString&) { return true; }).plan->threadCount, 1);

    // "Job" and "Job.tavo" are the same project for the resume test.
    const EnteredInputs entered = enteredInputs(workedExample(), plan);
    EXPECT_EQ(entered.fileName, "Job.tavo");
    EXPECT_EQ(entered.folder, "/maps/");
}

} // namespace
