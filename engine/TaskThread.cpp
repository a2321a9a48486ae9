#include "engine/TaskThread.h"

#include <algorithm>
#include <vector>

namespace tavo {

namespace {

struct Abandoned
{
    std::function<bool()> running;
    std::shared_ptr<void> keepAlive;
};

std::mutex& abandonedMutex()
{
    static auto* mutex = new std::mutex();
    return *mutex;
}

// Never destroyed: an abandoned thread may still run while the process ends.
std::vector<Abandoned>& abandonedList()
{
    static auto* list = new std::vector<Abandoned>();
    return *list;
}

} // namespace

TaskThread::TaskThread(TaskThread&& other) noexcept
    : m_state(std::move(other.m_state)), m_thread(std::move(other.m_thread)),
      m_cancelOnRelease(other.m_cancelOnRelease)
{
    other.m_cancelOnRelease = nullptr;
}

TaskThread& TaskThread::operator=(TaskThread&& other) noexcept
{
    if (this != &other) {
        release();
        m_state = std::move(other.m_state);
        m_thread = std::move(other.m_thread);
        m_cancelOnRelease = other.m_cancelOnRelease;
        other.m_cancelOnRelease = nullptr;
    }
    return *this;
}

void TaskThread::start(std::function<void()> body, Feedback* cancelOnRelease)
{
    release();
    auto state = std::make_shared<State>();
    m_thread = std::thread([state, body = std::move(body)] {
        body();
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->ended.store(true, std::memory_order_release);
        }
        state->endedChanged.notify_all();
    });
    m_state = std::move(state);
    m_cancelOnRelease = cancelOnRelease;
}

bool TaskThread::join(QDeadlineTimer deadline)
{
    if (!m_thread.joinable())
        return true;
    {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        auto ended = [this] { return m_state->ended.load(std::memory_order_acquire); };
        if (deadline.isForever())
            m_state->endedChanged.wait(lock, ended);
        else if (!m_state->endedChanged.wait_until(lock, deadline.deadline<std::chrono::steady_clock>(), ended))
            return false;
    }
    m_thread.join();
    m_cancelOnRelease = nullptr;
    return true;
}

void TaskThread::release()
{
    if (!m_thread.joinable())
        return;
    if (m_cancelOnRelease)
        m_cancelOnRelease->cancel();
    join();
}

void TaskThread::abandon(std::shared_ptr<void> keepAlive)
{
    if (!m_thread.joinable())
        return;
    if (join(QDeadlineTimer(0)))
        return;
    std::shared_ptr<State> state = m_state;
    {
        std::lock_guard<std::mutex> lock(abandonedMutex());
        abandonedList().push_back(
            {[state] { return !state->ended.load(std::memory_order_acquire); }, std::move(keepAlive)});
    }
    m_thread.detach();
    m_cancelOnRelease = nullptr;
}

int TaskThread::abandonedCount()
{
    std::lock_guard<std::mutex> lock(abandonedMutex());
    return int(abandonedList().size());
}

int TaskThread::abandonedRunning()
{
    std::lock_guard<std::mutex> lock(abandonedMutex());
    int running = 0;
    for (const Abandoned& thread : abandonedList())
        running += thread.running() ? 1 : 0;
    return running;
}

int coreCount()
{
    return std::max(1, int(std::thread::hardware_concurrency()));
}

void runInParallel(int count, const std::function<void(int index)>& body)
{
    if (count <= 1) {
        body(0);
        return;
    }
    std::vector<TaskThread> threads;
    threads.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&body, i] { body(i); });
    for (TaskThread& thread : threads)
        thread.join();
}

} // namespace tavo
