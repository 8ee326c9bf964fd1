// brindle-corpus FOLDER [JUNK WANTED [SEED]]: writes the composed corpus as .eml files into
// FOLDER/junk and FOLDER/wanted, for training brindle-check by hand and for measuring.
#include "tools/corpus/Corpus.h"

#include <cstdio>
#include <QCoreApplication>
#include <QDir>
#include <QFile>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2 || args[1].startsWith(u'-')) { // an option is no folder to write into
        std::fprintf(stderr, "usage: brindle-corpus FOLDER [JUNK WANTED [SEED]]\n");
        return 2;
    }
    const int junk = args.size() > 2 ? args[2].toInt() : 500;
    const int wanted = args.size() > 3 ? args[3].toInt() : 500;
    const quint32 seed = args.size() > 4 ? args[4].toUInt() : 1;
    const QDir root(args[1]);
    if (!root.mkpath(u"junk"_qs) || !root.mkpath(u"wanted"_qs))
        return 1;
    int n = 0;
    for (const auto& m : brindle::corpus::compose(seed, junk, wanted)) {
        QFile f(root.filePath(QStringLiteral("%1/%2-%3.eml")
                                  .arg(m.junk ? u"junk"_qs : u"wanted"_qs)
                                  .arg(++n, 5, 10, QChar(u'0'))
                                  .arg(m.kind)));
        if (!f.open(QIODevice::WriteOnly) || f.write(m.raw) != m.raw.size())
            return 1;
    }
    return 0;
}
