#include "app/LogView.h"

#include "WindowTestSupport.h"

#include <QPlainTextEdit>
#include <QTextDocument>

using namespace tavo;
using namespace tavo::testing;

namespace {

// The window trims its own top lines; whatever the bursts, it must show
// exactly the log's last lines afterwards, with nothing kept for undo.
TEST(LogViewTest, WindowShowsExactlyTheViewsTailAfterEveryBurst)
{
    ensureApplication();
    constexpr int Cap = 50;
    struct Case
    {
        const char* name;
        std::vector<int> bursts; // reports appended before each refresh
        bool twoLines = false;   // each report is two lines
    };
    const Case cases[] = {
        {"single lines past the cap", std::vector<int>(Cap + 7, 1)},
        {"bursts that cross the cap", {7, 49, 1, 30, 50}},
        {"one burst of exactly the cap", {3, Cap}},
        {"a burst beyond the cap resets", {10, Cap + 25, 4}},
        {"two-line reports", {20, 20, 20}, true},
    };
    for (const Case& c : cases) {
        QPlainTextEdit memo;
        LogView view(&memo);
        view.log().setViewCap(Cap);
        QStringList all{view.log().lastLine()};
        int n = 0;
        for (int burst : c.bursts) {
            for (int i = 0; i < burst; ++i, ++n) {
                const QString report = c.twoLines ? QStringLiteral("line %1\nsecond of %1").arg(n)
                                                  : QStringLiteral("line %1").arg(n);
                view.append(report);
                all << report.split('\n');
            }
            view.refresh();
        }
        EXPECT_EQ(memo.toPlainText(), all.mid(std::max<qsizetype>(0, all.size() - Cap)).join('\n'))
            << c.name;
        EXPECT_LE(memo.document()->blockCount(), Cap) << c.name;
        EXPECT_EQ(memo.document()->availableUndoSteps(), 0) << c.name;
    }
}

} // namespace
