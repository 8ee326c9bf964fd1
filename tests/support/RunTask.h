#pragma once
// The tests' one way to take a coroutine of the core to its end: a local event loop runs until the
// task has finished (the core itself never runs one).
#include "mailcheck/Task.h"

#include <QEventLoop>
#include <type_traits>

namespace brindle::testing {

template <typename T> T runTask(Task<T> task) {
    QEventLoop loop;
    bool done = false;
    task.start([&] {
        done = true;
        loop.quit();
    });
    if (!done)
        loop.exec();
    if constexpr (!std::is_void_v<T>)
        return task.result();
}

} // namespace brindle::testing
