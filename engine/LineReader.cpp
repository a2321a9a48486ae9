#include "engine/LineReader.h"

#include <QIODevice>

#include <algorithm>

namespace tavo {

LineReader::LineReader(QIODevice& device, qint64 chunkSize)
    : m_device(device), m_chunkSize(chunkSize > 0 ? chunkSize : 64 * 1024)
{
}

bool LineReader::fill()
{
    if (m_atEnd)
        return false;
    if (m_pos > 0) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    const qsizetype oldSize = m_buffer.size();
    m_buffer.resize(oldSize + m_chunkSize);
    const qint64 got = m_device.read(m_buffer.data() + oldSize, m_chunkSize);
    m_buffer.resize(oldSize + std::max<qint64>(got, 0));
    if (got <= 0) {
        // 0 at the end of the input, -1 on a read error.
        m_failed = got < 0;
        m_atEnd = true;
        return false;
    }
    return true;
}

bool LineReader::next(QByteArray& line, Ending* ending)
{
    // The start of a line that is longer than the bound, kept while the rest
    // of it is read past.
    QByteArray head;
    bool cut = false;
    const auto finishLine = [&](QByteArray bytes) {
        if (cut)
            bytes.prepend(head);
        if (m_maxLine > 0 && bytes.size() > m_maxLine)
            bytes.truncate(m_maxLine);
        line = bytes;
    };

    qsizetype searchFrom = m_pos;
    for (;;) {
        qsizetype i = searchFrom;
        const qsizetype n = m_buffer.size();
        while (i < n && m_buffer[i] != '\r' && m_buffer[i] != '\n')
            ++i;
        if (i < n) {
            // A CR as the last byte read so far may be the first half of CR LF.
            if (m_buffer[i] == '\r' && i + 1 == n && !m_atEnd) {
                const qsizetype offset = i - m_pos;
                if (fill()) {
                    searchFrom = m_pos + offset;
                    continue;
                }
                i = m_pos + offset;
            }
            finishLine(m_buffer.mid(m_pos, i - m_pos));
            Ending found = Ending::Lf;
            if (m_buffer[i] == '\r') {
                if (i + 1 < m_buffer.size() && m_buffer[i + 1] == '\n') {
                    found = Ending::CrLf;
                    ++i;
                } else {
                    found = Ending::Cr;
                }
            }
            m_pos = i + 1;
            if (ending)
                *ending = found;
            return true;
        }
        if (m_maxLine > 0 && n - m_pos > m_maxLine) {
            // No line end yet and more than the bound pending: keep the
            // line's start, drop the rest.
            if (head.size() < m_maxLine)
                head += m_buffer.mid(m_pos, std::min(m_maxLine - head.size(), n - m_pos));
            cut = true;
            m_buffer.clear();
            m_pos = 0;
            searchFrom = 0;
            if (!fill()) {
                finishLine(QByteArray());
                if (ending)
                    *ending = Ending::None;
                return true;
            }
            continue;
        }
        const qsizetype offset = n - m_pos;
        if (!fill()) {
            if (m_pos >= m_buffer.size() && !cut)
                return false;
            finishLine(m_buffer.mid(m_pos));
            m_pos = m_buffer.size();
            if (ending)
                *ending = Ending::None;
            return true;
        }
        searchFrom = m_pos + offset;
    }
}

} // namespace tavo
