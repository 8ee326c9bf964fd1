#pragma once
#include "mailcheck/CheckInputs.h"
#include "mailcheck/MailCheckRun.h"
#include "ui/Form.h"

#include <functional>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QTimer;

namespace brindle {

// "受信箱を見る": every message waiting on the server with Brindle's verdict on it, read by a preview
// pass that deletes nothing. The user marks rows "迷惑メール" or "迷惑メールではない" (by UIDL), Brindle
// learns from each mark at once, and "削除を実行" runs a real pass over the caught and marked rows
// only, which reads each whole, judges it again and deletes what is still caught or marked junk.
// No session stays open between passes, and no pass runs beside a check.
class PreviewForm : public Form {
    Q_OBJECT
public:
    // Starts one pass with these inputs (a preview when previewLines >= 0); done is called once with
    // its outcome when it has ended (at once with Status::NotStarted when another pass was running).
    using Runner = PassRunner;
    enum class Mark { None, Junk, Wanted };

    PreviewForm(Windows& windows, Runner runner);

    // Reads the mailbox afresh; then(listed) follows once the pass has ended and the window is still
    // there. False when it did not start: a check is under way (it is tried again once that has
    // ended) or this window is already reading.
    bool refresh(std::function<void(bool listed)> then = {});
    // Marks the selected rows and learns each from its text.
    void markSelected(Mark mark);
    // Asks, then deletes the caught and marked-junk rows by a real pass over their UIDLs.
    void deleteMarked();
    // Lists a preview's messages (the marks of UIDLs no longer listed are dropped).
    void showMessages(const QList<CheckOutcome::MessageReport>& messages);
    Mark markOf(const QString& uidl) const { return m_marks.value(uidl, Mark::None); }

    QLabel* Status;
    QProgressBar* Progress;
    QTableWidget* Table;
    QPushButton *RefreshCommand, *JunkCommand, *WantedCommand, *DeleteCommand, *CloseCommand;

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    CheckInputs baseInputs() const;
    // Runs a pass with the window showing that it works; then follows unless the window went away
    // meanwhile.
    void runPass(CheckInputs inputs, const QString& doing, std::function<void(const CheckOutcome&)> then);
    // Shows what a reading found; true when it listed the mailbox.
    bool showOutcome(const CheckOutcome& outcome);
    // The end of deleteMarked's pass, and the box that says what it did.
    void deleteEnded(const CheckOutcome& outcome, const QSet<QString>& targets);
    void deletionTold(const CheckOutcome& outcome, const QSet<QString>& targets, const QSet<QString>& deleted,
                      bool listed);
    void setBusy(bool busy);
    void fillRow(int row);
    void updateStatus();
    void readLearnedTotals();
    void waitForCheck();
    QList<int> selectedRows() const;

    Runner m_runner;
    QList<CheckOutcome::MessageReport> m_messages;
    QHash<QString, Mark> m_marks;
    QTimer* m_retry;
    bool m_running = false;
    bool m_closeWhenDone = false;
    QString m_problem;      // why the last reading failed; empty when it succeeded
    QString m_storeText;    // the learned totals, or the store's problem
    QString m_storeProblem; // the store's problem alone
};

} // namespace brindle
