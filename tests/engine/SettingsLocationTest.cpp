#include "engine/SettingsLocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace tavo {
namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

class SettingsLocationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", (m_dir.path() + QStringLiteral("/config")).toLocal8Bit());
        m_program = m_dir.path() + QStringLiteral("/program/");
        ASSERT_TRUE(QDir().mkpath(m_program + QStringLiteral("ini")));
        writeFile(m_program + QStringLiteral("ini/config.ini"), "[IniParas]\r\n");
        writeFile(m_program + QStringLiteral("ini/s.txt"), "a,b,c,d,e,f,42\r\n");
    }
    void TearDown() override { qputenv("XDG_CONFIG_HOME", m_oldConfig); }

    QTemporaryDir m_dir;
    QString m_program;
    QByteArray m_oldConfig;
};

TEST_F(SettingsLocationTest, AWritableProgramFolderKeepsItsOwnIni)
{
    EXPECT_EQ(settingsFolder(m_program), m_program + QStringLiteral("ini/"));
    EXPECT_FALSE(QFileInfo::exists(m_dir.path() + QStringLiteral("/config")));
}

TEST_F(SettingsLocationTest, AReadOnlyProgramFolderUsesTheUsersFolderWithTheDefaultsCopiedOnce)
{
    const QString user = m_dir.path() + QStringLiteral("/config/tavo/ini/");
    ASSERT_TRUE(QDir().mkpath(user));
    writeFile(user + QStringLiteral("config.ini"), "[Proxy]\r\nUseProxy=1\r\n"); // the user's own

    EXPECT_EQ(settingsFolder(m_program, false), user);
    EXPECT_EQ(readAll(user + QStringLiteral("config.ini")), QByteArray("[Proxy]\r\nUseProxy=1\r\n"));
    EXPECT_EQ(readAll(user + QStringLiteral("s.txt")), QByteArray("a,b,c,d,e,f,42\r\n"));
}

TEST_F(SettingsLocationTest, ARelativeConfigHomeFallsBackToTheHomeFolder)
{
    qputenv("XDG_CONFIG_HOME", "relative/path");
    EXPECT_EQ(userSettingsFolder(), QDir::homePath() + QStringLiteral("/.config/tavo/ini/"));
}

} // namespace
} // namespace tavo
