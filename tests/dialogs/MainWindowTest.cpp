#include "dialogs/TForm1.h"
#include "dialogs/UpDown.h"
#include "dialogs/WindowStyle.h"

#include "WindowTestSupport.h"

#include <QAction>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>

namespace tavo {
namespace {

class RecordingHandler final : public TForm1Handler
{
public:
    void FormShow() override { events << QStringLiteral("FormShow"); }
    void BitBtn1Click() override { events << QStringLiteral("BitBtn1Click"); }
    void Button1Click() override { events << QStringLiteral("Button1Click"); }
    void Button2Click() override { events << QStringLiteral("Button2Click"); }
    void Timer1Timer() override { events << QStringLiteral("Timer1Timer"); }
    void LoadParametersfromprojectfilel1Click() override
    {
        events << QStringLiteral("LoadParametersfromprojectfilel1Click");
    }
    void Exit1Click() override { events << QStringLiteral("Exit1Click"); }
    bool FormCloseQuery() override
    {
        events << QStringLiteral("FormCloseQuery");
        return allowClose;
    }
    void Options1Click() override { events << QStringLiteral("Options1Click"); }
    void Convert1Click() override { events << QStringLiteral("Convert1Click"); }
    void Viewlognow1Click() override { events << QStringLiteral("Viewlognow1Click"); }
    void SatelliteImagesViewer1Click() override
    {
        events << QStringLiteral("SatelliteImagesViewer1Click");
    }
    void CombineImages1Click() override { events << QStringLiteral("CombineImages1Click"); }
    void Downloadsingleimage1Click() override
    {
        events << QStringLiteral("Downloadsingleimage1Click");
    }
    void Usermanual1Click() override { events << QStringLiteral("Usermanual1Click"); }
    void Homepage1Click() override { events << QStringLiteral("Homepage1Click"); }
    void About1Click() override { events << QStringLiteral("About1Click"); }

    QStringList events;
    bool allowClose = true;
};

class MainWindowTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { tavo::testing::ensureApplication(); }

    void SetUp() override
    {
        m_form = std::make_unique<TForm1>();
        m_form->setHandler(&m_handler);
    }

    // Shows the window and makes it the active one, as a person would find it.
    void showActive()
    {
        m_form->show();
        m_form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_form.get()));
    }

    template <typename T> T* control(const char* name)
    {
        return m_form->findChild<T*>(QLatin1String(name));
    }

    QString focusName() const
    {
        QWidget* focus = QApplication::focusWidget();
        return focus ? focus->objectName() : QStringLiteral("<none>");
    }

    RecordingHandler m_handler;
    std::unique_ptr<TForm1> m_form;
};

TEST_F(MainWindowTest, ClientAreaIsFixedAt496By463InThreeBands)
{
    showActive();
    QWidget* client = m_form->centralWidget();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->size(), QSize(496, 295 + 149));
    EXPECT_EQ(m_form->Panel1()->geometry(), QRect(0, 0, 496, 295));
    EXPECT_EQ(m_form->Memo1()->geometry(), QRect(0, 295, 496, 149));
    EXPECT_EQ(m_form->StatusBar1()->height(), 19);
    EXPECT_EQ(m_form->StatusBar1()->width(), 496);
    EXPECT_EQ(m_form->StatusBar1()->y(), client->geometry().bottom() + 1);
    EXPECT_EQ(client->y(), m_form->menuBar()->height());

    // The window's client is the menu bar plus 463 pixels and cannot be resized.
    EXPECT_EQ(m_form->size(), QSize(496, m_form->menuBar()->height() + 463));
    EXPECT_EQ(m_form->minimumSize(), m_form->maximumSize());

    const Qt::WindowFlags flags = m_form->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
}

struct Placement
{
    const char* name;
    const char* parent;
    QRect geometry;
};

TEST_F(MainWindowTest, ControlsStandWhereTheLayoutPutsThem)
{
    const Placement placements[] = {
        {"Edit11", "Panel1", QRect(107, 18, 174, 21)},
        {"Button2", "Panel1", QRect(360, 16, 123, 25)},
        {"GroupBox4", "Panel1", QRect(13, 48, 473, 145)},
        {"BitBtn1", "Panel1", QRect(360, 220, 121, 33)},
        {"PanelDMS", "Panel1", QRect(478, 71, 466, 59)},
        {"Edit1", "GroupBox4", QRect(99, 16, 106, 21)},
        {"Edit3", "GroupBox4", QRect(345, 16, 106, 21)},
        {"Edit2", "GroupBox4", QRect(99, 45, 106, 21)},
        {"Edit4", "GroupBox4", QRect(345, 45, 106, 21)},
        {"Edit5", "GroupBox4", QRect(99, 74, 94, 21)},
        {"UpDown1", "GroupBox4", QRect(193, 74, 15, 21)},
        {"Edit10", "GroupBox4", QRect(345, 72, 94, 21)},
        {"UpDown2", "GroupBox4", QRect(439, 72, 15, 21)},
        {"Edit6", "GroupBox4", QRect(99, 106, 302, 21)},
        {"Button1", "GroupBox4", QRect(411, 106, 38, 25)},
    };
    for (const Placement& p : placements) {
        QWidget* widget = control<QWidget>(p.name);
        ASSERT_NE(widget, nullptr) << p.name;
        ASSERT_NE(widget->parentWidget(), nullptr) << p.name;
        EXPECT_EQ(widget->parentWidget()->objectName(), QLatin1String(p.parent)) << p.name;
        EXPECT_EQ(widget->geometry(), p.geometry) << p.name;
    }
    // The labels' left edges and tops as laid out; their heights centre the text on the fields.
    EXPECT_EQ(m_form->Label14()->x(), 16);
    EXPECT_EQ(m_form->Label15()->x(), 15);
    EXPECT_EQ(m_form->LabelSTXT()->pos(), QPoint(11, 256));
}

TEST_F(MainWindowTest, InitialCaptionsAndTexts)
{
    EXPECT_EQ(m_form->windowTitle(), QStringLiteral("Tavo 5.7"));
    EXPECT_EQ(m_form->Edit11()->text(), QStringLiteral("NewProject.tavo"));
    EXPECT_EQ(m_form->Button2()->text(), QStringLiteral("Open project ..."));
    EXPECT_EQ(m_form->BitBtn1()->text(), QStringLiteral("Download"));
    EXPECT_EQ(m_form->Button1()->text(), QStringLiteral("..."));
    EXPECT_EQ(m_form->Button1()->toolTip(), QStringLiteral("Click to select path"));
    EXPECT_EQ(m_form->Edit5()->text(), QStringLiteral("13"));
    EXPECT_EQ(m_form->Edit10()->text(), QStringLiteral("1"));
    for (QLineEdit* empty :
         {m_form->Edit1(), m_form->Edit2(), m_form->Edit3(), m_form->Edit4(), m_form->Edit6()})
        EXPECT_TRUE(empty->text().isEmpty()) << empty->objectName().toStdString();
    EXPECT_TRUE(m_form->LabelSTXT()->text().isEmpty());
    EXPECT_FALSE(m_form->Label14()->text().isEmpty()); // placeholder until start-up clears it

    QLabel* statusText = m_form->StatusBar1()->findChild<QLabel*>();
    ASSERT_NE(statusText, nullptr);
    EXPECT_EQ(statusText->text(), TForm1::statusBarText());
    EXPECT_TRUE(statusText->text().contains(QStringLiteral("http://")));
}

TEST_F(MainWindowTest, EveryCaptionFitsItsLabel)
{
    // Captions set later are the longest texts the program shows there.
    m_form->Label14()->setText(
        QStringLiteral("MinX=1048575,MinY=1048575,MaxX=1048575,MaxY=1048575"));
    m_form->Label15()->setText(QStringLiteral("Total images: 1099511627776"));
    m_form->LabelSTXT()->setText(QStringLiteral("Loading server parameters...finished"));
    for (QLabel* label : m_form->findChildren<QLabel*>()) {
        if (label->text().isEmpty() || label->parentWidget() == m_form->StatusBar1())
            continue;
        const int needed = QFontMetrics(label->font()).horizontalAdvance(label->text());
        EXPECT_LE(needed, label->width())
            << label->objectName().toStdString() << " '" << label->text().toStdString() << "'";
        EXPECT_GE(label->height(), QFontMetrics(label->font()).height())
            << label->objectName().toStdString();
    }
}

TEST_F(MainWindowTest, LogWindowStatusLabelsAndTimer)
{
    QPlainTextEdit* memo = m_form->Memo1();
    EXPECT_EQ(memo->toPlainText(), QStringLiteral("[log window]"));
    EXPECT_TRUE(memo->isReadOnly());
    EXPECT_EQ(memo->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(memo->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(memo->font().pixelSize(), style::kLogFontPixels);
    EXPECT_EQ(memo->palette().color(QPalette::Text), style::green());
    for (QLabel* label : {m_form->Label14(), m_form->Label15(), m_form->LabelSTXT()})
        EXPECT_EQ(label->palette().color(QPalette::WindowText), style::green());
    EXPECT_NE(m_form->Edit1()->palette().color(QPalette::Text), style::green());

    QTimer* timer = m_form->Timer1();
    EXPECT_EQ(timer->objectName(), QStringLiteral("Timer1"));
    EXPECT_EQ(timer->interval(), 1000);
    EXPECT_EQ(timer->timerType(), Qt::PreciseTimer); // a default timer may tick 50 ms late
    EXPECT_FALSE(timer->isActive());
    EXPECT_FALSE(timer->isSingleShot());

    timer->setInterval(1);
    timer->start();
    EXPECT_TRUE(QTest::qWaitFor([this] { return m_handler.events.size() >= 2; }, 5000));
    timer->stop();
    EXPECT_EQ(m_handler.events.value(0), QStringLiteral("Timer1Timer"));
    EXPECT_EQ(m_handler.events.value(1), QStringLiteral("Timer1Timer"));
}

TEST_F(MainWindowTest, TabMovesThroughTheJobFieldsInOrder)
{
    showActive();
    m_form->Memo1()->setFocus();
    ASSERT_EQ(focusName(), QStringLiteral("Memo1"));

    QStringList visited;
    for (int i = 0; i < 12; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << focusName();
    }
    // PanelDMS is hidden, so after the open button the round starts again at the log window.
    const QStringList expected = {"Edit1", "Edit3",   "Edit2",   "Edit4",  "Edit5",   "Edit10",
                                  "Edit6", "Button1", "BitBtn1", "Edit11", "Button2", "Memo1"};
    EXPECT_EQ(visited, expected);
}

TEST_F(MainWindowTest, TabReachesTheDegreeFieldsWhenTheyAreShown)
{
    showActive();
    m_form->PanelDMS()->setVisible(true);
    m_form->Button2()->setFocus();
    QStringList visited;
    for (int i = 0; i < 5; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << focusName();
    }
    const QStringList expected = {"EditLLongD", "EditLLongM", "EditLLongS", "ComLLong",
                                  "EditRLongD"};
    EXPECT_EQ(visited, expected);
}

TEST_F(MainWindowTest, ZoomAndThreadFieldsChangeOnlyThroughTheirArrows)
{
    showActive();
    QLineEdit* zoom = m_form->Edit5();
    zoom->setFocus();
    QTest::keyClicks(zoom, QStringLiteral("7"));
    QTest::keyClick(zoom, Qt::Key_Backspace);
    QTest::keyClick(zoom, Qt::Key_Delete);
    EXPECT_EQ(zoom->text(), QStringLiteral("13"));

    EXPECT_EQ(m_form->UpDown1()->minimum(), 1);
    EXPECT_EQ(m_form->UpDown1()->maximum(), 20);
    EXPECT_EQ(m_form->UpDown2()->minimum(), 1);
    EXPECT_EQ(m_form->UpDown2()->maximum(), 8);

    for (int i = 0; i < 10; ++i)
        QTest::keyClick(zoom, Qt::Key_Up);
    EXPECT_EQ(zoom->text(), QStringLiteral("20"));
    for (int i = 0; i < 25; ++i)
        QTest::keyClick(zoom, Qt::Key_Down);
    EXPECT_EQ(zoom->text(), QStringLiteral("1"));

    QLineEdit* threads = m_form->Edit10();
    EXPECT_TRUE(threads->isReadOnly());
    QToolButton* threadsUp = nullptr;
    for (QToolButton* button : m_form->UpDown2()->findChildren<QToolButton*>()) {
        if (button->arrowType() == Qt::UpArrow)
            threadsUp = button;
    }
    ASSERT_NE(threadsUp, nullptr);
    for (int i = 0; i < 12; ++i)
        QTest::mouseClick(threadsUp, Qt::LeftButton);
    EXPECT_EQ(threads->text(), QStringLiteral("8"));

    // A default written by start-up beyond the limit is shown as it is.
    threads->setText(QStringLiteral("30"));
    EXPECT_EQ(threads->text(), QStringLiteral("30"));
}

TEST_F(MainWindowTest, MenusHoldTheirItemsCaptionsAndShortcuts)
{
    struct Item
    {
        const char* name; // "-" for a separator
        const char* caption;
        QKeySequence shortcut;
        bool visible;
    };
    struct Menu
    {
        const char* name;
        const char* title;
        std::vector<Item> items;
    };
    const std::vector<Menu> menus = {
        {"File1",
         "&File",
         {{"LoadParametersfromprojectfilel1", "Open project...", QKeySequence(Qt::CTRL | Qt::Key_O),
           true},
          {"Saveprojectas1", "Save project as...", {}, false},
          {"Saveproject1", "Save project", QKeySequence(Qt::CTRL | Qt::Key_S), false},
          {"-", "", {}, true},
          {"Exit1", "E&xit", {}, true}}},
        {"Options2", "&Options", {{"Options1", "Options...", {}, true}}},
        {"Tools1",
         "&Tools",
         {{"Convert1", "Convert \"Degrees,Minutes,Seconds\"  to \"Degrees\"...", {}, true},
          {"-", "", {}, true},
          {"Viewlognow1", "View log now", QKeySequence(Qt::Key_F12), true},
          {"-", "", {}, true},
          {"SatelliteImagesViewer1", "Satellite Images Viewer", {}, true},
          {"-", "", {}, true},
          {"CombineImages1", "Combine Images...", {}, true},
          {"-", "", {}, true},
          {"Downloadsingleimage1", "Download single image...", {}, true},
          {"-", "", {}, true},
          {"Fetchmissing1", "Fetch missing tiles again", {}, true},
          {"-", "", {}, true},
          {"SelectArea1", "Select area on map...", QKeySequence(Qt::CTRL | Qt::Key_M), true}}},
        {"Help1",
         "&Help",
         {{"Usermanual1", "User manual", {}, true},
          {"Homepage1", "Homepage", {}, true},
          {"-", "", {}, true},
          {"About1", "About...", {}, true}}},
    };

    QMenuBar* bar = m_form->menuBar();
    EXPECT_EQ(bar->objectName(), QStringLiteral("MainMenu1"));
    const QList<QAction*> barActions = bar->actions();
    ASSERT_EQ(barActions.size(), qsizetype(menus.size()));
    for (size_t m = 0; m < menus.size(); ++m) {
        QMenu* menu = barActions[qsizetype(m)]->menu();
        ASSERT_NE(menu, nullptr);
        EXPECT_EQ(menu->objectName(), QLatin1String(menus[m].name));
        EXPECT_EQ(menu->title(), QLatin1String(menus[m].title));
        const QList<QAction*> actions = menu->actions();
        ASSERT_EQ(actions.size(), qsizetype(menus[m].items.size())) << menus[m].name;
        for (size_t i = 0; i < menus[m].items.size(); ++i) {
            const Item& item = menus[m].items[i];
            QAction* action = actions[qsizetype(i)];
            if (QLatin1String(item.name) == QLatin1String("-")) {
                EXPECT_TRUE(action->isSeparator()) << menus[m].name << " item " << i;
                continue;
            }
            EXPECT_EQ(action->objectName(), QLatin1String(item.name));
            EXPECT_EQ(action->text(), QString::fromUtf8(item.caption)) << item.name;
            EXPECT_EQ(action->shortcut(), item.shortcut) << item.name;
            EXPECT_EQ(action->isVisible(), item.visible) << item.name;
        }
    }
}

TEST_F(MainWindowTest, EveryCommandReachesItsHandler)
{
    const struct
    {
        QAction* action;
        const char* event;
    } commands[] = {
        {m_form->LoadParametersfromprojectfilel1(), "LoadParametersfromprojectfilel1Click"},
        {m_form->Exit1(), "Exit1Click"},
        {m_form->Options1(), "Options1Click"},
        {m_form->Convert1(), "Convert1Click"},
        {m_form->Viewlognow1(), "Viewlognow1Click"},
        {m_form->SatelliteImagesViewer1(), "SatelliteImagesViewer1Click"},
        {m_form->CombineImages1(), "CombineImages1Click"},
        {m_form->Downloadsingleimage1(), "Downloadsingleimage1Click"},
        {m_form->Usermanual1(), "Usermanual1Click"},
        {m_form->Homepage1(), "Homepage1Click"},
        {m_form->About1(), "About1Click"},
    };
    for (const auto& command : commands) {
        m_handler.events.clear();
        command.action->trigger();
        EXPECT_EQ(m_handler.events, QStringList{QLatin1String(command.event)}) << command.event;
    }

    m_handler.events.clear();
    m_form->Saveprojectas1()->trigger();
    m_form->Saveproject1()->trigger();
    EXPECT_TRUE(m_handler.events.isEmpty());

    showActive();
    m_handler.events.clear();
    QTest::mouseClick(m_form->BitBtn1(), Qt::LeftButton);
    QTest::mouseClick(m_form->Button1(), Qt::LeftButton);
    QTest::mouseClick(m_form->Button2(), Qt::LeftButton);
    const QStringList expected = {"BitBtn1Click", "Button1Click", "Button2Click"};
    EXPECT_EQ(m_handler.events, expected);
}

TEST_F(MainWindowTest, F12AndCtrlOWorkFromAnywhereCtrlSDoesNothing)
{
    showActive();
    QSignalSpy saveSpy(m_form->Saveproject1(), &QAction::triggered);
    for (QWidget* focus : std::initializer_list<QWidget*>{m_form->Edit1(), m_form->Memo1(),
                                                          m_form->Edit5(), m_form->BitBtn1()}) {
        focus->setFocus();
        m_handler.events.clear();
        QTest::keyClick(focus, Qt::Key_F12);
        QTest::keyClick(focus, Qt::Key_O, Qt::ControlModifier);
        QTest::keyClick(focus, Qt::Key_S, Qt::ControlModifier);
        const QStringList expected = {"Viewlognow1Click", "LoadParametersfromprojectfilel1Click"};
        EXPECT_EQ(m_handler.events, expected) << focus->objectName().toStdString();
    }
    EXPECT_EQ(saveSpy.count(), 0);
    EXPECT_TRUE(m_form->Edit1()->text().isEmpty()); // Ctrl+S typed nothing either
}

TEST_F(MainWindowTest, FirstShowIsReportedOnceAndCloseAsksTheHandler)
{
    showActive();
    m_form->hide();
    m_form->show();
    EXPECT_EQ(m_handler.events.count(QStringLiteral("FormShow")), 1);

    m_handler.allowClose = false;
    EXPECT_FALSE(m_form->close());
    EXPECT_TRUE(m_form->isVisible());
    EXPECT_EQ(m_handler.events.count(QStringLiteral("FormCloseQuery")), 1);

    m_handler.allowClose = true;
    EXPECT_TRUE(m_form->close());
    EXPECT_FALSE(m_form->isVisible());
}

TEST_F(MainWindowTest, DegreePanelIsHiddenWithItsFieldsAndBoxes)
{
    QWidget* panel = m_form->PanelDMS();
    EXPECT_FALSE(panel->isVisibleTo(m_form.get()));
    const struct
    {
        const char* name;
        int maxLength;
    } fields[] = {{"EditLLongD", 3}, {"EditLLongM", 2}, {"EditLLongS", 2}, {"EditRLongD", 3},
                  {"EditRLongM", 2}, {"EditRLongS", 2}, {"EditTLatD", 3},  {"EditTLatM", 2},
                  {"EditTLatS", 2},  {"EditBLatD", 3},  {"EditBLatM", 2},  {"EditBLatS", 2}};
    for (const auto& field : fields) {
        auto* edit = panel->findChild<QLineEdit*>(QLatin1String(field.name));
        ASSERT_NE(edit, nullptr) << field.name;
        EXPECT_EQ(edit->maxLength(), field.maxLength) << field.name;
    }
    const std::pair<const char*, const char*> boxes[] = {
        {"ComLLong", "E"}, {"ComRLong", "E"}, {"ComTLat", "N"}, {"ComBLat", "N"}};
    for (const auto& [name, first] : boxes) {
        auto* combo = panel->findChild<QComboBox*>(QLatin1String(name));
        ASSERT_NE(combo, nullptr) << name;
        EXPECT_EQ(combo->count(), 2) << name;
        EXPECT_EQ(combo->currentText(), QLatin1String(first)) << name;
    }
}

} // namespace
} // namespace tavo
