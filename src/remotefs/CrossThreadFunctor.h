#pragma once

#include <mutex>
#include <optional>
#include <utility>

// A functor that is built on one thread and run on another (a queued invocation, a direct
// connection made from the worker thread). Qt passes it between threads under its own locks;
// this wrapper also publishes the captured state under a standard mutex, so the hand-over is
// ordered by a lock that the race detector understands, whatever Qt's build. The captures are
// copied out under the lock and the call itself runs without it.
class CrossThreadHandOver
{
public:
    static std::mutex &mutex();
};

template <typename F> class CrossThreadFunctor
{
public:
    explicit CrossThreadFunctor(F f)
    {
        std::lock_guard<std::mutex> lock(CrossThreadHandOver::mutex());
        m_f.emplace(std::move(f));
    }
    CrossThreadFunctor(const CrossThreadFunctor &other)
    {
        std::lock_guard<std::mutex> lock(CrossThreadHandOver::mutex());
        if (other.m_f)
            m_f.emplace(*other.m_f);
    }
    CrossThreadFunctor(CrossThreadFunctor &&other)
    {
        std::lock_guard<std::mutex> lock(CrossThreadHandOver::mutex());
        if (other.m_f)
            m_f.emplace(std::move(*other.m_f));
    }
    CrossThreadFunctor &operator=(const CrossThreadFunctor &) = delete;
    ~CrossThreadFunctor()
    {
        std::optional<F> doomed;
        {
            std::lock_guard<std::mutex> lock(CrossThreadHandOver::mutex());
            if (m_f)
                doomed.emplace(std::move(*m_f));
            m_f.reset();
        }
        // The captures die here, outside the lock (their destructors may take other locks).
    }

    // Callable with exactly the arguments F takes, so Qt finds how many signal arguments to pass.
    template <typename... Args>
    auto operator()(Args &&...args) const -> decltype(std::declval<F &>()(std::forward<Args>(args)...), void())
    {
        std::optional<F> f;
        {
            std::lock_guard<std::mutex> lock(CrossThreadHandOver::mutex());
            if (m_f)
                f.emplace(*m_f);
        }
        if (f)
            (*f)(std::forward<Args>(args)...);
    }

private:
    std::optional<F> m_f;
};

template <typename F> CrossThreadFunctor<F> crossThread(F f)
{
    return CrossThreadFunctor<F>(std::move(f));
}
