#pragma once
// A coroutine of the core taken to its end in a local event loop (the core itself never runs one).
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
