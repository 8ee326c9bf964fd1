// learn_store_helper STORE FIRST COUNT: learns COUNT messages from FIRST, printing "learned N" per commit.
#include "learn/LearnStore.h"

#include <cstdio>
#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    brindle::learn::LearnStore store(args.value(1));
    if (args.size() != 4 || !store.open())
        return 1;
    for (int i = args[2].toInt(), n = 1; n <= args[3].toInt(); ++i, ++n) {
        const QByteArray raw = "Subject: message " + QByteArray::number(i) + "\r\n\r\nbody word" +
                               QByteArray::number(i) + " common words here\r\n";
        if (!store.learn(raw,
                         i % 2 ? brindle::learn::MessageClass::Junk : brindle::learn::MessageClass::Wanted))
            return std::fprintf(stderr, "%s\n", qPrintable(store.errorText())), 1;
        std::printf("learned %d\n", n);
        std::fflush(stdout);
    }
    return 0;
}
