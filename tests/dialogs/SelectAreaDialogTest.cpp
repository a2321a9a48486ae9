#include "dialogs/AreaMap.h"
#include "dialogs/SelectAreaDialog.h"
#include "dialogs/Shell.h"
#include "engine/AreaMath.h"

#include "WindowTestSupport.h"

#include "TileServer.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace tavo {
namespace {

using testing::ensureApplication;
using testing::RecordingShell;

class SelectAreaDialogTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ensureApplication(); }
    void SetUp() override
    {
        tileserver::Options refusing;
        refusing.refuseFromRequest = 1; // every map tile: 403
        m_server = std::make_unique<tileserver::TileServer>(refusing);
        m_server->start();
        m_previousShell = Shell::install(&m_shell);
    }
    void TearDown() override { Shell::install(m_previousShell); }

    SelectAreaDialog::Setup setup(const AreaTexts& area, const QString& zoom) const
    {
        SelectAreaDialog::Setup setup;
        setup.area = area;
        setup.zoomText = zoom;
        setup.source.proxy.useProxy = true;
        setup.source.proxy.server = QStringLiteral("127.0.0.1");
        setup.source.proxy.port = QString::number(m_server->port());
        setup.source.urlTail = QStringLiteral(".jpeg?g=1");
        setup.estimate = [](const AreaTexts& texts, const QString& zoomText) {
            return QStringLiteral("%1 tiles")
                .arg(tileRectFor(ParseArea(texts), zoomText.toInt()).count());
        };
        return setup;
    }

    std::unique_ptr<tileserver::TileServer> m_server;
    RecordingShell m_shell;
    Shell* m_previousShell = nullptr;
};

// The dialog opens on the fields' tiles, says why the map's tiles fail, and a
// rectangle dragged on the map is what OK hands back, at the chosen zoom.
TEST_F(SelectAreaDialogTest, OpensOnTheFieldsDrawsWithTheMouseAndSaysWhyTilesFail)
{
    const AreaTexts fields{"-9.2", "-9,0", "38.8", "38.7"};
    SelectAreaDialog dialog(setup(fields, QStringLiteral("12")));
    dialog.show();
    AreaMap& map = *dialog.map();
    EXPECT_EQ(map.selection(), tileRectFor(ParseArea(fields), 12));
    EXPECT_EQ(tileRectFor(ParseArea(dialog.areaTexts()), 12), map.selection());
    EXPECT_TRUE(dialog.infoText().endsWith(
        QStringLiteral("%1 tiles").arg(map.selection().count())))
        << dialog.infoText().toStdString();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return dialog.statusText().contains(QStringLiteral("403")); }, 10000))
        << dialog.statusText().toStdString();

    // A new rectangle, away from the old one.
    const QPoint from(20, 20), to(map.width() / 3, map.height() / 3);
    const TilePosition a = map.jobTileAt(from), b = map.jobTileAt(to);
    QTest::mousePress(&map, Qt::LeftButton, Qt::NoModifier, from);
    QTest::mouseMove(&map, to);
    QTest::mouseRelease(&map, Qt::LeftButton, Qt::NoModifier, to);
    const TileRect drawn{a.x, b.x, b.y, a.y};
    ASSERT_EQ(map.selection(), drawn);

    // Dragged from inside, it moves by whole tiles and keeps its size.
    const QPointF inside = map.screenRect(drawn).center();
    const double cell = map.screenRect({a.x, a.x, a.y, a.y}).width();
    const QPoint there = (inside + QPointF(2.5 * cell, 0)).toPoint();
    QTest::mousePress(&map, Qt::LeftButton, Qt::NoModifier, inside.toPoint());
    QTest::mouseMove(&map, there);
    QTest::mouseRelease(&map, Qt::LeftButton, Qt::NoModifier, there);
    EXPECT_EQ(map.selection().width(), drawn.width());
    EXPECT_EQ(map.selection().height(), drawn.height());
    EXPECT_GE(map.selection().minX, drawn.minX + 2);
    EXPECT_EQ(map.selection().minY, drawn.minY);

    // Another zoom keeps the ground: the texts read at the new zoom give the new tiles.
    const TileRect moved = map.selection();
    map.setJobZoom(14);
    EXPECT_EQ(dialog.zoom(), 14);
    EXPECT_EQ(tileRectFor(ParseArea(dialog.areaTexts()), 14), map.selection());
    EXPECT_EQ(map.selection().width(), moved.width() * 4);
}

// Fields that are no area open the whole world with nothing chosen: OK waits
// for a rectangle.
TEST_F(SelectAreaDialogTest, FieldsWithoutAnAreaOpenTheWholeWorld)
{
    SelectAreaDialog dialog(setup({"6.O5", "7", "47", "46"}, QStringLiteral("13")));
    dialog.show();
    EXPECT_TRUE(dialog.map()->selection().isEmpty());
    EXPECT_FALSE(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->isEnabled());
    const QRectF world = dialog.map()->screenRect({0, (1 << 13) - 1, 0, (1 << 13) - 1});
    EXPECT_TRUE(world.contains(QRectF(dialog.map()->rect()).center()));
    EXPECT_LE(world.width(), dialog.map()->width() + 1);
}

} // namespace
} // namespace tavo
