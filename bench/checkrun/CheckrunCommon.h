#pragma once
// What the two modes of bench_checkrun share: the mailbox generator, running a child process, the
// keyword file.
#include <chrono>
#include <QByteArray>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

namespace brindle::bench {

extern const QString kJunkKeyword;

// Wanted mail: a short letter of Japanese and English lines, 2 to 6 KB.
QByteArray wantedMail(int i, QRandomGenerator& rng);
// Caught by every rule: a keyword in the body only, an HTML part, a 60 KB attachment, no hiragana.
QByteArray junkMail(int i);

struct ChildResult {
    double seconds = 0;
    double cpuSeconds = 0; // user and system time of the child
    long maxRssKb = 0;
    int exitCode = -1;
    QString lastLine;
    std::chrono::steady_clock::time_point spawned; // just before the process was made
};

// Runs a program with its standard output and error into outPath and waits for it.
ChildResult runChild(const QString& program, const QStringList& args, const QString& outPath);

// The keyword file of the application folder: count keywords, kJunkKeyword the last of them.
void writeKeywordFile(int count);

// The Dovecot mode: `bench_checkrun --server dovecot ...` (see DovecotBench.cpp).
int dovecotBench(const QStringList& args);

} // namespace brindle::bench
