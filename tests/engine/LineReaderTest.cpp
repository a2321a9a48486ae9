#include "engine/LineReader.h"

#include <QBuffer>
#include <QByteArray>
#include <QList>

#include <gtest/gtest.h>

using tavo::LineReader;

namespace {

struct Read
{
    QList<QByteArray> lines;
    QList<LineReader::Ending> endings;
};

Read readAll(QByteArray bytes, qint64 chunkSize, qsizetype maxLine = 0)
{
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    LineReader reader(buffer, chunkSize);
    reader.setMaxLineLength(maxLine);
    Read read;
    QByteArray line;
    LineReader::Ending ending;
    while (reader.next(line, &ending)) {
        read.lines << line;
        read.endings << ending;
    }
    return read;
}

} // namespace

// Every chunk size, so that a CR LF pair split between two reads is seen.
TEST(LineReader, SplitsAtCrLfLfAndCrWhateverTheChunks)
{
    using E = LineReader::Ending;
    const QByteArray bytes("ab\r\ncd\n\ref\r\r\ngh");
    for (qint64 chunk = 1; chunk <= bytes.size() + 1; ++chunk) {
        const Read read = readAll(bytes, chunk);
        EXPECT_EQ(read.lines, QList<QByteArray>({"ab", "cd", "", "ef", "", "gh"})) << chunk;
        EXPECT_EQ(read.endings, QList<E>({E::CrLf, E::Lf, E::Cr, E::Cr, E::CrLf, E::None}))
            << chunk;
    }
    EXPECT_TRUE(readAll("", 4).lines.isEmpty());
    EXPECT_EQ(readAll("x\r\n", 2).lines, QList<QByteArray>({"x"})); // no empty last line
    EXPECT_EQ(readAll("x\r", 2).endings, QList<LineReader::Ending>({LineReader::Ending::Cr}));
}

// Lines longer than the bound come back cut, with their endings, whatever the chunks.
TEST(LineReader, BoundedLinesAreCutAndTheRestIsPassedOver)
{
    using E = LineReader::Ending;
    const QByteArray bytes("abcdefgh\r\nxy\nlong-long-line\r" + QByteArray(100, 'z'));
    for (qint64 chunk = 1; chunk <= bytes.size() + 1; ++chunk) {
        const Read read = readAll(bytes, chunk, 4);
        EXPECT_EQ(read.lines, QList<QByteArray>({"abcd", "xy", "long", "zzzz"})) << chunk;
        EXPECT_EQ(read.endings, QList<E>({E::CrLf, E::Lf, E::Cr, E::None})) << chunk;
    }
}
