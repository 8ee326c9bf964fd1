#include "ui/LearnQuarantineDialog.h"

#include "learn/LearnStore.h"
#include "mailcheck/CheckInputs.h"
#include "mailcheck/DeletionRules.h"
#include "mailcheck/Quarantine.h"
#include "ui/Dialogs.h"
#include "ui/Form.h"
#include "ui/Learning.h"
#include "ui/UiKit.h"

#include <algorithm>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QTableWidget>
#include <QVBoxLayout>

namespace brindle {

namespace {

enum Column { Rule, Keyword, Sender, Subject, When, ColumnCount };
// A cell shows one line of at most this many characters (the log's fields are cut to this already).
constexpr qsizetype kCellMaxChars = kDeletionFieldMaxChars;

QString cellText(QString text) {
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control)
            c = u' ';
    }
    return text.size() > kCellMaxChars ? text.left(kCellMaxChars) + u'…' : text;
}

} // namespace

bool LearnQuarantineDialog::tickedByDefault(const QString& ruleWord) {
    // The broad rules delete wanted mail too; what the learned judgement deleted was no decision of
    // the user's, and learning it again as junk would only confirm its own mistakes.
    for (const char16_t* broad :
         {RuleWord::Hiragana, RuleWord::HtmlUpper, RuleWord::HtmlLower, RuleWord::Size, RuleWord::Learned}) {
        if (ruleWord == QStringView(broad))
            return false;
    }
    return true;
}

LearnQuarantineDialog::LearnQuarantineDialog(Windows& windows, QWidget* parent)
    : QDialog(parent), m_windows(windows) {
    setObjectName(QStringLiteral("LearnQuarantineDialog"));
    setWindowTitle(QStringLiteral("削除したメールから学習"));
    setAttribute(Qt::WA_DeleteOnClose);
    Note = new QLabel(this);
    Note->setObjectName(QStringLiteral("Note"));
    Note->setWordWrap(true);
    Table = new QTableWidget(0, ColumnCount, this);
    Table->setObjectName(QStringLiteral("Table"));
    Table->setHorizontalHeaderLabels({QStringLiteral("規則"), QStringLiteral("キーワード"),
                                      QStringLiteral("差出人"), QStringLiteral("件名"),
                                      QStringLiteral("日時")});
    const int em = setUpMailTable(Table, Subject, false);
    Table->setColumnWidth(Rule, em * 16);
    Table->setColumnWidth(Keyword, em * 14);
    Table->setColumnWidth(Sender, em * 26);
    Table->setColumnWidth(When, em * 17);

    auto button = [this](const char* name, const QString& caption) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QString::fromLatin1(name));
        fitCaption(b, true);
        return b;
    };
    TickAllCommand = button("TickAllCommand", QStringLiteral("すべてに印(&A)"));
    UntickAllCommand = button("UntickAllCommand", QStringLiteral("すべて外す(&N)"));
    LearnCommand = button("LearnCommand", QStringLiteral("学習させる(&L)"));
    LaterCommand = button("LaterCommand", QStringLiteral("あとで"));
    LearnCommand->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(TickAllCommand);
    buttons->addWidget(UntickAllCommand);
    buttons->addStretch(1);
    buttons->addWidget(LearnCommand);
    buttons->addWidget(LaterCommand);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Note);
    layout->addWidget(Table, 1);
    layout->addLayout(buttons);

    connect(TickAllCommand, &QPushButton::clicked, this, [this] { tickAll(true); });
    connect(UntickAllCommand, &QPushButton::clicked, this, [this] { tickAll(false); });
    connect(LearnCommand, &QPushButton::clicked, this, &LearnQuarantineDialog::learnTicked);
    connect(LaterCommand, &QPushButton::clicked, this, &QDialog::reject);
    resize(860, 460);
}

bool LearnQuarantineDialog::load() {
    const CheckInputs inputs = readCheckInputs(m_windows.values());
    const Quarantine quarantine(inputs.dataFolder, inputs.quarantineLimits);
    QList<DeletionRecord> records = readDeletionLog(inputs.dataFolder);
    std::stable_sort(records.begin(), records.end(),
                     [](const DeletionRecord& a, const DeletionRecord& b) { return a.when > b.when; });
    QSet<QString> seen;
    m_copyFiles.clear();
    Table->setRowCount(0);
    for (const DeletionRecord& r : records) {
        const QString path = r.copyPath.isEmpty() ? QString() : quarantine.absolutePath(r.copyPath);
        if (path.isEmpty() || seen.contains(path) || !QFileInfo(path).isFile())
            continue;
        seen.insert(path);
        const int row = Table->rowCount();
        Table->insertRow(row);
        auto* rule = new QTableWidgetItem(cellText(r.ruleWord));
        rule->setFlags(rule->flags() | Qt::ItemIsUserCheckable);
        rule->setCheckState(tickedByDefault(r.ruleWord) ? Qt::Checked : Qt::Unchecked);
        Table->setItem(row, Rule, rule);
        Table->setItem(row, Keyword, new QTableWidgetItem(cellText(r.keyword)));
        Table->setItem(row, Sender, new QTableWidgetItem(cellText(r.sender)));
        Table->setItem(row, Subject, new QTableWidgetItem(cellText(r.subject)));
        Table->setItem(
            row, When,
            new QTableWidgetItem(r.when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))));
        m_copyFiles.append(path);
    }
    Note->setText(
        QStringLiteral("削除したメールの控えが%1件あります。印を付けたものを迷惑メールとして学習させます。\n"
                       "ひらがな・HTML・ファイルサイズの規則は迷惑メールでないメールも削除するため、"
                       "学習した判定で削除したものとともに、はじめは印を外しています。内容を確かめて印を付け"
                       "てください（スペースキーで切り替え）。")
            .arg(m_copyFiles.size()));
    if (Table->rowCount() > 0)
        Table->setCurrentCell(0, Rule);
    return !m_copyFiles.isEmpty();
}

LearnQuarantineDialog* LearnQuarantineDialog::offer(Windows& windows, QWidget* parent) {
    auto* dialog = new LearnQuarantineDialog(windows, parent);
    if (!dialog->load()) {
        delete dialog;
        return nullptr;
    }
    dialog->open();
    centreOnScreen(dialog);
    dialog->Table->setFocus();
    return dialog;
}

void LearnQuarantineDialog::tickAll(bool ticked) {
    for (int row = 0; row < Table->rowCount(); ++row)
        Table->item(row, Rule)->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
}

void LearnQuarantineDialog::learnTicked() {
    QStringList files;
    for (int row = 0; row < Table->rowCount(); ++row) {
        if (Table->item(row, Rule)->checkState() == Qt::Checked)
            files.append(m_copyFiles[row]);
    }
    if (files.isEmpty()) {
        m_windows.boxes().show(QStringLiteral("学習させるメールに印を付けてください。"), MsgButtons::Ok,
                               MsgIcon::None, windowTitle());
        return;
    }
    learn::LearnStore store;
    const LearnTally tally = store.open() ? learnCopies(store, files, learn::MessageClass::Junk, true, this)
                                          : LearnTally{.problem = store.errorText()};
    m_windows.refreshLearnedCounts();
    QString text = QStringLiteral("%1件を迷惑メールとして学習しました。").arg(tally.learned);
    if (tally.already > 0)
        text += QStringLiteral("\n%1件は学習済みでした。").arg(tally.already);
    if (tally.keptWanted > 0)
        text += QStringLiteral("\n%1件は「迷惑メールではない」とされたものなので、学習していません。")
                    .arg(tally.keptWanted);
    if (tally.skipped > 0)
        text += QStringLiteral("\n%1件は控えを読めなかったため飛ばしました。").arg(tally.skipped);
    if (tally.stopped)
        text += QStringLiteral("\n途中で中止しました。それまでに学習した分は残ります。");
    if (!tally.problem.isEmpty())
        text += u'\n' + tally.problem;
    text += u'\n' + learnedCountsText();
    m_windows.boxes().show(text, MsgButtons::Ok,
                           tally.problem.isEmpty() ? MsgIcon::Information : MsgIcon::Exclamation,
                           windowTitle());
    if (tally.problem.isEmpty())
        accept();
}

} // namespace brindle
