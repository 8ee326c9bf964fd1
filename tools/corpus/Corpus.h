#pragma once
// Composed mail for training and measuring the learned judgement.
//
// Every message is composed here from templates and word lists that we wrote; none is copied from
// real mail, and no junk from public mailing-list archives is used (real mail of that kind is kept
// aside to measure the result). Licence: MIT, the Brindle developers.
//
// Junk: brand phishing of card companies, banks and brokers, e-commerce, carriers, delivery firms,
// the tax office and utilities, Japanese and English; words disguised with invisible characters;
// links whose text names another domain than their target; cheap top-level domains; failing
// Authentication-Results. Wanted mail: newsletters, personal and work mail, receipts and card notices
// from real-looking services (which share much of phishing's vocabulary), mailing-list traffic.
// Signals are given at rates, not always, and wanted mail carries some of them too (click trackers,
// HTML-only newsletters), so that no single token separates the two.
#include <QByteArray>
#include <QList>
#include <QString>

namespace brindle::corpus {

struct ComposedMessage {
    QByteArray raw;
    bool junk = false;
    QString kind; // "phish-card", "receipt", "list", …: for reports
};

// count messages of each class, the same ones for the same seed.
QList<ComposedMessage> compose(quint32 seed, int junkCount, int wantedCount);

} // namespace brindle::corpus
