#include "engine/Feedback.h"

namespace tavo {

bool Feedback::setProgress(qint64 done, qint64 total)
{
    m_done.store(done, std::memory_order_relaxed);
    m_total.store(total, std::memory_order_relaxed);
    if (m_listener)
        m_listener(done, total);
    return !isCancelled();
}

} // namespace tavo
