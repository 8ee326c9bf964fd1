#include "ui/PreviewForm.h"

#include "learn/LearnStore.h"
#include "mailcheck/ServerText.h"
#include "ui/Dialogs.h"
#include "ui/Learning.h"
#include "ui/MainForm.h"
#include "ui/texts/CheckTexts.h"
#include "ui/UiKit.h"

#include <algorithm>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace brindle {

namespace {

using Report = CheckOutcome::MessageReport;
using Verdict = Report::Verdict;

const QString kCaption = QStringLiteral("受信箱を見る");
const QString kLearnedWord = QStringLiteral("学習");
// The lines of the body a preview reads of each message: most mail, wanted or junk, is shorter, so
// it is judged whole as a check would judge it; a longer one is judged by its start, and
// "削除を実行" reads it whole and judges it again before anything is deleted.
constexpr int kPreviewLines = 200;
// How soon a reading refused because a check was running is tried again: a check takes seconds,
// and one look at whether it has ended costs nothing.
constexpr int kRetryMs = 2000;
// A cell shows one line of at most this many characters of the server's text: enough for any
// subject a person reads, and the table stays quick with thousands of rows.
constexpr qsizetype kCellMaxChars = 200;

enum Column { Date, Sender, Subject, Size, Judged, Marked, ColumnCount };

QString cellText(const QString& text) {
    return sanitizeServerText(text, QString(), kCellMaxChars);
}

QString dateText(const QString& header) {
    const QDateTime when = QDateTime::fromString(header.simplified(), Qt::RFC2822Date);
    return when.isValid() ? when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                          : cellText(header);
}

QString sizeText(qint64 size) {
    QLocale grouped = QLocale::c();
    grouped.setNumberOptions(QLocale::DefaultNumberOptions); // 25,165,824
    return size < 0 ? QString() : grouped.toString(size);
}

QString scoreText(double score) {
    return QString::number(score, 'f', 3);
}

// Brindle's verdict as the user reads it: the rule word and its keyword, 学習 with its score,
// 許可リスト or 残す.
QString verdictText(const Report& r) {
    switch (r.verdict) {
    case Verdict::Caught:
        if (r.ruleWord == kLearnedWord && r.learnedScore >= 0)
            return kLearnedWord + u' ' + scoreText(r.learnedScore);
        return r.keyword.isEmpty() ? r.ruleWord : QStringLiteral("%1「%2」").arg(r.ruleWord, r.keyword);
    case Verdict::Allowed:
        return QStringLiteral("許可リスト");
    case Verdict::MarkedWanted:
        return QStringLiteral("迷惑メールではない");
    case Verdict::Unjudged:
        return QStringLiteral("読めませんでした");
    case Verdict::Keep:
        break;
    }
    return r.learnedScore >= 0 ? QStringLiteral("残す（学習 %1）").arg(scoreText(r.learnedScore))
                               : QStringLiteral("残す");
}

QString markText(PreviewForm::Mark mark) {
    switch (mark) {
    case PreviewForm::Mark::Junk:
        return QStringLiteral("迷惑メール");
    case PreviewForm::Mark::Wanted:
        return QStringLiteral("迷惑メールではない");
    case PreviewForm::Mark::None:
        break;
    }
    return QString();
}

} // namespace

PreviewForm::PreviewForm(Windows& windows, Runner runner) : Form(windows), m_runner(std::move(runner)) {
    setObjectName(QStringLiteral("PreviewForm"));
    setWindowTitle(kCaption);

    Status = new QLabel(this);
    Status->setObjectName(QStringLiteral("Status"));
    Status->setWordWrap(true);
    Status->setTextFormat(Qt::PlainText);
    // The counts take two lines; a one-line "working" text must not move the table up and down.
    Status->setMinimumHeight(2 * Status->fontMetrics().lineSpacing());
    Progress = new QProgressBar(this);
    Progress->setObjectName(QStringLiteral("Progress"));
    Progress->setRange(0, 0); // the pass tells no count as it goes: the bar shows that it works
    Progress->setMaximumWidth(160);
    Progress->setTextVisible(false);
    Progress->hide();

    Table = new QTableWidget(0, ColumnCount, this);
    Table->setObjectName(QStringLiteral("Table"));
    Table->setHorizontalHeaderLabels({QStringLiteral("日時"), QStringLiteral("差出人"),
                                      QStringLiteral("件名"), QStringLiteral("サイズ"),
                                      QStringLiteral("判定"), QStringLiteral("印")});
    const int em = setUpMailTable(Table, Subject);
    Table->setColumnWidth(Date, em * 17);
    Table->setColumnWidth(Sender, em * 26);
    Table->setColumnWidth(Size, em * 11);
    Table->setColumnWidth(Judged, em * 20);
    Table->setColumnWidth(Marked, em * 18);

    auto button = [this](const char* name, const QString& caption, const QString& tip) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setToolTip(tip);
        fitCaption(b, true);
        return b;
    };
    RefreshCommand = button("RefreshCommand", QStringLiteral("更新(&R)"),
                            QStringLiteral("サーバーの受信箱を読み直します（F5）。何も削除しません。"));
    JunkCommand = button("JunkCommand", QStringLiteral("迷惑メール(&J)"),
                         QStringLiteral("選んだメールに「迷惑メール」の印を付け、迷惑メールとして学習します"
                                        "（Ctrl+J）。印の付いたメールは「削除を実行」で削除されます。"));
    WantedCommand = button("WantedCommand", QStringLiteral("迷惑メールではない(&N)"),
                           QStringLiteral("選んだメールに「迷惑メールではない」の印を付け、必要なメールとして"
                                          "学習します（Ctrl+N）。印の付いたメールは削除されません。"));
    DeleteCommand = button("DeleteCommand", QStringLiteral("削除を実行(&D)"),
                           QStringLiteral("判定で削除対象になったメールと「迷惑メール」の印を付けたメールを、"
                                          "全文を読んで判定し直してからサーバーから削除します。"));
    CloseCommand = button("CloseCommand", QStringLiteral("閉じる"), QStringLiteral("閉じます（Esc）。"));

    auto* top = new QHBoxLayout;
    top->addWidget(Status, 1);
    top->addWidget(Progress);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {RefreshCommand, JunkCommand, WantedCommand, DeleteCommand})
        buttons->addWidget(b);
    buttons->addStretch(1);
    buttons->addWidget(CloseCommand);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(Table, 1);
    layout->addLayout(buttons);

    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    m_retry->setInterval(kRetryMs);
    connect(m_retry, &QTimer::timeout, this, [this] { refresh(); });
    connect(RefreshCommand, &QPushButton::clicked, this, [this] { refresh(); });
    connect(JunkCommand, &QPushButton::clicked, this, [this] { markSelected(Mark::Junk); });
    connect(WantedCommand, &QPushButton::clicked, this, [this] { markSelected(Mark::Wanted); });
    connect(DeleteCommand, &QPushButton::clicked, this, &PreviewForm::deleteMarked);
    connect(CloseCommand, &QPushButton::clicked, this, &QWidget::close);
    const std::pair<QKeySequence, QPushButton*> keys[] = {{QKeySequence(Qt::Key_F5), RefreshCommand},
                                                          {QKeySequence(Qt::CTRL | Qt::Key_J), JunkCommand},
                                                          {QKeySequence(Qt::CTRL | Qt::Key_N), WantedCommand},
                                                          {QKeySequence(Qt::Key_Escape), CloseCommand}};
    for (const auto& [key, b] : keys)
        connect(new QShortcut(key, this), &QShortcut::activated, b, &QPushButton::animateClick);

    setTabOrder(Table, RefreshCommand);
    Table->setFocus();
    resize(960, 520);
    centreOnScreen(this);
    readLearnedTotals();
    updateStatus();
}

void PreviewForm::closeEvent(QCloseEvent* e) {
    // A pass under way ends first (the window carries on from its end); the window goes then.
    if (m_running) {
        m_closeWhenDone = true;
        hide();
        e->ignore();
        return;
    }
    Form::closeEvent(e);
}

CheckInputs PreviewForm::baseInputs() const {
    // What a check started now would read; the rule and the size limit are taken from the main
    // window as the pass starts.
    CheckInputs inputs = readCheckInputs(windows().values());
    inputs.learning = learningInputs();
    return inputs;
}

void PreviewForm::runPass(CheckInputs inputs, const QString& doing,
                          std::function<void(const CheckOutcome&)> then) {
    const QPointer<PreviewForm> self(this);
    m_retry->stop();
    m_running = true;
    Status->setText(doing);
    setBusy(true);
    // The pass goes on from the event loop; the window carries on when it has ended.
    m_runner(std::move(inputs), [this, self, then = std::move(then)](const CheckOutcome& outcome) {
        if (!self || isUnloaded()) {
            QApplication::restoreOverrideCursor(); // the program is ending: the window goes unseen
            return;
        }
        m_running = false;
        setBusy(false);
        if (m_closeWhenDone) {
            close();
            return;
        }
        then(outcome);
    });
}

void PreviewForm::setBusy(bool busy) {
    Progress->setVisible(busy);
    for (QPushButton* b : {RefreshCommand, JunkCommand, WantedCommand, DeleteCommand})
        b->setEnabled(!busy);
    if (busy)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}

void PreviewForm::waitForCheck() {
    m_problem = QStringLiteral("メールチェックの実行中です。終わりしだい受信箱を読み直します。");
    RefreshCommand->setEnabled(false);
    m_retry->start();
    updateStatus();
}

bool PreviewForm::refresh(std::function<void(bool listed)> then) {
    if (m_running || isUnloaded())
        return false;
    if (windows().main().isCheckRunning()) {
        waitForCheck();
        return false;
    }
    CheckInputs inputs = baseInputs();
    inputs.previewLines = kPreviewLines;
    runPass(std::move(inputs), QStringLiteral("サーバーの受信箱を読んでいます…"),
            [this, then = std::move(then)](const CheckOutcome& outcome) {
                const bool listed = showOutcome(outcome);
                if (then)
                    then(listed);
            });
    return true;
}

bool PreviewForm::showOutcome(const CheckOutcome& outcome) {
    using S = CheckOutcome::Status;
    switch (outcome.status) {
    case S::NotStarted:
        waitForCheck();
        return false;
    case S::Done:
        m_problem.clear();
        showMessages(outcome.messages);
        break;
    case S::NoServer:
        m_problem = QStringLiteral("POP3サーバーが設定されていません。「設定」で設定してください。");
        break;
    case S::AccountMissing:
        m_problem = QStringLiteral("IDかパスワードが設定されていません。");
        break;
    default:
        m_problem =
            QStringLiteral("受信箱を読めませんでした。%1").arg(cellText(failureSentence(outcome.failure)));
        break;
    }
    if (!outcome.learningProblem.isEmpty())
        m_storeProblem = cellText(outcome.learningProblem);
    RefreshCommand->setEnabled(true);
    readLearnedTotals();
    updateStatus();
    return outcome.status == S::Done;
}

void PreviewForm::showMessages(const QList<Report>& messages) {
    m_messages = messages;
    QSet<QString> listed;
    for (const Report& r : messages)
        listed.insert(r.uidl);
    m_marks.removeIf([&listed](auto it) { return !listed.contains(it.key()); });
    Table->clearContents();
    Table->setRowCount(int(messages.size()));
    for (int row = 0; row < messages.size(); ++row)
        fillRow(row);
    updateStatus();
}

void PreviewForm::fillRow(int row) {
    const Report& r = m_messages[row];
    const Mark mark = r.uidl.isEmpty() ? Mark::None : markOf(r.uidl);
    const bool junk = mark == Mark::Junk || (r.verdict == Verdict::Caught && mark != Mark::Wanted);
    const QString cells[] = {
        dateText(r.date),    cellText(r.sender),
        cellText(r.subject), sizeText(r.size),
        verdictText(r),      r.uidl.isEmpty() ? QStringLiteral("（UIDLなし）") : markText(mark)};
    for (int column = 0; column < ColumnCount; ++column) {
        auto* item = new QTableWidgetItem(cells[column]);
        if (column == Size)
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        if (junk)
            item->setBackground(QColor(255, 214, 214));
        else if (mark == Mark::Wanted)
            item->setBackground(QColor(214, 240, 214));
        Table->setItem(row, column, item);
    }
}

void PreviewForm::readLearnedTotals() {
    // A store that was never made is not made by looking at it.
    const QString path = learn::LearnStore::defaultPath();
    learn::LearnStore::Totals totals;
    if (QFileInfo::exists(path)) {
        learn::LearnStore store(path);
        const std::optional<learn::LearnStore::Totals> read =
            store.open() ? store.totals() : std::optional<learn::LearnStore::Totals>();
        if (!read) {
            m_storeProblem = store.errorText();
            m_storeText = m_storeProblem;
            return;
        }
        totals = *read;
    }
    m_storeProblem.clear();
    m_storeText = QStringLiteral("学習済み: 迷惑メール %1通 / 迷惑メールではない %2通")
                      .arg(totals.junk)
                      .arg(totals.wanted);
}

void PreviewForm::updateStatus() {
    int caught = 0, markedJunk = 0;
    for (const Report& r : m_messages) {
        const Mark mark = r.uidl.isEmpty() ? Mark::None : markOf(r.uidl);
        caught += mark == Mark::Junk || (r.verdict == Verdict::Caught && mark != Mark::Wanted);
        markedJunk += mark == Mark::Junk;
    }
    QStringList parts{QStringLiteral("メール %1通、削除対象 %2通（うち印 %3通）")
                          .arg(m_messages.size())
                          .arg(caught)
                          .arg(markedJunk),
                      m_storeText};
    if (!m_storeProblem.isEmpty() && m_storeText != m_storeProblem)
        parts << m_storeProblem;
    if (!m_problem.isEmpty())
        parts.prepend(m_problem);
    if (!m_running)
        Status->setText(parts.join(u'\n'));
}

QList<int> PreviewForm::selectedRows() const {
    QList<int> rows;
    for (const QModelIndex& index : Table->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void PreviewForm::markSelected(Mark mark) {
    if (m_running)
        return;
    const QList<int> rows = selectedRows();
    if (rows.isEmpty()) {
        boxes().show(QStringLiteral("印を付けるメールを選んでください。"), MsgButtons::Ok, MsgIcon::None,
                     kCaption);
        return;
    }
    const learn::MessageClass cls =
        mark == Mark::Junk ? learn::MessageClass::Junk : learn::MessageClass::Wanted;
    QList<learn::LearnItem> items;
    int noUidl = 0, noText = 0;
    for (int row : rows) {
        const Report& r = m_messages[row];
        if (r.uidl.isEmpty()) {
            ++noUidl;
            continue;
        }
        // Learned as the other class before, a message moves; as the same, it counts once.
        if (r.text.isEmpty())
            ++noText;
        else
            items.append({r.text, cls});
    }
    QStringList told;
    if (!items.isEmpty()) {
        QApplication::setOverrideCursor(Qt::BusyCursor);
        learn::LearnStore store;
        const bool learned = store.open() && store.learn(items);
        QApplication::restoreOverrideCursor();
        if (!learned)
            told << QStringLiteral("印は付けましたが、学習できませんでした。\n%1").arg(store.errorText());
    }
    for (int row : rows) {
        if (!m_messages[row].uidl.isEmpty()) {
            m_marks.insert(m_messages[row].uidl, mark);
            fillRow(row);
        }
    }
    if (noUidl > 0)
        told << QStringLiteral(
                    "%1通には印を付けられません。サーバーがこのメールのUIDL（メールごとの識別名）を"
                    "返さないため、削除するときにこのメールを確かめられないからです。")
                    .arg(noUidl);
    if (noText > 0)
        told << QStringLiteral("%1通は読めなかったため、印は付けましたが学習していません。").arg(noText);
    readLearnedTotals();
    updateStatus();
    if (!told.isEmpty())
        boxes().show(told.join(u'\n'), MsgButtons::Ok, MsgIcon::Information, kCaption);
}

void PreviewForm::deleteMarked() {
    if (m_running)
        return;
    if (windows().main().isCheckRunning()) {
        boxes().show(QStringLiteral("メールチェックの実行中です。終わってからもう一度お試しください。"),
                     MsgButtons::Ok, MsgIcon::Information, kCaption);
        return;
    }
    QSet<QString> targets;
    int noUidl = 0;
    for (const Report& r : m_messages) {
        const Mark mark = r.uidl.isEmpty() ? Mark::None : markOf(r.uidl);
        if (mark == Mark::Junk || (r.verdict == Verdict::Caught && mark != Mark::Wanted)) {
            if (r.uidl.isEmpty())
                ++noUidl;
            else
                targets.insert(r.uidl);
        }
    }
    const QString noUidlText =
        noUidl > 0 ? QStringLiteral("\nUIDLのない%1通は、確かめて削除できないため残します。").arg(noUidl)
                   : QString();
    if (targets.isEmpty()) {
        boxes().show(QStringLiteral("削除するメールはありません。") + noUidlText, MsgButtons::Ok,
                     MsgIcon::Information, kCaption);
        return;
    }
    const MsgResult answer = boxes().show(
        QStringLiteral("%1通のメールをサーバーから削除します。\n"
                       "削除する前に１通ずつ全文を読んで判定し直し、まだ削除対象のものと「迷惑メール」の印を"
                       "付けたものだけを削除します。控えは「削除したメール」に残ります。%2\n\n"
                       "削除してよろしいですか？")
            .arg(targets.size())
            .arg(noUidlText),
        MsgButtons::YesNo, MsgIcon::Question, kCaption);
    if (answer != MsgResult::Yes)
        return;

    CheckInputs inputs = baseInputs();
    inputs.onlyUidls = targets;
    for (auto it = m_marks.cbegin(); it != m_marks.cend(); ++it)
        (it.value() == Mark::Junk ? inputs.marks.junk : inputs.marks.wanted).insert(it.key());
    runPass(std::move(inputs), QStringLiteral("削除しています…"),
            [this, targets](const CheckOutcome& outcome) { deleteEnded(outcome, targets); });
}

void PreviewForm::deleteEnded(const CheckOutcome& outcome, const QSet<QString>& targets) {
    if (outcome.status == CheckOutcome::Status::NotStarted) {
        boxes().show(QStringLiteral("メールチェックの実行中です。終わってからもう一度お試しください。"),
                     MsgButtons::Ok, MsgIcon::Information, kCaption);
        return;
    }
    QSet<QString> deleted;
    for (const CaughtMessage& c : outcome.caught) {
        if (c.deleted && !c.uidl.isEmpty())
            deleted.insert(c.uidl);
    }
    const QPointer<PreviewForm> self(this);
    // The server's numbering may have changed under the listing; the new listing tells which of
    // the targets were kept and which another program took.
    const auto told = [this, self, targets, deleted, outcome](bool listed) {
        if (!self || isUnloaded() || outcome.status != CheckOutcome::Status::Done)
            return;
        deletionTold(outcome, targets, deleted, listed);
    };
    if (!refresh(told))
        told(false);
}

void PreviewForm::deletionTold(const CheckOutcome& outcome, const QSet<QString>& targets,
                               const QSet<QString>& deleted, bool listed) {
    QString text = QStringLiteral("%1通を削除しました。").arg(outcome.deleted);
    if (listed) {
        QSet<QString> present;
        for (const Report& r : m_messages)
            present.insert(r.uidl);
        int kept = 0, gone = 0;
        for (const QString& uidl : targets) {
            if (!deleted.contains(uidl))
                ++(present.contains(uidl) ? kept : gone);
        }
        if (kept > 0)
            text += QStringLiteral("\n%1通は全文で判定し直した結果、残しました。").arg(kept);
        if (gone > 0)
            text += QStringLiteral(
                        "\n%1通はサーバーにもうありませんでした（ほかのメールソフトが受信したようです）。")
                        .arg(gone);
    }
    boxes().show(text, MsgButtons::Ok, MsgIcon::Information, kCaption);
}

} // namespace brindle
