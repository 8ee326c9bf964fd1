#include "ui/DeletedMailForm.h"

#include "keywords/AllowList.h"
#include "mailcheck/CheckInputs.h"
#include "mailcheck/KeywordMatcher.h"
#include "mailcheck/Quarantine.h"
#include "ui/AllowListForm.h"
#include "ui/Dialogs.h"
#include "ui/Learning.h"
#include "ui/MailViewer.h"
#include "ui/MainForm.h"
#include "ui/UiKit.h"

#include <algorithm>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSaveFile>
#include <QSet>
#include <QTableWidget>
#include <QVBoxLayout>

namespace brindle {

namespace {

const QString kLogCaption = QStringLiteral("削除したメール");
const QString kTrialCaption = QStringLiteral("試しにチェックの結果（削除していません）");
const QString kGoneText =
    QStringLiteral("このメールの控えはもうありません。\n"
                   "保存期間を過ぎたか、保存する容量の上限を超えたため削除されました。");
// A cell shows one line of at most this many characters: the log cuts its fields to this length
// already, and a trial check's subjects come straight from the mail.
constexpr qsizetype kCellMaxChars = kDeletionFieldMaxChars;
// Copied in pieces so that a large copy never has to be held whole.
constexpr qint64 kCopyChunkBytes = 64 * 1024;

enum Column { When, Rule, Keyword, Sender, Subject, Size, ColumnCount };

QString cellText(QString text) {
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control)
            c = u' ';
    }
    return text.size() > kCellMaxChars ? text.left(kCellMaxChars) + u'…' : text;
}

QString sizeText(qint64 size) {
    QLocale grouped = QLocale::c();
    grouped.setNumberOptions(QLocale::DefaultNumberOptions); // 25,165,824
    return size < 0 ? QString() : grouped.toString(size);
}

// A path as one argument of a command line: quoted, a quote inside written three times.
QString quotedArgument(QString path) {
    path.replace(u'"', QStringLiteral("\"\"\""));
    return u'"' + path + u'"';
}

bool copyExactly(const QString& from, const QString& to) {
    QFile in(from);
    QSaveFile out(to);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(kCopyChunkBytes);
        if (chunk.isEmpty() || out.write(chunk) != chunk.size()) {
            out.cancelWriting();
            return false;
        }
    }
    return out.commit();
}

} // namespace

DeletedMailForm::DeletedMailForm(Windows& windows, Mode mode) : Form(windows), m_mode(mode) {
    const bool log = mode == Mode::Log;
    setObjectName(log ? QStringLiteral("DeletedMailForm") : QStringLiteral("TrialResultForm"));
    setWindowTitle(log ? kLogCaption : kTrialCaption);
    const CheckInputs inputs = readCheckInputs(windows.values());
    m_dataFolder = inputs.dataFolder;
    m_limits = inputs.quarantineLimits;

    Note = new QLabel(this);
    Note->setObjectName(QStringLiteral("Note"));
    Note->setWordWrap(true);
    LearnNote = new QLabel(this);
    LearnNote->setObjectName(QStringLiteral("LearnNote"));
    LearnNote->setWordWrap(true);
    LearnNote->setVisible(log);

    Table = new QTableWidget(0, ColumnCount, this);
    Table->setObjectName(QStringLiteral("Table"));
    Table->setHorizontalHeaderLabels({log ? QStringLiteral("日時") : QStringLiteral("番号"),
                                      QStringLiteral("規則"), QStringLiteral("キーワード"),
                                      QStringLiteral("差出人"), QStringLiteral("件名"),
                                      QStringLiteral("サイズ")});
    const int em = setUpMailTable(Table, Subject);
    Table->setColumnWidth(When, log ? em * 18 : em * 6);
    Table->setColumnWidth(Rule, em * 14);
    Table->setColumnWidth(Keyword, em * 14);
    Table->setColumnWidth(Sender, em * 28);
    Table->setColumnWidth(Size, em * 12);

    auto button = [this](const char* name, const QString& caption) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QString::fromLatin1(name));
        return b;
    };
    OpenCommand = button("OpenCommand", QStringLiteral("開く"));
    MailerCommand = button("MailerCommand", QStringLiteral("メーラーで開く"));
    SaveCommand = button("SaveCommand", QStringLiteral("保存"));
    AllowCommand = button("AllowCommand", QStringLiteral("許可リストに追加"));
    windows.registerCheckInput(AllowCommand);
    NotJunkCommand = button("NotJunkCommand", QStringLiteral("迷惑メールではない"));
    windows.registerCheckInput(NotJunkCommand);
    ExportCommand = button("ExportCommand", QStringLiteral("書き出し"));
    CloseCommand = button("CloseCommand", QStringLiteral("閉じる"));
    OpenCommand->setToolTip(QStringLiteral("選んだメールの控えを表示します（HTMLは表示せず、文字だけ）。"));
    MailerCommand->setToolTip(QStringLiteral("選んだメールの控えを、設定されたメーラーで開きます。"));
    SaveCommand->setToolTip(QStringLiteral("選んだメールの控えを .eml ファイルに保存します。"));
    AllowCommand->setToolTip(QStringLiteral("選んだメールの差出人を許可リストに加え、今後は削除しません。"));
    NotJunkCommand->setToolTip(QStringLiteral(
        "選んだメールを迷惑メールではないと学習させ、学習した判定では削除されないようにします。"));
    ExportCommand->setToolTip(QStringLiteral(
        "選んだメール（選んでいなければ全部）を、メーラーに取り込める mbox ファイルに書き出します。"));
    for (QPushButton* b :
         {OpenCommand, MailerCommand, SaveCommand, AllowCommand, NotJunkCommand, ExportCommand, CloseCommand})
        fitCaption(b, true);
    for (QPushButton* b : {OpenCommand, MailerCommand, SaveCommand, NotJunkCommand, ExportCommand})
        b->setVisible(log);

    auto* buttons = new QHBoxLayout;
    for (QPushButton* b :
         {OpenCommand, MailerCommand, SaveCommand, AllowCommand, NotJunkCommand, ExportCommand})
        buttons->addWidget(b);
    buttons->addStretch(1);
    buttons->addWidget(CloseCommand);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Note);
    layout->addWidget(Table, 1);
    layout->addWidget(LearnNote);
    layout->addLayout(buttons);

    connect(OpenCommand, &QPushButton::clicked, this, &DeletedMailForm::openCopy);
    connect(MailerCommand, &QPushButton::clicked, this, &DeletedMailForm::openInMailer);
    connect(SaveCommand, &QPushButton::clicked, this, &DeletedMailForm::saveCopy);
    connect(AllowCommand, &QPushButton::clicked, this, &DeletedMailForm::allowSenders);
    connect(NotJunkCommand, &QPushButton::clicked, this, &DeletedMailForm::learnNotJunk);
    connect(ExportCommand, &QPushButton::clicked, this, &DeletedMailForm::exportCopies);
    connect(CloseCommand, &QPushButton::clicked, this, &QWidget::close);
    if (log)
        connect(Table, &QTableWidget::cellDoubleClicked, this, &DeletedMailForm::openCopy);
    resize(820, 440);
    centreOnScreen(this);
}

void DeletedMailForm::load() {
    // The log is at most its two rotated files of about a megabyte each, so all of it is listed.
    QList<DeletionRecord> records = readDeletionLog(m_dataFolder);
    std::stable_sort(records.begin(), records.end(),
                     [](const DeletionRecord& a, const DeletionRecord& b) { return a.when > b.when; });
    setRowCount(int(records.size()));
    for (int i = 0; i < records.size(); ++i) {
        const DeletionRecord& r = records[i];
        m_rows[i] = Row{r.sender, r.copyPath, r.partialCopy};
        setCell(i, When, r.when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")));
        setJudgement(i, r.ruleWord, r.keyword, r.sender, r.subject, r.size);
    }
    Note->setText(
        records.isEmpty()
            ? QStringLiteral("削除したメールはまだありません。")
            : QStringLiteral("削除したメール %1件（新しい順）。控えは%2日間、合計%3MBまで保存されます。")
                  .arg(records.size())
                  .arg(m_limits.retentionDays)
                  .arg(m_limits.capBytes / (1024 * 1024)));
    LearnNote->setText(learnedCountsText());
}

void DeletedMailForm::setJudgement(int row, const QString& ruleWord, const QString& keyword,
                                   const QString& sender, const QString& subject, qint64 size) {
    setCell(row, Rule, ruleWord);
    setCell(row, Keyword, keyword);
    setCell(row, Sender, sender);
    setCell(row, Subject, subject);
    setCell(row, Size, sizeText(size), true);
}

void DeletedMailForm::showCaught(const QList<CaughtMessage>& caught) {
    setRowCount(int(caught.size()));
    for (int i = 0; i < caught.size(); ++i) {
        const CaughtMessage& c = caught[i];
        m_rows[i] = Row{c.sender, QString(), false};
        setCell(i, When, QString::number(c.number), true);
        setJudgement(i, c.ruleWord, c.keyword, c.sender, c.subject, c.size);
    }
    Note->setText(
        caught.isEmpty()
            ? QStringLiteral("いまチェックしても、削除されるメールはありません。")
            : QStringLiteral("いまチェックすると、次の%1件が削除されます。このチェックでは何も削除して"
                             "いません。削除させたくない差出人は許可リストに追加できます。")
                  .arg(caught.size()));
}

void DeletedMailForm::setRowCount(int count) {
    Table->clearContents();
    Table->setRowCount(count);
    m_rows = QList<Row>(count);
}

void DeletedMailForm::setCell(int row, int column, const QString& text, bool alignRight) {
    auto* item = new QTableWidgetItem(cellText(text));
    if (alignRight)
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Table->setItem(row, column, item);
}

QList<int> DeletedMailForm::selectedRows() const {
    QList<int> rows;
    for (const QModelIndex& index : Table->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

QString DeletedMailForm::copyFile(const Row& row) const {
    if (row.copyPath.isEmpty())
        return QString();
    const QString path = Quarantine(m_dataFolder, m_limits).absolutePath(row.copyPath);
    return QFileInfo(path).isFile() ? path : QString();
}

std::optional<QString> DeletedMailForm::selectedCopy(bool* partialCopy) const {
    const QList<int> rows = selectedRows();
    if (rows.size() != 1) {
        boxes().show(rows.isEmpty() ? QStringLiteral("メールを選んでください。")
                                    : QStringLiteral("メールを１件だけ選んでください。"),
                     MsgButtons::Ok, MsgIcon::None, windowTitle());
        return std::nullopt;
    }
    const Row& row = m_rows[rows.front()];
    const QString path = copyFile(row);
    if (path.isEmpty()) {
        boxes().show(kGoneText, MsgButtons::Ok, MsgIcon::Information, windowTitle());
        return std::nullopt;
    }
    if (partialCopy)
        *partialCopy = row.partialCopy;
    return path;
}

void DeletedMailForm::openCopy() {
    bool partial = false;
    const std::optional<QString> path = selectedCopy(&partial);
    if (path && !MailViewer::openFile(*path, partial, this)) {
        boxes().show(QStringLiteral("控えを読めませんでした。\n%1").arg(QDir::toNativeSeparators(*path)),
                     MsgButtons::Ok, MsgIcon::Exclamation, windowTitle());
    }
}

void DeletedMailForm::openInMailer() {
    const QString mailer = trimSpaces(windows().main().working().mailerCommand);
    if (mailer.isEmpty() || mailer == QStringView(kNotSetText)) {
        boxes().show(QStringLiteral("メーラーが設定されていません。\n"
                                    "メイン画面の「メーラー設定」で設定してください。"),
                     MsgButtons::Ok, MsgIcon::None, windowTitle());
        return;
    }
    const std::optional<QString> path = selectedCopy();
    if (!path)
        return;
    if (!windows().services().startProgram(mailer + u' ' + quotedArgument(*path))) {
        boxes().show(QStringLiteral("メーラーを起動できませんでした。\n%1").arg(mailer), MsgButtons::Ok,
                     MsgIcon::Exclamation, windowTitle());
    }
}

void DeletedMailForm::saveCopy() {
    const std::optional<QString> path = selectedCopy();
    if (!path)
        return;
    QString target = windows().services().chooseSaveFile(this, QFileInfo(*path).fileName());
    if (target.isEmpty())
        return;
    if (QFileInfo(target).suffix().isEmpty())
        target += QStringLiteral(".eml");
    if (!copyExactly(*path, target)) {
        boxes().show(QStringLiteral("保存できませんでした。\n%1").arg(QDir::toNativeSeparators(target)),
                     MsgButtons::Ok, MsgIcon::Exclamation, windowTitle());
    }
}

void DeletedMailForm::allowSenders() {
    const QList<int> rows = selectedRows();
    if (rows.isEmpty()) {
        boxes().show(QStringLiteral("許可リストに追加するメールを選んでください。"), MsgButtons::Ok,
                     MsgIcon::None, windowTitle());
        return;
    }
    const QStringList before = readAllowList();
    QSet<QString> known(before.begin(), before.end());
    int added = 0, skipped = 0;
    for (int row : rows) {
        const std::optional<QString> entry = normalizeAllowEntry(m_rows[row].sender);
        if (!entry || known.contains(*entry)) {
            ++skipped;
            continue;
        }
        if (!addToAllowList(*entry)) {
            windows().refreshAllowList();
            boxes().show(QStringLiteral("許可リストを保存できませんでした。\n%1")
                             .arg(QDir::toNativeSeparators(allowListPath())),
                         MsgButtons::Ok, MsgIcon::Exclamation, windowTitle());
            return;
        }
        known.insert(*entry);
        ++added;
    }
    windows().refreshAllowList();
    QString text = QStringLiteral("許可リストに%1件追加しました。").arg(added);
    if (skipped > 0)
        text +=
            QStringLiteral("\n%1件は登録済みか、差出人のアドレスがないため追加していません。").arg(skipped);
    boxes().show(text, MsgButtons::Ok, MsgIcon::Information, windowTitle());
}

void DeletedMailForm::learnNotJunk() {
    const QList<int> rows = selectedRows();
    if (rows.isEmpty()) {
        boxes().show(QStringLiteral("迷惑メールではないメールを選んでください。"), MsgButtons::Ok,
                     MsgIcon::None, windowTitle());
        return;
    }
    QStringList files;
    int gone = 0;
    for (int row : rows) {
        const QString path = copyFile(m_rows[row]);
        if (path.isEmpty())
            ++gone;
        else
            files.append(path);
    }
    learn::LearnStore store;
    LearnTally tally = files.isEmpty() ? LearnTally{}
                       : store.open()  ? learnCopies(store, files, learn::MessageClass::Wanted, false, this)
                                       : LearnTally{.problem = store.errorText()};
    tally.skipped += gone;
    LearnNote->setText(learnedCountsText());
    if (!tally.problem.isEmpty()) {
        boxes().show(tally.problem, MsgButtons::Ok, MsgIcon::Exclamation, windowTitle());
        return;
    }
    QString text =
        QStringLiteral("%1件を迷惑メールではないと学習しました。").arg(tally.learned + tally.already);
    if (tally.skipped > 0)
        text += QStringLiteral("\n%1件は控えがないか読めないため、学習していません。").arg(tally.skipped);
    text += QStringLiteral("\n\n差出人を許可リストにも追加して、どの規則でも削除しないようにしますか？");
    if (boxes().show(text, MsgButtons::YesNo, MsgIcon::Question, windowTitle()) != MsgResult::Yes)
        return;
        // The window system gives the focus back to this window only after the box has gone; the next box
        // must stand above this window, not the main one.
#if QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
    QApplication::setActiveWindow(this);
#else
    activateWindow();
#endif
    allowSenders();
}

void DeletedMailForm::exportCopies() {
    QList<int> rows = selectedRows();
    if (rows.isEmpty()) {
        for (int i = 0; i < m_rows.size(); ++i)
            rows.append(i);
    }
    QStringList files;
    for (int row : rows) {
        const QString path = copyFile(m_rows[row]);
        if (!path.isEmpty())
            files.append(path);
    }
    const qsizetype gone = rows.size() - files.size();
    if (files.isEmpty()) {
        boxes().show(rows.isEmpty() ? QStringLiteral("書き出すメールがありません。")
                                    : QStringLiteral("書き出せる控えがありません。\n") + kGoneText,
                     MsgButtons::Ok, MsgIcon::Information, windowTitle());
        return;
    }
    QString target = windows().services().chooseSaveFile(this, QStringLiteral("削除したメール.mbox"));
    if (target.isEmpty())
        return;
    if (QFileInfo(target).suffix().isEmpty())
        target += QStringLiteral(".mbox");
    if (!exportMbox(files, target)) {
        boxes().show(QStringLiteral("書き出せませんでした。\n%1").arg(QDir::toNativeSeparators(target)),
                     MsgButtons::Ok, MsgIcon::Exclamation, windowTitle());
        return;
    }
    QString text =
        QStringLiteral("%1件を書き出しました。\n%2").arg(files.size()).arg(QDir::toNativeSeparators(target));
    if (gone > 0)
        text += QStringLiteral("\n控えがもうない%1件は書き出していません。").arg(gone);
    boxes().show(text, MsgButtons::Ok, MsgIcon::Information, windowTitle());
}

} // namespace brindle
