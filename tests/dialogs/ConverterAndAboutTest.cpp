#include "dialogs/TfrmAbout.h"
#include "dialogs/TfrmConvert.h"
#include "dialogs/WindowStyle.h"

#include "WindowTestSupport.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace tavo {
namespace {

class ConverterTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { tavo::testing::ensureApplication(); }

    void SetUp() override
    {
        m_dialog = std::make_unique<TfrmConvert>();
        m_dialog->show();
        m_dialog->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_dialog.get()));
    }

    // Types the three values the way a person does: click, select what is there, type.
    void typeAndPressEnter(const QString& degrees, const QString& minutes, const QString& seconds)
    {
        const QString texts[] = {degrees, minutes, seconds};
        QLineEdit* edits[] = {m_dialog->Edit1(), m_dialog->Edit2(), m_dialog->Edit3()};
        for (int i = 0; i < 3; ++i) {
            QTest::mouseClick(edits[i], Qt::LeftButton);
            edits[i]->selectAll();
            QTest::keyClick(edits[i], Qt::Key_Delete);
            QTest::keyClicks(edits[i], texts[i]);
        }
        QTest::keyClick(edits[2], Qt::Key_Return);
    }

    // The system's decimal separator in place of the point.
    static QString shown(const char* withPoint)
    {
        return QString::fromLatin1(withPoint).replace(u'.', QLocale::system().decimalPoint());
    }

    tavo::testing::ScopedRecordingShell m_desktop;
    std::unique_ptr<TfrmConvert> m_dialog;
};

TEST_F(ConverterTest, LayoutCaptionAndWindowKind)
{
    EXPECT_EQ(m_dialog->windowTitle(),
              QStringLiteral("Convert \"Degrees,Minutes,Seconds\" to \"Degrees\""));
    EXPECT_TRUE(m_dialog->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(m_dialog->isModal());
    EXPECT_TRUE(m_dialog->Button1()->isDefault());
    EXPECT_EQ(m_dialog->Button1()->text(), QStringLiteral("convert"));
    EXPECT_TRUE(m_dialog->Edit4()->isReadOnly());
    for (QLineEdit* edit :
         {m_dialog->Edit1(), m_dialog->Edit2(), m_dialog->Edit3(), m_dialog->Edit4()})
        EXPECT_TRUE(edit->text().isEmpty());

    for (const char* name : {"Label1", "Label2"}) {
        auto* label = m_dialog->findChild<QLabel*>(QLatin1String(name));
        ASSERT_NE(label, nullptr) << name;
        EXPECT_LE(QFontMetrics(label->font()).horizontalAdvance(label->text()), label->width());
    }
}

TEST_F(ConverterTest, EnterConvertsWhatWasTyped)
{
    const struct
    {
        const char* d;
        const char* m;
        const char* s;
        const char* result;
    } cases[] = {
        {"116", "30", "30", "116.508331298828"},
        {"10", "59", "59", "10.9997224807739"},
        {"0", "0", "30", "0.00833333376795053"},
        {"116", "30", "0", "116.5"},
        {"40", "0", "", "40"},
        {"-116", "30", "0", "-116.5"},
        {"0", "0", "12.5", "0.00347222224809229"},
    };
    for (const auto& c : cases) {
        typeAndPressEnter(QLatin1String(c.d), QLatin1String(c.m), QLatin1String(c.s));
        EXPECT_EQ(m_dialog->Edit4()->text(), shown(c.result))
            << c.d << " " << c.m << " " << c.s << " gave "
            << m_dialog->Edit4()->text().toStdString();
    }
    EXPECT_TRUE(m_desktop.shell.messages.isEmpty());
    EXPECT_TRUE(m_dialog->isVisible());
}

TEST_F(ConverterTest, BadDegreesOrMinutesShowInputErrorAndKeepTheResult)
{
    typeAndPressEnter(QStringLiteral("116"), QStringLiteral("30"), QStringLiteral("0"));
    ASSERT_EQ(m_dialog->Edit4()->text(), shown("116.5"));

    typeAndPressEnter(QStringLiteral("12.5"), QStringLiteral("0"), QStringLiteral("0"));
    typeAndPressEnter(QStringLiteral("116"), QString(), QStringLiteral("0"));
    const QStringList expected = {"Input Error.", "Input Error."};
    EXPECT_EQ(m_desktop.shell.messages, expected);
    EXPECT_EQ(m_dialog->Edit4()->text(), shown("116.5"));
    EXPECT_EQ(m_dialog->Edit1()->text(), QStringLiteral("116"));
    EXPECT_TRUE(m_dialog->Edit2()->text().isEmpty());
    EXPECT_TRUE(m_dialog->isVisible());
}

TEST_F(ConverterTest, ClickingConvertDoesWhatEnterDoes)
{
    m_dialog->Edit1()->setText(QStringLiteral("40"));
    m_dialog->Edit2()->setText(QStringLiteral("30"));
    QTest::mouseClick(m_dialog->Button1(), Qt::LeftButton);
    EXPECT_EQ(m_dialog->Edit4()->text(), shown("40.5"));
}

class AboutBoxTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { tavo::testing::ensureApplication(); }

    tavo::testing::ScopedRecordingShell m_desktop;
    TfrmAbout m_about;
};

TEST_F(AboutBoxTest, ShowsWhatItWasPreparedWith)
{
    EXPECT_EQ(m_about.windowTitle(), QStringLiteral("About"));
    EXPECT_EQ(m_about.minimumSize(), m_about.maximumSize());
    m_about.prepare(QStringLiteral("Tavo 8.07"), QStringLiteral("http://home.example/"),
                    QStringLiteral("mailto:help@home.example"));
    EXPECT_EQ(m_about.Label3()->text(), QStringLiteral("Tavo 8.07"));
    EXPECT_EQ(m_about.Label4()->text(), QStringLiteral("http://home.example/"));
    EXPECT_EQ(m_about.Label7()->text(), QStringLiteral("mailto:help@home.example"));

    // Shown again later, it takes the caption the main window has then.
    m_about.prepare(QStringLiteral("Tavo 5.7"), QStringLiteral("http://home.example/"),
                    QStringLiteral("mailto:help@home.example"));
    EXPECT_EQ(m_about.Label3()->text(), QStringLiteral("Tavo 5.7"));

    // The 32 x 32 icon in the top right corner, right of the caption.
    EXPECT_EQ(m_about.Image1()->size(), QSize(32, 32));
    EXPECT_FALSE(m_about.Image1()->pixmap().isNull());
    EXPECT_GT(m_about.Image1()->x(), m_about.width() / 2);
    EXPECT_LT(m_about.Image1()->y(), m_about.Label4()->y());
}

TEST_F(AboutBoxTest, LinksOpenWithTheDesktopAndOkCloses)
{
    m_about.prepare(QStringLiteral("Tavo 8.07"), QStringLiteral("http://home.example/"),
                    QStringLiteral("mailto:help@home.example"));
    m_about.open();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_about));

    QTest::mouseClick(m_about.Label4(), Qt::LeftButton);
    QTest::mouseClick(m_about.Label7(), Qt::LeftButton);
    QTest::mouseClick(m_about.Label3(), Qt::LeftButton); // not a link
    const QStringList expected = {"http://home.example/", "mailto:help@home.example"};
    EXPECT_EQ(m_desktop.shell.openedDocuments, expected);
    EXPECT_TRUE(m_about.isVisible());

    EXPECT_EQ(m_about.bLater()->text(), QStringLiteral("&OK"));
    EXPECT_TRUE(m_about.bLater()->isDefault());
    QTest::mouseClick(m_about.bLater(), Qt::LeftButton);
    EXPECT_FALSE(m_about.isVisible());
    EXPECT_EQ(m_about.result(), QDialog::Accepted);
}

TEST_F(AboutBoxTest, EnterPressesOk)
{
    m_about.prepare(QStringLiteral("Tavo 8.07"), QString(), QString());
    m_about.open();
    m_about.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&m_about));
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget()
                                                : static_cast<QWidget*>(&m_about),
                    Qt::Key_Return);
    EXPECT_FALSE(m_about.isVisible());
}

} // namespace
} // namespace tavo
