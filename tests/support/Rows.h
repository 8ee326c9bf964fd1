#pragma once
// Test tables kept as rows: one struct or tuple per row, its name first, read by index.
#include <QTest>
#include <tuple>

namespace brindle::test {

// One test row per entry (its name first) of a table; the row hands the test the entry's index.
template <typename Rows> void indexRows(const Rows& rows) {
    QTest::addColumn<int>("row");
    int i = 0;
    for (const auto& r : rows) {
        if constexpr (requires { r.name; })
            QTest::newRow(r.name) << i++;
        else
            QTest::newRow(std::get<0>(r)) << i++;
    }
}

} // namespace brindle::test
