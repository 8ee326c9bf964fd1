#pragma once
#include "ambience/MusicMonitor.h"
#include "ambience/Slideshow.h"
#include "mailcheck/DeletionRules.h"
#include "mailcheck/MailCheckRun.h"
#include "mailcheck/MailLibrary.h"
#include "settings/SettingsStore.h"
#include "ui/Form.h"
#include "ui/MainFormGeometry.h"

#include <memory>
#include <QDateTime>
#include <QMainWindow>
#include <QPointer>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QSystemTrayIcon;
class QTimer;

namespace brindle {

class GuiCheckHost;
class PictureBox;
struct UiServices;

// The main window: the commands, the deletion-rule panel, interval checking, the tray, the window
// modes and the picture area; its hidden working fields are the check's shared storage.
class MainForm : public QMainWindow {
    Q_OBJECT
public:
    // `services` must outlive the window and the windows it opens, which are handed them too.
    MainForm(MailLibrary& library, const UiServices& services, MediaControl* music = nullptr);
    ~MainForm() override;

    // The outside world this window and those it opens act on.
    const UiServices& services() const { return m_windows.services(); }
    // The windows of this run, the program values among what they share.
    Windows& windows() { return m_windows; }

    // Start-up: settings into the controls, the mail library, SetForm, the window's size.
    void load();

    // The window's title: the product tagline, a full-width space and the version.
    static QString windowTitleText();
    // The tray tip: the short date and the long time of the moment, or the date alone at midnight.
    static QString generalDateText(const QDateTime& when);
    // The file-title part of a path (its last component).
    static QString fileTitle(const QString& path);

    // Commands.
    void runCheck(); // Command6, mcheck
    // The same check judging only: nothing is deleted; what would be is listed afterwards.
    void runTrialCheck(); // mtrial
    // The period actions of the interval timers and the slideshow timer.
    void tick();
    void trigger();
    void refreshIndicator();
    void slideTick();
    void clockTick();
    void requestExit(); // the close box, the tray menu's and the File menu's "終了"
    void goToTray();    // Command4, mtask
    void trayEvent(int value);
    void popupCommand(int index);
    void chooseMailer(); // Command7
    void applySlidePeriod();
    // Plays the music folder's piece from the start.
    void startMusic();

    // The interval-change action of SetForm reaches the main window through these.
    void intervalOn(const QString& text);
    void intervalOff(const QString& text);

    bool isCheckRunning() const { return m_checking; }
    bool exitRequested() const { return m_exitRequested; }
    bool hasEnded() const { return m_ended; }
    const Slideshow& slideshow() const { return m_slideshow; }

    MusicMonitor* music() const { return m_music; }

    // What the window keeps out of sight: the interval counter, and what the check shows of the
    // message it is judging. The window and its check host write it; others only read it.
    struct Working {
        QString mailerCommand; // the mail program's command line, as loaded or chosen
        QString keyword;       // the keyword being tried
        QString subject;       // the current message's subject, sender and body
        QString sender;
        QString body;
        TextHit hit;           // the text that decided the last catch, in one of the three
        QString sizeProbePath; // the size rule's work file and the size it measured
        QString measuredSize;
        QString deletionCount; // messages deleted so far in the check
        // The interval counter: whole minutes since the last interval check, and the seconds of
        // the minute under way.
        int minutes = 0;
        int seconds = 0;
    };
    const Working& working() const { return m_working; }

protected:
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* e) override;

private:
    void buildControls();
    void buildMenus();
    bool saveSettings();
    void finishExit();
    void startCheck(bool byHand, bool dryRun = false);
    void checkEnded(const CheckOutcome& outcome, bool dryRun);
    // "受信箱を見る", and the passes it runs: a preview, or the deletion of what it lists.
    void openPreview();
    void runForPreview(CheckInputs inputs, std::function<void(const CheckOutcome&)> done);
    // What a check learnt for the checks to come, and the account it used.
    void keepOutcome(const CheckOutcome& outcome);
    void setNormalSize();
    void toggleTopmost();
    // A window-mode button: its own click count decides between its size and the normal one.
    struct SizeToggle {
        QPushButton* button = nullptr;
        WindowSize size = WindowSize::Normal;
        QString caption; // the caption on the way back
        std::int16_t clicks = 0;
    };
    void toggleSize(SizeToggle& toggle);
    void setZOrder(bool topmost);
    // The option of the deletion-rule panel that selects `rule`; nullptr for no rule.
    QRadioButton* ruleButton(DeletionRule rule) const;
    DeletionRule selectedRule() const;

    // Visible controls, named as the window names them (the object names tests and the check host
    // find them by).
    QPushButton *Command6, *Command13, *Command2, *Command9, *Command4;
    QPushButton *Command8, *Command7, *Command3, *Command10, *Command11, *Command12;
    PictureBox* picMain;
    QGroupBox *Frame3, *Frame1, *Frame2;
    QLabel* Image1;
    QCheckBox* Check1;
    QLineEdit *Text7, *Text15, *Text10, *Text11;
    QRadioButton *Option1, *Option6, *Option4, *Option5;
    // Menus.
    QMenu* mfile;
    QAction *mcheck, *mspam, *mset, *mtask, *mzenmen, *mkaijyo, *mend;
    QAction* mlogin; // "ログイン時に起動": the autostart entry with --tray
    QAction *mtrial, *mdeleted, *mallow;
    QAction* mpreview; // "受信箱を見る": the mailbox preview
    QAction* mbgm;     // "BGM": the background music on or off, also in the tray menu
    QAction* mlearn;   // "学習した判定でも削除": the learned judgement on or off (LEARNING)
    QMenu* mnuPopup;
    QAction *mnuPopup0, *mnuPopup2;
    // Timers.
    QTimer *Timer1, *Timer3, *Timer4, *Timer5, *Timer6, *Timer7;

    MailLibrary& m_library;
    Windows m_windows; // outlives the check and its host, which reach the windows through it
    Working m_working;
    std::unique_ptr<GuiCheckHost> m_host;
    std::unique_ptr<MailCheckRun> m_run; // the check under way (it holds m_host: destroyed first)
    QPointer<QSystemTrayIcon> m_tray;
    NoMediaDevice m_noMusic; // the music device when none is handed in
    MusicMonitor* m_music = nullptr;
    bool m_checking = false;
    bool m_exitRequested = false;
    bool m_ended = false;
    bool m_firstPaintSeen = false;
    int m_topmostClicks = 0;
    SizeToggle m_smallToggle;
    SizeToggle m_mediumToggle;
    Slideshow m_slideshow;
    QSize m_normalSize;
    QSize m_frameUsed;         // the window system's frame the sizes were last fitted to; empty: assumed
    int m_indicatorState = -1; // picture shown: -1 the built-in one, 0 green, 1 red
};

} // namespace brindle
