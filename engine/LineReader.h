#pragma once

#include <QByteArray>

class QIODevice;

namespace tavo {

// Splits the bytes of a device into lines without holding more than one line
// and one read chunk. A carriage return, a line feed, or the pair CR LF ends
// a line; text after the last line break is a last line of its own, and a
// final line break adds no empty line.
class LineReader final
{
public:
    enum class Ending
    {
        None,
        CrLf,
        Lf,
        Cr
    };

    explicit LineReader(QIODevice& device, qint64 chunkSize = 64 * 1024);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line's bytes without its ending; false at the end of the input.
    // `ending` tells how the line was ended (None only for a last line that
    // has no line break).
    bool next(QByteArray& line, Ending* ending = nullptr);

    // True when the device reported a read error.
    bool failed() const { return m_failed; }

    // Lines longer than `bytes` are returned cut to their first `bytes`
    // bytes; the rest is read past without being held, so memory stays
    // bounded whatever the input. 0 (the default) returns lines whole.
    void setMaxLineLength(qsizetype bytes) { m_maxLine = bytes > 0 ? bytes : 0; }

private:
    bool fill();

    QIODevice& m_device;
    qint64 m_chunkSize;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    qsizetype m_maxLine = 0;
    bool m_atEnd = false;
    bool m_failed = false;
};

} // namespace tavo
