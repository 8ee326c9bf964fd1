// learn_store_helper STORE FIRST COUNT: learns messages FIRST..FIRST+COUNT-1 (made up, distinct), one
// transaction each, and prints "learned N" after each commit. Exits 1 at the first failure.
#include "learn/LearnStore.h"

#include <cstdio>
#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4)
        return 2;
    brindle::learn::LearnStore store(args[1]);
    if (!store.open()) {
        std::fprintf(stderr, "%s\n", qPrintable(store.errorText()));
        return 1;
    }
    const int first = args[2].toInt();
    const int count = args[3].toInt();
    for (int i = first; i < first + count; ++i) {
        const QByteArray raw = "Subject: message " + QByteArray::number(i) + "\r\n\r\nbody word" +
                               QByteArray::number(i) + " common words here\r\n";
        if (!store.learn(raw,
                         i % 2 ? brindle::learn::MessageClass::Junk : brindle::learn::MessageClass::Wanted)) {
            std::fprintf(stderr, "%s\n", qPrintable(store.errorText()));
            return 1;
        }
        std::printf("learned %d\n", i - first + 1);
        std::fflush(stdout);
    }
    return 0;
}
