#pragma once
#include <QByteArray>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace brindle {

// A read-only look at a kept copy of a deleted message: the decoded sender, recipients, subject and
// date, and the text of the body. Everything is shown as plain text: HTML is neither rendered nor
// followed, so nothing is loaded from the network and no script runs.
class MailViewer : public QWidget {
    Q_OBJECT
public:
    // raw: the message as kept (CR LF line ends); partialCopy: the copy holds its header and first
    // lines only.
    MailViewer(const QByteArray& raw, bool partialCopy, QWidget* parent = nullptr);

    // The copy's file in a new viewer window, shown; nullptr when the file cannot be read.
    static MailViewer* openFile(const QString& path, bool partialCopy, QWidget* parent = nullptr);

    QLabel* Note; // what is not shown: a partial copy, a cut-off body
    QLineEdit *FromText, *ToText, *SubjectText, *DateText;
    QPlainTextEdit* BodyText;
};

} // namespace brindle
