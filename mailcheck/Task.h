#pragma once
// The check's steps as coroutines: a step that waits for the server, for the user's answer or for
// time suspends itself, and the event loop that delivers what it waits for resumes it. The run
// keeps its sequential shape (co_await) without ever running an event loop of its own.
//
// A Task is lazy: it runs when it is awaited, or when its owner start()s it. Its frame belongs to
// the Task object: destroying the Task destroys the frame, and with it the Tasks it was awaiting,
// down to the one suspended on an event (whose awaiter then unhooks itself from what would have
// resumed it). So a run destroyed while it waits leaves nothing behind to be resumed.
//
// g++ 12 mistranslates co_await in some places: in the condition of an if (the coroutine's body is
// then skipped), beside temporaries in &&, || and ?:, and nested in another co_await's arguments.
// Await into a local first (`const bool got = co_await f(); if (got) ...`).
// moc cannot read <coroutine>, and needs nothing of this.
#ifndef Q_MOC_RUN
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <QCoreApplication>
#include <QTimer>
#include <utility>

namespace brindle {

template <typename T> class Task;

namespace detail {

struct TaskPromiseBase {
    std::coroutine_handle<> continuation; // the awaiting coroutine, or none for a started Task
    std::function<void()> onDone;         // start()'s callback
    // The awaiting coroutine is still inside its co_await, which started this one: a finish now
    // lets it go on by itself, on the same stack, instead of resuming it from here. (The stack does
    // not grow with every step that finishes at once: debug builds make no tail calls.)
    bool startedInline = false;

    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <typename P> void await_suspend(std::coroutine_handle<P> h) noexcept {
            TaskPromiseBase& p = h.promise();
            // Whatever follows may destroy this frame (it is suspended now): nothing of it is
            // touched afterwards.
            if (p.continuation) {
                if (!p.startedInline)
                    p.continuation.resume();
            } else if (std::function<void()> done = std::move(p.onDone)) {
                done();
            }
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { std::terminate(); }
};

template <typename T> struct TaskPromise : TaskPromiseBase {
    std::optional<T> value;
    Task<T> get_return_object() noexcept;
    template <typename U> void return_value(U&& v) { value.emplace(std::forward<U>(v)); }
};

template <> struct TaskPromise<void> : TaskPromiseBase {
    Task<void> get_return_object() noexcept;
    void return_void() noexcept {}
};

} // namespace detail

template <typename T = void> class [[nodiscard]] Task {
public:
    using promise_type = detail::TaskPromise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    Task() = default;
    explicit Task(Handle h) : m_handle(h) {}
    Task(Task&& other) noexcept : m_handle(std::exchange(other.m_handle, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { reset(); }

    bool valid() const { return bool(m_handle); }
    bool done() const { return m_handle && m_handle.done(); }
    // Runs the task up to its first wait; onDone is called once when it has finished (possibly
    // before start() returns). onDone may destroy this Task.
    void start(std::function<void()> onDone) {
        m_handle.promise().onDone = std::move(onDone);
        m_handle.resume(); // nothing of this object is touched afterwards
    }
    // The result of a finished task.
    decltype(auto) result() {
        if constexpr (!std::is_void_v<T>)
            return *m_handle.promise().value;
    }

    auto operator co_await() && noexcept {
        struct Awaiter {
            Handle h;
            bool await_ready() noexcept { return h.done(); }
            bool await_suspend(std::coroutine_handle<> awaiting) noexcept {
                promise_type& p = h.promise();
                p.continuation = awaiting;
                p.startedInline = true;
                h.resume();
                if (h.done())
                    return false;        // finished at once: the awaiting coroutine goes straight on
                p.startedInline = false; // it waits: it resumes the awaiting one when it finishes
                return true;
            }
            T await_resume() {
                if constexpr (!std::is_void_v<T>)
                    return std::move(*h.promise().value);
            }
        };
        return Awaiter{m_handle};
    }

private:
    void reset() {
        if (m_handle)
            std::exchange(m_handle, {}).destroy();
    }
    Handle m_handle;
};

namespace detail {
template <typename T> Task<T> TaskPromise<T>::get_return_object() noexcept {
    return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}
inline Task<void> TaskPromise<void>::get_return_object() noexcept {
    return Task<void>(std::coroutine_handle<TaskPromise<void>>::from_promise(*this));
}
} // namespace detail

// A coroutine's place in line for the event loop. The awaiting frame owns the token; whoever would
// resume it (a socket's slot, a timer) holds it weakly and resumes through a call posted to the
// application object, so that the coroutine always continues from the event loop with a stack of
// its own, and a frame destroyed meanwhile is resumed by nobody.
using WakeToken = std::shared_ptr<std::coroutine_handle<>>;

// Resumes the coroutine behind the token after `milliseconds` (0: at the loop's next turn, behind
// the events already waiting), unless its frame has gone by then.
inline void postWake(const std::weak_ptr<std::coroutine_handle<>>& token, int milliseconds = 0) {
    QTimer::singleShot(milliseconds, QCoreApplication::instance(), [token] {
        if (const WakeToken h = token.lock())
            h->resume();
    });
}

// co_await afterMilliseconds(ms): the coroutine goes on from the event loop after that time.
class EventLoopTurn {
public:
    explicit EventLoopTurn(int milliseconds) : m_ms(milliseconds) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) {
        m_token = std::make_shared<std::coroutine_handle<>>(h);
        postWake(m_token, m_ms);
    }
    void await_resume() const noexcept {}

private:
    int m_ms;
    WakeToken m_token;
};

inline EventLoopTurn afterMilliseconds(int milliseconds) {
    return EventLoopTurn(milliseconds);
}
inline EventLoopTurn nextTurn() {
    return EventLoopTurn(0);
}

} // namespace brindle
#endif // Q_MOC_RUN
