// The Options dialog against a settings file in a temporary folder: what it shows, what OK
// writes (and how far it gets when a value is not a number), that Cancel writes nothing, the
// keyboard behaviour and the spin limits.

#include "dialogs/Shell.h"
#include "dialogs/TfrmOptions.h"
#include "dialogs/UpDown.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>

namespace tavo {
namespace {

void ensureApplication()
{
    if (QApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "tavo_dialogs_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv); // lives until the process ends
}

class RecordingShell final : public Shell
{
public:
    void showMessage(QWidget*, const QString& text) override { messages << text; }
    QString browseFolder(QWidget*, const QString& title) override
    {
        browseTitles << title;
        if (answers.empty())
            return QString();
        QString answer = answers.front();
        answers.pop_front();
        return answer;
    }

    QStringList messages;
    QStringList browseTitles;
    std::deque<QString> answers;
};

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// The non-empty lines of a file, line ends removed.
QStringList contentLines(const QString& path)
{
    QStringList lines;
    for (const QString& line : QString::fromUtf8(readAll(path)).split(QStringLiteral("\r\n"))) {
        if (!line.isEmpty())
            lines << line;
    }
    return lines;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
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

    void showDialog()
    {
        m_dialog->show();
        ASSERT_TRUE(m_dialog->isVisible());
    }
    void pressOk() { control<QPushButton>("Button1")->click(); }

    QTemporaryDir m_dir;
    QString m_settingsPath;
    RecordingShell m_shell;
    Shell* m_previousShell = nullptr;
    std::unique_ptr<TfrmOptions> m_dialog;
};

TEST_F(OptionsDialogTest, MissingFileShowsTheDialogsOwnDefaults)
{
    showDialog();
    EXPECT_EQ(edit("Edit12")->text(), QDir::homePath() + QStringLiteral("/kelp"));
    EXPECT_EQ(edit("Edit10")->text(), QStringLiteral("13"));
    EXPECT_EQ(edit("Edit2")->text(), QStringLiteral("3"));
    EXPECT_EQ(edit("Edit1")->text(), QStringLiteral("0"));
    EXPECT_FALSE(control<QCheckBox>("CheckBoxUseProxy")->isChecked());
    for (const char* name : {"EditProxyServer", "EditProxyPort", "EditProxyUsername",
                             "EditProxyPassword"})
        EXPECT_TRUE(edit(name)->text().isEmpty()) << name;
    EXPECT_EQ(m_dialog->RadioGroup1ItemIndex(), 0);
    EXPECT_TRUE(m_shell.messages.isEmpty());
    EXPECT_FALSE(QFile::exists(m_settingsPath)) << "showing must not create the file";
}

TEST_F(OptionsDialogTest, OkOnMissingFileCreatesExactlyTheTenKeysInTwoSections)
{
    showDialog();
    pressOk();
    EXPECT_TRUE(m_shell.messages.isEmpty()) << m_shell.messages.join(QLatin1Char('|')).toStdString();
    EXPECT_FALSE(m_dialog->isVisible());
    EXPECT_EQ(m_dialog->result(), QDialog::Accepted);
    const QStringList expected = {
        QStringLiteral("[IniParas]"),
        QStringLiteral("DefaultPath=") + QDir::homePath() + QStringLiteral("/kelp"),
        QStringLiteral("DefaultZoom=13"),
        QStringLiteral("DefaultThreadCount=3"),
        QStringLiteral("SleepSeconds=0"),
        QStringLiteral("InputFormat=0"),
        QStringLiteral("[Proxy]"),
        QStringLiteral("UseProxy=0"),
        QStringLiteral("ProxyServer="),
        QStringLiteral("ProxyPort="),
        QStringLiteral("ProxyUsername="),
        QStringLiteral("ProxyPassword="),
    };
    EXPECT_EQ(contentLines(m_settingsPath), expected);
}

TEST_F(OptionsDialogTest, EditedValuesAreWrittenAsTypedAndShownAgainNextTime)
{
    showDialog();
    edit("Edit12")->setText(QStringLiteral("/data/t\u00e5iles"));
    control<UpDown>("UpDown2")->stepBy(2);
    control<UpDown>("UpDown1")->stepBy(-1);
    edit("Edit1")->setText(QStringLiteral("7"));
    control<QCheckBox>("CheckBoxUseProxy")->setChecked(true);
    edit("EditProxyServer")->setText(QStringLiteral("proxy.local"));
    edit("EditProxyPort")->setText(QStringLiteral("80 80")); // stored as typed, never checked
    edit("EditProxyUsername")->setText(QStringLiteral("ann"));
    edit("EditProxyPassword")->setText(QStringLiteral("s=cret"));
    pressOk();
    ASSERT_TRUE(m_shell.messages.isEmpty());

    const QStringList lines = contentLines(m_settingsPath);
    EXPECT_TRUE(lines.contains(QStringLiteral("DefaultPath=/data/t\u00e5iles")));
    EXPECT_TRUE(lines.contains(QStringLiteral("DefaultZoom=15")));
    EXPECT_TRUE(lines.contains(QStringLiteral("DefaultThreadCount=2")));
    EXPECT_TRUE(lines.contains(QStringLiteral("SleepSeconds=7")));
    EXPECT_TRUE(lines.contains(QStringLiteral("UseProxy=1")));
    EXPECT_TRUE(lines.contains(QStringLiteral("ProxyPort=80 80")));
    EXPECT_TRUE(lines.contains(QStringLiteral("ProxyPassword=s=cret")));

    // A fresh dialog reads back what the first one wrote.
    TfrmOptions second;
    second.setSettingsPath(m_settingsPath);
    second.show();
    auto secondEdit = [&](const char* name) {
        return second.findChild<QLineEdit*>(QString::fromLatin1(name));
    };
    EXPECT_EQ(secondEdit("Edit12")->text(), QStringLiteral("/data/t\u00e5iles"));
    EXPECT_EQ(secondEdit("Edit10")->text(), QStringLiteral("15"));
    EXPECT_EQ(secondEdit("Edit2")->text(), QStringLiteral("2"));
    EXPECT_EQ(secondEdit("Edit1")->text(), QStringLiteral("7"));
    EXPECT_TRUE(second.findChild<QCheckBox*>(QStringLiteral("CheckBoxUseProxy"))->isChecked());
    EXPECT_EQ(secondEdit("EditProxyServer")->text(), QStringLiteral("proxy.local"));
    EXPECT_EQ(secondEdit("EditProxyUsername")->text(), QStringLiteral("ann"));
    EXPECT_EQ(secondEdit("EditProxyPassword")->text(), QStringLiteral("s=cret"));
}

TEST_F(OptionsDialogTest, LetterInSleepShowsIntegerErrorWritesOnlyTheKeysBeforeItAndStaysOpen)
{
    showDialog();
    edit("Edit12")->setText(QStringLiteral("/tiles"));
    edit("Edit1")->setText(QStringLiteral("a"));
    control<QCheckBox>("CheckBoxUseProxy")->setChecked(true);
    edit("EditProxyServer")->setText(QStringLiteral("proxy.local"));
    pressOk();

    EXPECT_EQ(m_shell.messages, QStringList{QStringLiteral("'a' is not a valid integer value")});
    EXPECT_TRUE(m_dialog->isVisible());
    EXPECT_EQ(edit("Edit1")->text(), QStringLiteral("a")) << "the typed text is not reset";
    const QStringList expected = {
        QStringLiteral("[IniParas]"),
        QStringLiteral("DefaultPath=/tiles"),
        QStringLiteral("DefaultZoom=13"),
        QStringLiteral("DefaultThreadCount=3"),
    };
    EXPECT_EQ(contentLines(m_settingsPath), expected);

    // Correcting the text and pressing OK again completes the write and closes.
    edit("Edit1")->setText(QStringLiteral("2"));
    pressOk();
    EXPECT_EQ(m_shell.messages.size(), 1);
    EXPECT_FALSE(m_dialog->isVisible());
    EXPECT_EQ(contentLines(m_settingsPath).size(), 12);
}

TEST_F(OptionsDialogTest, SleepTypedBeyondTheSpinLimitIsStoredAsTyped)
{
    showDialog();
    edit("Edit1")->setText(QStringLiteral("900"));
    pressOk();
    EXPECT_TRUE(m_shell.messages.isEmpty());
    EXPECT_TRUE(contentLines(m_settingsPath).contains(QStringLiteral("SleepSeconds=900")));
}

TEST_F(OptionsDialogTest, HiddenInputFormatIsWrittenBackClampedToTheRadioGroup)
{
    const struct
    {
        const char* stored;
        const char* writtenBack;
        int index;
    } cases[] = {{"1", "1", 1}, {"0", "0", 0}, {"5", "1", 1}, {"-1", "-1", -1},
                 {"-3", "-1", -1}, {"word", "0", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        writeFile(m_settingsPath, QByteArray("[IniParas]\r\nInputFormat=") + c.stored + "\r\n");
        m_shell.messages.clear();
        showDialog();
        EXPECT_EQ(m_dialog->RadioGroup1ItemIndex(), c.index);
        EXPECT_FALSE(control<QGroupBox>("RadioGroup1")->isVisible());
        pressOk();
        EXPECT_TRUE(m_shell.messages.isEmpty());
        EXPECT_TRUE(contentLines(m_settingsPath)
                        .contains(QStringLiteral("InputFormat=") +
                                  QString::fromLatin1(c.writtenBack)));
    }
}

TEST_F(OptionsDialogTest, CancelAndTitleBarCloseWriteNothing)
{
    // Missing file: stays missing.
    showDialog();
    edit("Edit1")->setText(QStringLiteral("5"));
    control<QPushButton>("Button2")->click();
    EXPECT_FALSE(m_dialog->isVisible());
    EXPECT_EQ(m_dialog->result(), QDialog::Rejected);
    EXPECT_FALSE(QFile::exists(m_settingsPath));

    // Existing file: unchanged byte for byte, and the unsaved edit is gone at the next showing.
    const QByteArray original("[IniParas]\r\nSleepSeconds=4\r\n; kept\r\n");
    writeFile(m_settingsPath, original);
    showDialog();
    EXPECT_EQ(edit("Edit1")->text(), QStringLiteral("4"));
    edit("Edit1")->setText(QStringLiteral("9"));
    m_dialog->close();
    EXPECT_FALSE(m_dialog->isVisible());
    EXPECT_EQ(readAll(m_settingsPath), original);
    showDialog();
    EXPECT_EQ(edit("Edit1")->text(), QStringLiteral("4"));
    EXPECT_TRUE(m_shell.messages.isEmpty());
}

TEST_F(OptionsDialogTest, EveryShowingRefillsFromTheFile)
{
    writeFile(m_settingsPath, "[IniParas]\r\nDefaultZoom=30\r\n[Proxy]\r\nUseProxy=2\r\n"
                              "ProxyServer=a\r\n");
    showDialog();
    // Beyond the spin limit, shown unchanged; UseProxy other than exactly 1 is no proxy.
    EXPECT_EQ(edit("Edit10")->text(), QStringLiteral("30"));
    EXPECT_FALSE(control<QCheckBox>("CheckBoxUseProxy")->isChecked());
    EXPECT_EQ(edit("EditProxyServer")->text(), QStringLiteral("a"));
    m_dialog->hide();

    writeFile(m_settingsPath, "[iniparas]\r\ndefaultzoom=0x10\r\n[PROXY]\r\nUseProxy=1\r\n");
    showDialog();
    EXPECT_EQ(edit("Edit10")->text(), QStringLiteral("16"));
    EXPECT_TRUE(control<QCheckBox>("CheckBoxUseProxy")->isChecked());
    EXPECT_TRUE(edit("EditProxyServer")->text().isEmpty());
}

TEST_F(OptionsDialogTest, UnwritableFileShowsTheWriteErrorAndCreatesNothing)
{
    const QString path = m_dir.path() + QStringLiteral("/missing/config.ini");
    m_dialog->setSettingsPath(path);
    showDialog();
    pressOk();
    EXPECT_EQ(m_shell.messages, QStringList{QStringLiteral("Unable to write to ") + path});
    EXPECT_TRUE(m_dialog->isVisible());
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(QDir(m_dir.path() + QStringLiteral("/missing")).exists());
}

TEST_F(OptionsDialogTest, EnterInAnyEditActsAsOk)
{
    for (const char* name : {"Edit12", "Edit10", "Edit2", "Edit1", "EditProxyServer",
                             "EditProxyPort", "EditProxyUsername", "EditProxyPassword"}) {
        SCOPED_TRACE(name);
        QFile::remove(m_settingsPath);
        showDialog();
        QLineEdit* field = edit(name);
        if (!field->isReadOnly())
            field->setText(QStringLiteral("12"));
        field->setFocus();
        QTest::keyClick(field, Qt::Key_Return);
        EXPECT_FALSE(m_dialog->isVisible());
        EXPECT_EQ(m_dialog->result(), QDialog::Accepted);
        EXPECT_EQ(contentLines(m_settingsPath).size(), 12);
    }
    EXPECT_TRUE(m_shell.messages.isEmpty());
}

TEST_F(OptionsDialogTest, SpinButtonsStopAtTheirLimits)
{
    showDialog();
    const struct
    {
        const char* upDown;
        const char* field;
        int minimum;
        int maximum;
    } spins[] = {{"UpDown2", "Edit10", 1, 25}, {"UpDown1", "Edit2", 1, 64},
                 {"UpDown3", "Edit1", 0, 600}};
    for (const auto& spin : spins) {
        SCOPED_TRACE(spin.upDown);
        UpDown* arrows = control<UpDown>(spin.upDown);
        EXPECT_EQ(arrows->minimum(), spin.minimum);
        EXPECT_EQ(arrows->maximum(), spin.maximum);
        arrows->stepBy(spin.maximum + 10);
        arrows->stepBy(1);
        EXPECT_EQ(edit(spin.field)->text(), QString::number(spin.maximum));
        arrows->stepBy(-(spin.maximum + 10));
        arrows->stepBy(-1);
        EXPECT_EQ(edit(spin.field)->text(), QString::number(spin.minimum));
    }
    // Zoom and threads are read-only fields; sleep accepts typing.
    EXPECT_TRUE(edit("Edit10")->isReadOnly());
    EXPECT_TRUE(edit("Edit2")->isReadOnly());
    EXPECT_FALSE(edit("Edit1")->isReadOnly());
}

TEST_F(OptionsDialogTest, BrowseButtonFillsThePathOnlyWhenAFolderIsChosen)
{
    showDialog();
    const QString before = edit("Edit12")->text();
    control<QPushButton>("Button3")->click(); // cancelled
    EXPECT_EQ(edit("Edit12")->text(), before);
    m_shell.answers.push_back(QStringLiteral("/srv/aerial"));
    control<QPushButton>("Button3")->click();
    EXPECT_EQ(edit("Edit12")->text(), QStringLiteral("/srv/aerial"));
    EXPECT_EQ(m_shell.browseTitles,
              QStringList({QStringLiteral("Select path to save"),
                           QStringLiteral("Select path to save")}));
    EXPECT_TRUE(m_dialog->isVisible());
}

TEST_F(OptionsDialogTest, LayoutSizeCaptionsAndTabOrder)
{
    showDialog();
    EXPECT_EQ(m_dialog->windowTitle(), QStringLiteral("Options"));
    EXPECT_EQ(m_dialog->size(), QSize(528, 413));
    EXPECT_EQ(m_dialog->minimumSize(), m_dialog->maximumSize());
    EXPECT_EQ(control<QPushButton>("Button1")->text(), QStringLiteral("OK"));
    EXPECT_TRUE(control<QPushButton>("Button1")->isDefault());
    EXPECT_EQ(control<QPushButton>("Button2")->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(control<QGroupBox>("GroupBox1")->title(), QStringLiteral("Proxy settings"));
    EXPECT_EQ(control<QCheckBox>("CheckBoxUseProxy")->text(), QStringLiteral("Use proxy server"));
    EXPECT_EQ(edit("EditProxyPassword")->echoMode(), QLineEdit::Normal);

    // Walk the focus chain from the path field and keep the widgets Tab stops at.
    QStringList order;
    QWidget* start = edit("Edit12");
    QWidget* current = start;
    do {
        if ((current->focusPolicy() & Qt::TabFocus) && current->isVisible() &&
            current->isEnabled())
            order << current->objectName();
        current = current->nextInFocusChain();
    } while (current != start && order.size() < 20);
    const QStringList expected = {
        QStringLiteral("Edit12"),           QStringLiteral("Button3"),
        QStringLiteral("Edit10"),           QStringLiteral("Edit2"),
        QStringLiteral("Edit1"),            QStringLiteral("Button1"),
        QStringLiteral("Button2"),          QStringLiteral("CheckBoxUseProxy"),
        QStringLiteral("EditProxyServer"),  QStringLiteral("EditProxyPort"),
        QStringLiteral("EditProxyPassword"), QStringLiteral("EditProxyUsername"),
    };
    EXPECT_EQ(order, expected);
}

} // namespace
} // namespace tavo
