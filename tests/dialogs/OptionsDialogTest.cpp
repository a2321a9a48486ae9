// The Options dialog against a settings file in a temporary folder: what it shows, what OK
// writes (and how far it gets when a value is not a number), that Cancel writes nothing, and
// the keyboard behaviour.

#include "dialogs/Shell.h"
#include "dialogs/TfrmOptions.h"
#include "dialogs/UpDown.h"

#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace tavo {
namespace {

using tavo::testing::ensureApplication;
using tavo::testing::readAll;
using tavo::testing::RecordingShell;
using tavo::testing::writeFile;

// The non-empty lines of a file, line ends removed.
QStringList contentLines(const QString& path)
{
    QStringList lines = QString::fromUtf8(readAll(path)).split(QStringLiteral("\r\n"));
    lines.removeAll(QString());
    return lines;
}

class OptionsDialogTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ensureApplication(); }

    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("ini")));
        m_settingsPath = m_dir.path() + QStringLiteral("/ini/config.ini");
        m_previousShell = Shell::install(&m_shell);
        m_dialog = std::make_unique<TfrmOptions>();
        m_dialog->setSettingsPath(m_settingsPath);
    }

    void TearDown() override
    {
        m_dialog.reset();
        Shell::install(m_previousShell);
    }

    template <typename T> T* control(const char* name) const
    {
        T* found = m_dialog->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QLineEdit* edit(const char* name) const { return control<QLineEdit>(name); }
    void pressOk() { control<QPushButton>("Button1")->click(); }
    bool written(const QString& line) const { return contentLines(m_settingsPath).contains(line); }

    QTemporaryDir m_dir;
    QString m_settingsPath;
    RecordingShell m_shell;
    Shell* m_previousShell = nullptr;
    std::unique_ptr<TfrmOptions> m_dialog;
};

TEST_F(OptionsDialogTest, MissingFileShowsDefaultsAndOkWritesExactlyTheTenKeys)
{
    m_dialog->show();
    const QString kelp = QDir::homePath() + QStringLiteral("/kelp");
    EXPECT_EQ(edit("Edit12")->text(), kelp);
    EXPECT_EQ(edit("Edit10")->text(), QStringLiteral("13"));
    EXPECT_EQ(edit("Edit2")->text(), QStringLiteral("3"));
    EXPECT_EQ(edit("Edit1")->text(), QStringLiteral("0"));
    EXPECT_FALSE(control<QCheckBox>("CheckBoxUseProxy")->isChecked());
    EXPECT_TRUE(edit("EditProxyServer")->text().isEmpty());
    EXPECT_FALSE(QFile::exists(m_settingsPath)) << "showing must not create the file";

    pressOk();
    EXPECT_TRUE(m_shell.messages.isEmpty());
    EXPECT_FALSE(m_dialog->isVisible());
    EXPECT_EQ(m_dialog->result(), QDialog::Accepted);
    const QStringList expected = {
        QStringLiteral("[IniParas]"),     QStringLiteral("DefaultPath=") + kelp,
        QStringLiteral("DefaultZoom=13"), QStringLiteral("DefaultThreadCount=3"),
        QStringLiteral("SleepSeconds=0"), QStringLiteral("InputFormat=0"),
        QStringLiteral("[Proxy]"),        QStringLiteral("UseProxy=0"),
        QStringLiteral("ProxyServer="),   QStringLiteral("ProxyPort="),
        QStringLiteral("ProxyUsername="), QStringLiteral("ProxyPassword="),
    };
    EXPECT_EQ(contentLines(m_settingsPath), expected);
}

TEST_F(OptionsDialogTest, ValuesAreStoredAsTypedAndReadBackAtTheNextShowing)
{
    m_dialog->show();
    edit("Edit12")->setText(QStringLiteral("/data/t\u00e5iles"));
    control<UpDown>("UpDown2")->stepBy(2);
    edit("Edit1")->setText(QStringLiteral("900")); // the 600 limit is the spin button's only
    control<QCheckBox>("CheckBoxUseProxy")->setChecked(true);
    edit("EditProxyPort")->setText(QStringLiteral("80 80")); // never checked here
    edit("EditProxyPassword")->setText(QStringLiteral("s=cret"));
    pressOk();
    ASSERT_TRUE(m_shell.messages.isEmpty());
    EXPECT_TRUE(written(QStringLiteral("DefaultPath=/data/t\u00e5iles")));
    EXPECT_TRUE(written(QStringLiteral("DefaultZoom=15")));
    EXPECT_TRUE(written(QStringLiteral("SleepSeconds=900")));
    EXPECT_TRUE(written(QStringLiteral("UseProxy=1")));
    EXPECT_TRUE(written(QStringLiteral("ProxyPort=80 80")));
    EXPECT_TRUE(written(QStringLiteral("ProxyPassword=s=cret")));

    edit("Edit1")->clear();
    control<QCheckBox>("CheckBoxUseProxy")->setChecked(false);
    m_dialog->show();
    EXPECT_EQ(edit("Edit12")->text(), QStringLiteral("/data/t\u00e5iles"));
    EXPECT_EQ(edit("Edit1")->text(), QStringLiteral("900"));
    EXPECT_TRUE(control<QCheckBox>("CheckBoxUseProxy")->isChecked());
    EXPECT_EQ(edit("EditProxyPassword")->text(), QStringLiteral("s=cret"));
}

TEST_F(OptionsDialogTest, LetterInSleepShowsIntegerErrorWritesOnlyTheKeysBeforeItAndStaysOpen)
{
    m_dialog->show();
    edit("Edit12")->setText(QStringLiteral("/tiles"));
    edit("Edit1")->setText(QStringLiteral("a"));
    edit("EditProxyServer")->setText(QStringLiteral("proxy.local"));
    pressOk();

    EXPECT_EQ(m_shell.messages, QStringList{QStringLiteral("'a' is not a valid integer value")});
    EXPECT_TRUE(m_dialog->isVisible());
    EXPECT_EQ(edit("Edit1")->text(), QStringLiteral("a"));
    const QStringList expected = {
        QStringLiteral("[IniParas]"), QStringLiteral("DefaultPath=/tiles"),
        QStringLiteral("DefaultZoom=13"), QStringLiteral("DefaultThreadCount=3")};
    EXPECT_EQ(contentLines(m_settingsPath), expected);

    edit("Edit1")->setText(QStringLiteral("2"));
    pressOk();
    EXPECT_EQ(m_shell.messages.size(), 1);
    EXPECT_FALSE(m_dialog->isVisible());
    EXPECT_TRUE(written(QStringLiteral("ProxyServer=proxy.local")));
}

TEST_F(OptionsDialogTest, UnwritableFileShowsTheWriteErrorAndCreatesNothing)
{
    const QString path = m_dir.path() + QStringLiteral("/missing/config.ini");
    m_dialog->setSettingsPath(path);
    m_dialog->show();
    pressOk();
    EXPECT_EQ(m_shell.messages, QStringList{QStringLiteral("Unable to write to ") + path});
    EXPECT_TRUE(m_dialog->isVisible());
    EXPECT_FALSE(QDir(m_dir.path() + QStringLiteral("/missing")).exists());
}

TEST_F(OptionsDialogTest, HiddenInputFormatIsWrittenBackWithinTheRadioGroupsRange)
{
    const struct
    {
        const char* stored;
        const char* writtenBack;
    } cases[] = {{"1", "1"}, {"5", "1"}, {"-1", "-1"}, {"-3", "-1"}, {"word", "0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        writeFile(m_settingsPath, QByteArray("[IniParas]\r\nInputFormat=") + c.stored + "\r\n");
        m_dialog->show();
        pressOk();
        EXPECT_TRUE(written(QStringLiteral("InputFormat=") + QString::fromLatin1(c.writtenBack)));
    }
    EXPECT_TRUE(m_shell.messages.isEmpty());
}

TEST_F(OptionsDialogTest, CancelAndTitleBarWriteNothingAndEditsAreLostAtTheNextShowing)
{
    m_dialog->show();
    edit("Edit1")->setText(QStringLiteral("5"));
    control<QPushButton>("Button2")->click();
    EXPECT_FALSE(m_dialog->isVisible());
    EXPECT_FALSE(QFile::exists(m_settingsPath));

    const QByteArray original("[IniParas]\r\nSleepSeconds=4\r\nDefaultZoom=30\r\n; kept\r\n");
    writeFile(m_settingsPath, original);
    m_dialog->show();
    EXPECT_EQ(edit("Edit1")->text(), QStringLiteral("4"));
    EXPECT_EQ(edit("Edit10")->text(), QStringLiteral("30")) << "beyond the spin limit, unchanged";
    edit("Edit1")->setText(QStringLiteral("9"));
    m_dialog->close();
    EXPECT_EQ(readAll(m_settingsPath), original);
    m_dialog->show();
    EXPECT_EQ(edit("Edit1")->text(), QStringLiteral("4"));
    EXPECT_TRUE(m_shell.messages.isEmpty());
}

TEST_F(OptionsDialogTest, EnterInAnyEditActsAsOk)
{
    for (const char* name : {"Edit12", "Edit10", "Edit2", "Edit1", "EditProxyServer",
                             "EditProxyPort", "EditProxyUsername", "EditProxyPassword"}) {
        SCOPED_TRACE(name);
        QFile::remove(m_settingsPath);
        m_dialog->show();
        QTest::keyClick(edit(name), Qt::Key_Return);
        EXPECT_FALSE(m_dialog->isVisible());
        EXPECT_EQ(contentLines(m_settingsPath).size(), 12);
    }
    EXPECT_TRUE(m_shell.messages.isEmpty());
}

TEST_F(OptionsDialogTest, SpinButtonsStopAtTheirLimits)
{
    m_dialog->show();
    const struct
    {
        const char* upDown;
        const char* field;
        int minimum;
        int maximum;
    } spins[] = {
        {"UpDown2", "Edit10", 1, 25}, {"UpDown1", "Edit2", 1, 64}, {"UpDown3", "Edit1", 0, 600}};
    for (const auto& spin : spins) {
        SCOPED_TRACE(spin.upDown);
        UpDown* arrows = control<UpDown>(spin.upDown);
        arrows->stepBy(1000);
        EXPECT_EQ(edit(spin.field)->text(), QString::number(spin.maximum));
        arrows->stepBy(-1000);
        EXPECT_EQ(edit(spin.field)->text(), QString::number(spin.minimum));
    }
}

TEST_F(OptionsDialogTest, TabRunsThroughPanelButtonsThenProxyGroup)
{
    m_dialog->show();
    QStringList order;
    QWidget* const start = edit("Edit12");
    QWidget* current = start;
    do {
        if ((current->focusPolicy() & Qt::TabFocus) && current->isVisible())
            order << current->objectName();
        current = current->nextInFocusChain();
    } while (current != start && order.size() < 20);
    const QStringList expected = {
        QStringLiteral("Edit12"),
        QStringLiteral("Button3"),
        QStringLiteral("Edit10"),
        QStringLiteral("Edit2"),
        QStringLiteral("Edit1"),
        QStringLiteral("Button1"),
        QStringLiteral("Button2"),
        QStringLiteral("CheckBoxUseProxy"),
        QStringLiteral("EditProxyServer"),
        QStringLiteral("EditProxyPort"),
        QStringLiteral("EditProxyPassword"),
        QStringLiteral("EditProxyUsername"),
    };
    EXPECT_EQ(order, expected);
}

} // namespace
} // namespace tavo
