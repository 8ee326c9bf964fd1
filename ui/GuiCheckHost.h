#pragma once
#include "mailcheck/CheckHost.h"
#include "ui/MainForm.h"

#include <QSet>
#include <QString>

class QLineEdit;

namespace brindle {

// The check run's view of the windows: the main window's boxes and rule buttons, SetForm's
// switches, the account and notice-board windows. Once the program is ending, the run is shown
// nothing more and started nothing more.
class GuiCheckHost : public CheckHost {
public:
    // `working`: the main window's working state, where the fields it keeps out of sight go.
    GuiCheckHost(MainForm& main, MainForm::Working& working) : m_main(main), m_working(working) {}

    QString text(Field f) const override;
    void setText(Field f, const QString& value) override;
    void highlight(Field f, int start, int length) override;
    bool ruleSelected(RuleSwitch s) const override;
    bool noticeBoardChosen() const override;
    bool mailerChosen() const override;
    bool autoCloseNoticeBoard() const override;
    bool hangUpAfterCheck() const override;
    void setAccountBoxes(const QString& id, const QString& password) override;
    MsgResult tell(const CheckNotice& notice) override;
    void showSetForm() override;
    void showNoticeBoard(int newMail) override;
    void unloadNoticeBoard() override;
    bool startMailer(const QString& commandLine) override;
    void hangUp() override;
    bool askTrust(const TrustQuestion& question) override;
    // The run's boxes and questions, each shown from the event loop at its next turn, not from inside
    // the run's step; the run goes on with the answer.
    Task<MsgResult> showNotice(CheckNotice notice) override;
    Task<void> showDeletion(int number, QString ruleWord) override;
    Task<bool> putTrustQuestion(TrustQuestion question) override;
    void tellUnjudged(const QList<UnjudgedMessage>& messages) override;

private:
    // Where a field is (ControlMap): the box that shows it, or the working state's member.
    QLineEdit* box(Field f) const;
    QString* kept(Field f) const;
    bool ending() const;
    Windows& windows() const { return m_main.windows(); }
    MainForm& m_main;
    MainForm::Working& m_working;
    // Questions of trust answered no in this run: an interval check does not put them again (a
    // check by hand does).
    QSet<QString> m_declined;
};

} // namespace brindle
