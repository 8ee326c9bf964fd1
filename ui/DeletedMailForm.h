#pragma once
#include "mailcheck/MailCheckRun.h"
#include "ui/Form.h"

#include <optional>
#include <QList>
#include <QString>

class QLabel;
class QPushButton;
class QTableWidget;

namespace brindle {

// "削除したメール": the deletion log, newest first, and what can be done with the kept copies: read
// one, hand it to the mail program, save it, export several as one mbox file, allow their senders,
// teach the learned judgement that they are not junk.
// The same window lists the result of a trial check, the messages a check would delete; those have
// no copies, so only their senders can be allowed.
class DeletedMailForm : public Form {
    Q_OBJECT
public:
    enum class Mode { Log, Trial };
    DeletedMailForm(Windows& windows, Mode mode);
    // Log mode: reads the deletion log afresh.
    void load();
    // Trial mode: lists what the trial check caught.
    void showCaught(const QList<CaughtMessage>& caught);

    QLabel* Note;
    QLabel* LearnNote; // what the learned judgement holds; log mode only
    QTableWidget* Table;
    QPushButton *OpenCommand, *MailerCommand, *SaveCommand, *AllowCommand, *ExportCommand, *CloseCommand;
    QPushButton* NotJunkCommand; // "迷惑メールではない"; log mode only

private:
    struct Row {
        QString sender;
        QString copyPath; // relative to the data folder; empty in trial mode
        bool partialCopy = false;
    };
    void setRowCount(int count);
    void setCell(int row, int column, const QString& text, bool alignRight = false);
    // The columns a log line and a trial's catch share.
    void setJudgement(int row, const QString& ruleWord, const QString& keyword, const QString& sender,
                      const QString& subject, qint64 size);
    QList<int> selectedRows() const;
    // The copy file of the one selected row; told and nullopt when nothing is selected or the copy
    // is gone.
    std::optional<QString> selectedCopy(bool* partialCopy = nullptr) const;
    QString copyFile(const Row& row) const;
    void openCopy();
    void openInMailer();
    void saveCopy();
    void allowSenders();
    void learnNotJunk();
    void exportCopies();

    Mode m_mode;
    QString m_dataFolder;
    QuarantineLimits m_limits;
    QList<Row> m_rows;
};

} // namespace brindle
