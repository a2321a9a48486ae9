#include "engine/IniFile.h"
#include "engine/AppError.h"

#include "FileTestSupport.h"

#include <QDir>
#include <QFileInfo>

using namespace tavo;
using namespace tavo::testing;

namespace {

// A file written by hand: comments, odd blanks, a LF-only line, a duplicate
// section and no line break at the end.
const QByteArray HandWritten = "; settings\r\n"
                               "[IniParas]\r\n"
                               "  DefaultZoom = 0x10 \r\n"
                               "DefaultPath=C:\\maps=old\n"
                               "\r\n"
                               "[Proxy]\r\n"
                               "UseProxy=true\r\n"
                               "Empty=\r\n"
                               "[iniparas]\r\n"
                               "DefaultZoom=5";

} // namespace

TEST(IniFile, ReadsLikeTheProfileApi)
{
    TempFolder folder;
    writeBytes(folder.path("a.ini"), HandWritten);
    const IniFile ini(folder.path("a.ini"));

    EXPECT_EQ(ini.readString("INIPARAS", "defaultpath", "d"), QStringLiteral("C:\\maps=old"));
    EXPECT_EQ(ini.readString("IniParas", "DefaultZoom", "d"), QStringLiteral("0x10"));
    EXPECT_EQ(ini.readInteger("IniParas", "DefaultZoom", 13), 16); // first section wins
    EXPECT_EQ(ini.readInteger("Proxy", "UseProxy", 7), 7);         // not an integer
    EXPECT_EQ(ini.readInteger("Proxy", "Empty", 7), 7);
    EXPECT_EQ(ini.readInteger("Proxy", "Missing", 7), 7);
    EXPECT_EQ(ini.readString("Proxy", "Empty", "d"), QString());
    EXPECT_TRUE(ini.hasKey("proxy", "EMPTY"));
    EXPECT_FALSE(ini.hasKey("Proxy", "DefaultZoom"));
    EXPECT_EQ(ini.readString("Nowhere", "Key", "fallback"), QStringLiteral("fallback"));
    // A comment line is no key.
    EXPECT_FALSE(ini.hasKey("IniParas", "; settings"));
}

TEST(IniFile, UpdatesInPlaceAndKeepsEveryOtherLineByteForByte)
{
    TempFolder folder;
    const QString path = folder.path("a.ini");
    writeBytes(path, HandWritten);
    IniFile ini(path);

    ini.writeInteger("iniparas", "DEFAULTZOOM", 7);   // existing key: its spelling stays
    ini.writeString("Proxy", "ProxyServer", "host");  // new key after the section's last key
    ini.writeString("IniParas", "SleepSeconds", "3"); // goes to the first IniParas section
    ini.writeString("Extra", "Key", "v");             // new section at the end

    const QByteArray expected = "; settings\r\n"
                                "[IniParas]\r\n"
                                "DefaultZoom=7\r\n"
                                "DefaultPath=C:\\maps=old\n"
                                "SleepSeconds=3\r\n"
                                "\r\n"
                                "[Proxy]\r\n"
                                "UseProxy=true\r\n"
                                "Empty=\r\n"
                                "ProxyServer=host\r\n"
                                "[iniparas]\r\n"
                                "DefaultZoom=5\r\n"
                                "[Extra]\r\n"
                                "Key=v\r\n";
    EXPECT_EQ(readBytes(path), expected);
    EXPECT_EQ(IniFile(path).readInteger("IniParas", "DefaultZoom", 0), 7);
}

TEST(IniFile, ByteOrderMarkIsPassedOverAndKept)
{
    TempFolder folder;
    const QString path = folder.path("bom.ini");
    writeBytes(path, "\xEF\xBB\xBF[IniParas]\r\nSV3=.png\r\n");
    IniFile ini(path);
    EXPECT_EQ(ini.readString("IniParas", "SV3", "none"), QStringLiteral(".png"));
    ini.writeString("IniParas", "SV3", "");
    EXPECT_EQ(readBytes(path), QByteArray("\xEF\xBB\xBF[IniParas]\r\nSV3=\r\n"));
}

TEST(IniFile, CreatesAMissingFileAndKeepsUtf8Text)
{
    TempFolder folder;
    const QString path = folder.path("new.ini");
    IniFile ini(path);
    ini.writeString("Sec", "Name", QStringLiteral("Zürich 北京"));
    ini.writeInteger("Sec", "Count", -3);
    EXPECT_EQ(readBytes(path), QByteArray("[Sec]\r\nName=Zürich 北京\r\nCount=-3\r\n"));
    EXPECT_EQ(IniFile(path).readString("sec", "name", ""), QStringLiteral("Zürich 北京"));
}

TEST(IniFile, ReadsAtMost2047Characters)
{
    TempFolder folder;
    const QString path = folder.path("long.ini");
    const QString value(3000, u'v');
    IniFile(path).writeString("S", "K", value);
    EXPECT_EQ(readBytes(path).size(), 3000 + 9); // "[S]\r\nK=" value "\r\n": stored whole
    const QString read = IniFile(path).readString("S", "K", "");
    EXPECT_EQ(read, value.left(2047));
}

TEST(IniFile, AFailedWriteThrowsAndChangesNothing)
{
    TempFolder folder;
    const QString missingFolder = folder.path("nope/config.ini");
    EXPECT_EQ(appErrorText([&] { IniFile(missingFolder).writeString("S", "K", "v"); }),
              QStringLiteral("Unable to write to ") + missingFolder);
    EXPECT_FALSE(QDir(folder.path("nope")).exists());

    // A folder where the file should be.
    const QString blocked = folder.path("blocked.ini");
    ASSERT_TRUE(QDir().mkdir(blocked));
    EXPECT_EQ(appErrorText([&] { IniFile(blocked).writeInteger("S", "K", 1); }),
              QStringLiteral("Unable to write to ") + blocked);

    // Values that would break the file apart are refused; the object keeps
    // the old value.
    const QString path = folder.path("a.ini");
    IniFile ini(path);
    ini.writeString("S", "K", "old");
    EXPECT_EQ(appErrorText([&] { ini.writeString("S", "K", "x\r\n[Other]\r\nK=y"); }),
              QStringLiteral("Unable to write to ") + path);
    EXPECT_EQ(ini.readString("S", "K", ""), QStringLiteral("old"));
    EXPECT_EQ(readBytes(path), QByteArray("[S]\r\nK=old\r\n"));
}

TEST(IniFile, WriteStringsIsAllOrNothing)
{
    TempFolder folder;
    const QString path = folder.path("a.ini");
    IniFile ini(path);
    ini.writeStrings("T", {{"A", "1"}, {"B", "2"}});
    EXPECT_EQ(readBytes(path), QByteArray("[T]\r\nA=1\r\nB=2\r\n"));
    EXPECT_FALSE(appErrorText([&] {
                     ini.writeStrings("T", {{"A", "9"}, {"B", "bad\n"}});
                 }).isEmpty());
    EXPECT_EQ(ini.readString("T", "A", ""), QStringLiteral("1"));
    EXPECT_EQ(readBytes(path), QByteArray("[T]\r\nA=1\r\nB=2\r\n"));
}

// A settings file of millions of blank lines is not taken in line by line:
// it reads as defaults and is never overwritten.
TEST(IniFile, AHugeFileIsNeitherReadNorOverwritten)
{
    TempFolder folder;
    const QString path = folder.path("config.ini");
    const QByteArray huge = QByteArray(10 * 1024 * 1024, '\n') + "[IniParas]\r\nDefaultZoom=7\r\n";
    writeBytes(path, huge);
    IniFile ini(path);
    EXPECT_EQ(ini.readInteger("IniParas", "DefaultZoom", 13), 13);
    EXPECT_EQ(appErrorText([&] { ini.writeInteger("IniParas", "DefaultZoom", 9); }),
              QStringLiteral("Unable to write to ") + path);
    EXPECT_EQ(QFileInfo(path).size(), huge.size());
}
