#include "ui/MailViewer.h"

#include "mailcheck/mime/MimeDecode.h"
#include "mailcheck/Quarantine.h"
#include "ui/UiKit.h"

#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace brindle {

namespace {

// The most of a copy file that is read. A whole copy is at most the size up to which messages are
// kept whole, plus the server's rounding; anything larger is not our copy and is read only this far.
constexpr qint64 kViewerReadMaxBytes = kQuarantineWholeMaxBytes + 1024 * 1024;
// The most body text shown: a megabyte of text is far more than anyone reads of a junk mail, and a
// text box holding hundreds of megabytes of decoded attachment-like text would stall the window.
constexpr qsizetype kViewerBodyMaxChars = 1024 * 1024;
// The most of one header field shown; a subject or recipient list kilobytes long is junk itself.
constexpr qsizetype kViewerFieldMaxChars = 1000;

QString oneLine(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control)
            c = u' ';
    }
    text = text.trimmed();
    return text.size() > kViewerFieldMaxChars ? text.left(kViewerFieldMaxChars) + u'…' : text;
}

// The value of the first header field of this name, continuation lines joined; empty when absent.
QString headerField(const QString& header, QStringView name) {
    const QStringList lines = header.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString& line = lines[i];
        const qsizetype colon = line.indexOf(u':');
        if (colon <= 0 || QStringView(line).first(colon).trimmed().compare(name, Qt::CaseInsensitive) != 0)
            continue;
        QString value = line.mid(colon + 1);
        while (i + 1 < lines.size() && (lines[i + 1].startsWith(u' ') || lines[i + 1].startsWith(u'\t')))
            value += lines[++i];
        return value;
    }
    return QString();
}

QLineEdit* fieldBox(QWidget* parent, const char* name, const QString& text) {
    auto* e = new QLineEdit(oneLine(text), parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setReadOnly(true);
    e->setCursorPosition(0);
    return e;
}

} // namespace

MailViewer::MailViewer(const QByteArray& raw, bool partialCopy, QWidget* parent)
    : QWidget(parent, Qt::Window) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("MailViewer"));
    const DecodedMessage message = decodeMessage(raw);
    const QString& header = message.head.header;
    const QString from = headerField(header, u"From");

    FromText = fieldBox(this, "FromText", from.trimmed().isEmpty() ? message.head.fromAddress : from);
    ToText = fieldBox(this, "ToText", headerField(header, u"To"));
    SubjectText = fieldBox(this, "SubjectText", message.head.subject);
    DateText = fieldBox(this, "DateText", message.head.date);
    setWindowTitle(QStringLiteral("控えの表示 - %1").arg(SubjectText->text().left(60)));

    QStringList notes;
    if (partialCopy)
        notes << QStringLiteral("この控えはヘッダーと先頭の部分だけです。");
    QString body = message.body;
    if (body.size() > kViewerBodyMaxChars) {
        body.truncate(kViewerBodyMaxChars - (body[kViewerBodyMaxChars - 1].isHighSurrogate() ? 1 : 0));
        notes << QStringLiteral("本文が長いため、先頭の部分だけを表示しています。");
    }
    Note = new QLabel(notes.join(u'\n'), this);
    Note->setObjectName(QStringLiteral("Note"));
    Note->setWordWrap(true);
    QPalette palette = Note->palette();
    palette.setColor(QPalette::WindowText, QColor(192, 0, 0));
    Note->setPalette(palette);
    Note->setVisible(!notes.isEmpty());

    BodyText = new QPlainTextEdit(this);
    BodyText->setObjectName(QStringLiteral("BodyText"));
    BodyText->setReadOnly(true);
    BodyText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    BodyText->setPlainText(body);

    auto* fields = new QFormLayout;
    fields->addRow(QStringLiteral("差出人:"), FromText);
    fields->addRow(QStringLiteral("宛先:"), ToText);
    fields->addRow(QStringLiteral("件名:"), SubjectText);
    fields->addRow(QStringLiteral("日付:"), DateText);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Note);
    layout->addLayout(fields);
    layout->addWidget(BodyText, 1);
    resize(640, 480);
    centreOnScreen(this);
}

MailViewer* MailViewer::openFile(const QString& path, bool partialCopy, QWidget* parent) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return nullptr;
    auto* viewer = new MailViewer(file.read(kViewerReadMaxBytes), partialCopy, parent);
    viewer->show();
    viewer->raise();
    return viewer;
}

} // namespace brindle
