#pragma once
#include <QDialog>
#include <QStringList>

class QLabel;
class QPushButton;
class QTableWidget;

namespace brindle {

class Windows;

// Offered once each time the learned judgement is switched on: the copies already in the quarantine,
// each with the rule that deleted it, for the user to confirm as junk. The rules that delete wanted
// mail too (no hiragana, HTML, size) start unticked.
class LearnQuarantineDialog : public QDialog {
    Q_OBJECT
public:
    explicit LearnQuarantineDialog(Windows& windows, QWidget* parent = nullptr);
    // Lists the copies still kept, newest first; false when there are none.
    bool load();
    // Whether a copy deleted by this rule is ticked at first.
    static bool tickedByDefault(const QString& ruleWord);
    // Opens the dialog (not waiting for it) when the quarantine holds copies; nullptr when it holds none.
    static LearnQuarantineDialog* offer(Windows& windows, QWidget* parent);

    QLabel* Note;
    QTableWidget* Table;
    QPushButton *TickAllCommand, *UntickAllCommand, *LearnCommand, *LaterCommand;

private:
    void tickAll(bool ticked);
    void learnTicked();

    Windows& m_windows;
    QStringList m_copyFiles; // one per row, absolute
};

} // namespace brindle
