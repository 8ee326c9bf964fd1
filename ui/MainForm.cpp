#include "ui/MainForm.h"

#include "ambience/MediaPlayerDevice.h"
#include "ambience/MusicMonitor.h"
#include "ambience/PictureBox.h"
#include "mailcheck/CheckInputs.h"
#include "mailcheck/MailCheckRun.h"
#include "platform/AppFolder.h"
#include "platform/Autostart.h"
#include "platform/NumberText.h"
#include "settings/SettingsStore.h"
#include "ui/ControlMap.h"
#include "ui/Dialogs.h"
#include "ui/GekitaiForm.h"
#include "ui/GuiCheckHost.h"
#include "ui/HelpForm.h"
#include "ui/Learning.h"
#include "ui/LearnQuarantineDialog.h"
#include "ui/MainFormGeometry.h"
#include "ui/MsgForm.h"
#include "ui/SetForm.h"
#include "ui/StartupTrace.h"
#include "ui/UiKit.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindow>

namespace brindle {

namespace {

const QString kTagline = QStringLiteral("迷惑メール撃退ツール");
// The program's own page, in the help folder: what it is, its version, its licence.
const QString kHomePage = QStringLiteral("home.htm");

const QColor kButtonColour(128, 128, 255);

// The picture the picture box has before the first slide, painted with the program at build time.
QPixmap builtInPicture() {
    return QPixmap(QStringLiteral(":/art/builtin.png"));
}

QPixmap builtInIndicator() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(160, 160, 160));
    p.setPen(QColor(60, 60, 60));
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    return pm;
}

// The program's icon in every size it was painted in, for the window and the tray.
QIcon windowIconPicture() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/art/icons/hicolor/%1x%1/apps/brindle.png").arg(size),
                     QSize(size, size));
    return icon;
}

} // namespace

MainForm::MainForm(MailLibrary& library, const UiServices& services, MediaControl* music)
    : m_library(library), m_windows(*this, services) {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(windowTitleText());
    setWindowIcon(windowIconPicture());
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    buildControls();
    buildMenus();
    m_host = std::make_unique<GuiCheckHost>(*this, m_working);

    Timer3 = new QTimer(this);
    Timer3->setObjectName(QStringLiteral("Timer3"));
    Timer3->setInterval(1000);
    Timer4 = new QTimer(this);
    Timer4->setObjectName(QStringLiteral("Timer4"));
    Timer4->setInterval(20);
    Timer5 = new QTimer(this);
    Timer5->setObjectName(QStringLiteral("Timer5"));
    Timer5->setInterval(1000);
    m_music = new MusicMonitor(
        music ? *music : m_noMusic, [this] { return Check1->isChecked(); }, this);
    Timer1 = m_music->timer();
    Timer1->start();
    Timer6 = new QTimer(this);
    Timer6->setObjectName(QStringLiteral("Timer6"));
    Timer6->setInterval(100);
    Timer7 = new QTimer(this);
    Timer7->setObjectName(QStringLiteral("Timer7"));
    connect(Timer3, &QTimer::timeout, this, &MainForm::tick);
    connect(Timer4, &QTimer::timeout, this, &MainForm::trigger);
    connect(Timer5, &QTimer::timeout, this, &MainForm::refreshIndicator);
    connect(Timer6, &QTimer::timeout, this, &MainForm::clockTick);
    connect(Timer7, &QTimer::timeout, this, &MainForm::slideTick);
    clockTick();
    Timer6->start();
}

MainForm::~MainForm() {
    delete m_music; // before m_noMusic, which it may be playing through
}

QString MainForm::windowTitleText() {
    return kTagline + QChar(0x3000) + QStringLiteral("Ver 1.0");
}

QString MainForm::generalDateText(const QDateTime& when) {
    const QString date = when.toString(QStringLiteral("yyyy/MM/dd"));
    if (when.time() == QTime(0, 0))
        return date;
    return date + QLatin1Char(' ') + when.toString(QStringLiteral("H:mm:ss"));
}

QString MainForm::fileTitle(const QString& path) {
    const qsizetype cut = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return path.mid(cut + 1);
}

void MainForm::buildControls() {
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setAutoFillBackground(true);
    QPalette pal = client->palette();
    pal.setColor(QPalette::Window, QColor(128, 128, 128));
    client->setPalette(pal);
    client->installEventFilter(this);
    setCentralWidget(client);

    Command6 = makeButton(client, "Command6", QStringLiteral("メールチェック"), mainFormPlace(u"Command6"),
                          kButtonColour);
    Command13 = makeButton(client, "Command13", QStringLiteral("小画面"), mainFormPlace(u"Command13"),
                           QColor(192, 192, 255));
    Command2 =
        makeButton(client, "Command2", QStringLiteral("中画面"), mainFormPlace(u"Command2"), kButtonColour);
    Command9 =
        makeButton(client, "Command9", QStringLiteral("設定"), mainFormPlace(u"Command9"), kButtonColour);
    Command4 = makeButton(client, "Command4", QStringLiteral("タスクトレイ常駐"), mainFormPlace(u"Command4"),
                          kButtonColour);
    picMain = new PictureBox(client);
    picMain->setObjectName(QStringLiteral("picMain"));
    picMain->setGeometry(mainFormPlace(u"picMain"));
    picMain->setPicture(builtInPicture());
    Command8 = makeButton(client, "Command8", QStringLiteral("キーワード登録"), mainFormPlace(u"Command8"),
                          kButtonColour);
    Command7 = makeButton(client, "Command7", QStringLiteral("メーラー設定"), mainFormPlace(u"Command7"),
                          kButtonColour);
    Command3 = makeButton(client, "Command3", QStringLiteral("メーラー専門店"), mainFormPlace(u"Command3"),
                          kButtonColour);
    Command10 = makeButton(client, "Command10", QStringLiteral("常に前面表示"), mainFormPlace(u"Command10"),
                           kButtonColour);
    Command11 =
        makeButton(client, "Command11", QStringLiteral("HELP"), mainFormPlace(u"Command11"), kButtonColour);

    const QString frameStyle = QStringLiteral(
        "QGroupBox{background:transparent;color:rgb(0,255,255);border:1px solid rgb(192,192,192);"
        "margin-top:7px;}QGroupBox::title{subcontrol-origin:margin;left:6px;padding:0px 2px;}");
    const QString whiteText = QStringLiteral("color:white;");

    Frame3 = makeFrame(client, "Frame3", QStringLiteral("Time"), mainFormPlace(u"Frame3"));
    Frame3->setStyleSheet(frameStyle);
    Image1 = new QLabel(Frame3);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(mainFormPlace(u"Image1"));
    Image1->setPixmap(builtInIndicator());
    Check1 = new WrapCheckBox(QStringLiteral("インターバルメールチェック"), Frame3);
    Check1->setObjectName(QStringLiteral("Check1"));
    Check1->setGeometry(mainFormPlace(u"Check1"));
    Check1->setStyleSheet(whiteText);
    QFont smaller = Check1->font();
    smaller.setPixelSize(11); // the caption with " OFF" must stay clear of Text7
    Check1->setFont(smaller);
    // The interval is set in the settings window; these two only mirror it.
    Check1->setAttribute(Qt::WA_TransparentForMouseEvents);
    Check1->setFocusPolicy(Qt::NoFocus);
    Text7 = makeLineEdit(Frame3, "Text7", mainFormPlace(u"Text7"));
    Text7->setReadOnly(true);
    auto* label1 = makeLabel(Frame3, "Label1", QStringLiteral("分"), mainFormPlace(u"Label1"));
    label1->setStyleSheet(whiteText);
    Text15 = makeLineEdit(Frame3, "Text15", mainFormPlace(u"Text15"));
    auto* label13 =
        makeLabel(Frame3, "Label13", QStringLiteral("画像の切替時間（秒）"), mainFormPlace(u"Label13"));
    label13->setStyleSheet(whiteText);
    Command12 = makeButton(Frame3, "Command12", QStringLiteral("更新"), mainFormPlace(u"Command12"),
                           QColor(0, 192, 0));
    Command12->hide();

    Frame1 = makeFrame(client, "Frame1", QStringLiteral("撃退方法"), mainFormPlace(u"Frame1"));
    Frame1->setStyleSheet(frameStyle);
    Option1 =
        new WrapRadioButton(QStringLiteral("件名、メールアドレス、本文から検索して削除（登録要）"), Frame1);
    Option1->setObjectName(QStringLiteral("Option1"));
    Option1->setGeometry(mainFormPlace(u"Option1"));
    Option6 = new WrapRadioButton(QStringLiteral("HTML形式なら削除"), Frame1);
    Option6->setObjectName(QStringLiteral("Option6"));
    Option6->setGeometry(mainFormPlace(u"Option6"));
    Option4 = new WrapRadioButton(QStringLiteral("ファイルサイズで削除"), Frame1);
    Option4->setObjectName(QStringLiteral("Option4"));
    Option4->setGeometry(mainFormPlace(u"Option4"));
    Option5 = new WrapRadioButton(
        QStringLiteral("本文にひらがなが一字も含まれていなければ削除（漢文、英文対応）"), Frame1);
    Option5->setObjectName(QStringLiteral("Option5"));
    Option5->setGeometry(mainFormPlace(u"Option5"));
    for (QRadioButton* o : {Option1, Option6, Option4, Option5})
        o->setStyleSheet(
            QStringLiteral("QRadioButton{color:white;}QRadioButton:disabled{color:rgb(176,176,176);}"));
    QFont optionFont = Option1->font();
    optionFont.setPixelSize(11); // two lines, clear of Option6 below
    Option1->setFont(optionFont);
    Text10 = makeLineEdit(Frame1, "Text10", mainFormPlace(u"Text10"));
    auto* label3 = makeLabel(Frame1, "Label3", QStringLiteral("バイト以上で削除"), mainFormPlace(u"Label3"));
    label3->setStyleSheet(QStringLiteral("color:rgb(128,0,0);"));
    label3->setWordWrap(false);
    fitLabel(label3);
    Frame2 = makeFrame(Frame1, "Frame2", QStringLiteral("設定されたメーラー名"), mainFormPlace(u"Frame2"));
    Frame2->setStyleSheet(frameStyle);
    Text11 = makeLineEdit(Frame2, "Text11", mainFormPlace(u"Text11"));

    connect(Command6, &QPushButton::clicked, this, &MainForm::runCheck);
    m_smallToggle = {Command13, WindowSize::Small, Command13->text()};
    m_mediumToggle = {Command2, WindowSize::Medium, Command2->text()};
    connect(Command13, &QPushButton::clicked, this, [this] { toggleSize(m_smallToggle); });
    connect(Command2, &QPushButton::clicked, this, [this] { toggleSize(m_mediumToggle); });
    connect(Command9, &QPushButton::clicked, this, [this] {
        SetForm* f = m_windows.setForm();
        f->show();
        f->raise();
        f->activateWindow();
    });
    connect(Command4, &QPushButton::clicked, this, &MainForm::goToTray);
    connect(Command8, &QPushButton::clicked, this, [this] {
        GekitaiForm* f = m_windows.gekitaiForm();
        f->show();
        f->raise();
        f->activateWindow();
    });
    connect(Command7, &QPushButton::clicked, this, &MainForm::chooseMailer);
    connect(Command3, &QPushButton::clicked, this, [this] { openHelpPageInBrowser(kHomePage, m_windows); });
    connect(Command10, &QPushButton::clicked, this, &MainForm::toggleTopmost);
    connect(Command11, &QPushButton::clicked, this, [this] {
        HelpForm* f = m_windows.helpForm();
        f->show();
        f->raise();
    });
    connect(Command12, &QPushButton::clicked, this, [this] {
        applySlidePeriod();
        Command12->hide();
    });
    connect(Text15, &QLineEdit::textChanged, Command12, &QWidget::show);
    connect(Option4, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Text10->setEnabled(true);
    });
    for (QWidget* w :
         std::initializer_list<QWidget*>{Option1, Option6, Option4, Option5, Text10, Command7, Command8})
        m_windows.registerCheckInput(w);
}

void MainForm::buildMenus() {
    mfile = menuBar()->addMenu(QStringLiteral("ファイル(&F)"));
    mfile->setObjectName(QStringLiteral("mfile"));
    auto add = [this](const char* name, const QString& caption) {
        QAction* a = mfile->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    mcheck = add("mcheck", QStringLiteral("メールチェック"));
    mtrial = add("mtrial", QStringLiteral("試しにチェック（削除しない）"));
    mfile->addSeparator()->setObjectName(QStringLiteral("mline2"));
    mpreview = add("mpreview", QStringLiteral("受信箱を見る"));
    mdeleted = add("mdeleted", QStringLiteral("削除したメール"));
    mallow = add("mallow", QStringLiteral("許可リスト"));
    mlearn = add("mlearn", QStringLiteral("学習した判定でも削除"));
    mlearn->setCheckable(true);
    // The menu shows what was learned as the entry's tip, counted afresh each time it opens.
    mfile->setToolTipsVisible(true);
    connect(mfile, &QMenu::aboutToShow, this, [this] {
        const QString counts = learnedCountsText();
        mlearn->setStatusTip(counts);
        mlearn->setToolTip(counts);
    });
    mspam = add("mspam", QStringLiteral("Spam/迷惑メール設定"));
    mset = add("mset", QStringLiteral("設定"));
    mtask = add("mtask", QStringLiteral("タスクトレイに常駐"));
    mlogin = add("mlogin", QStringLiteral("ログイン時に起動"));
    mlogin->setCheckable(true);
    mlogin->setChecked(autostartEnabled());
    mbgm = add("mbgm", QStringLiteral("BGM"));
    mbgm->setCheckable(true);
    mbgm->setChecked(true);
    mfile->addSeparator()->setObjectName(QStringLiteral("mline3"));
    mzenmen = add("mzenmen", QStringLiteral("常に前面表示"));
    mkaijyo = add("mkaijyo", QStringLiteral("前面表示解除"));
    mfile->addSeparator()->setObjectName(QStringLiteral("mline"));
    mend = add("mend", QStringLiteral("終了"));

    connect(mcheck, &QAction::triggered, Command6, &QPushButton::click);
    connect(mtrial, &QAction::triggered, this, &MainForm::runTrialCheck);
    connect(mpreview, &QAction::triggered, this, &MainForm::openPreview);
    connect(mdeleted, &QAction::triggered, this, [this] { m_windows.openDeletedLog(); });
    connect(mallow, &QAction::triggered, this, [this] { m_windows.openAllowList(); });
    connect(mspam, &QAction::triggered, Command8, &QPushButton::click);
    connect(mset, &QAction::triggered, Command9, &QPushButton::click);
    connect(mtask, &QAction::triggered, this, &MainForm::goToTray);
    connect(mlogin, &QAction::toggled, this, [this](bool on) {
        if (setAutostart(on, QCoreApplication::applicationFilePath()))
            return;
        m_windows.boxes().show(QStringLiteral("ログイン時の起動を%1できませんでした。\n%2")
                                   .arg(on ? QStringLiteral(u"設定") : QStringLiteral(u"解除"),
                                        QDir::toNativeSeparators(autostartEntryPath())),
                               MsgButtons::Ok, MsgIcon::Exclamation, QString());
        const QSignalBlocker quiet(mlogin);
        mlogin->setChecked(autostartEnabled());
    });
    connect(mbgm, &QAction::toggled, this, [this](bool on) {
        switchMusic(on);
        if (on)
            startMusic();
        else
            m_music->stop();
    });
    connect(mlearn, &QAction::toggled, this, [this](bool on) {
        if (!switchLearning(on)) {
            m_windows.boxes().show(QStringLiteral("設定を保存できませんでした。\n%1")
                                       .arg(QDir::toNativeSeparators(generalSettingsPath())),
                                   MsgButtons::Ok, MsgIcon::Exclamation, QString());
            const QSignalBlocker quiet(mlearn);
            mlearn->setChecked(learningSwitchedOn());
            return;
        }
        // Each switch-on offers once what the quarantine could teach it.
        if (on)
            LearnQuarantineDialog::offer(m_windows, this);
    });
    for (QAction* a : {mspam, mallow, mlearn, mpreview})
        m_windows.registerCheckInput(a);
    connect(mzenmen, &QAction::triggered, this, [this] { setZOrder(true); });
    connect(mkaijyo, &QAction::triggered, this, [this] { setZOrder(false); });
    // Ending from the menu saves like every other way out.
    connect(mend, &QAction::triggered, this, &MainForm::requestExit);

    mnuPopup = new QMenu(QStringLiteral("popup"), this);
    mnuPopup->setObjectName(QStringLiteral("mnuPopup"));
    mnuPopup0 = mnuPopup->addAction(QStringLiteral("メイン画面を表示"));
    mnuPopup0->setObjectName(QStringLiteral("mnu_Popup0"));
    mnuPopup->addAction(mbgm);
    mnuPopup->addSeparator()->setObjectName(QStringLiteral("mnu_Popup1"));
    mnuPopup2 = mnuPopup->addAction(QStringLiteral("終了"));
    mnuPopup2->setObjectName(QStringLiteral("mnu_Popup2"));
    connect(mnuPopup0, &QAction::triggered, this, [this] { popupCommand(0); });
    connect(mnuPopup2, &QAction::triggered, this, [this] { popupCommand(2); });
}

void MainForm::load() {
    const GeneralSettingsFile general;
    // 1-2: the mail program and its name.
    m_working.mailerCommand = general.readMailerPath();
    Text11->setText(fileTitle(m_working.mailerCommand));
    // 3: server settings (a missing file leaves them empty).
    loadServerSettings(m_windows.values().server);
    // 4: the mail library.
    m_library.NMailInitializeWinSock();
    m_library.NMailSetOption(1, 8192);
    // 5: without a server the user needs the settings window first.
    if (m_windows.values().server.pop3Server.isEmpty()) {
        SetForm* f = m_windows.setForm();
        f->show();
    }
    // 6: the hang-up choice; touching SetForm loads it, and its load arms the interval.
    const int hangUp = general.readInt(QStringLiteral("NUMBER"));
    SetForm* set = m_windows.setForm();
    if (hangUp == 1 || hangUp == 0)
        set->Check1->setChecked(hangUp == 1);
    // 7: the deletion rule.
    if (QRadioButton* rule = ruleButton(deletionRuleFromNumber6(general.readInt(QStringLiteral("NUMBER6")))))
        rule->setChecked(true);
    // 8: the slideshow period.
    Text15->setText(QString::number(general.readInt(QStringLiteral("NUMBER7"))));
    applySlidePeriod();
    Command12->hide();
    // 9-10: size limit and the interval shown here.
    Text10->setText(general.readText(QStringLiteral("NAME2"), QString::fromUtf16(kSizeUnsetText)));
    Text7->setText(set->Text2->text());
    // 11: the window's size.
    setNormalSize();
    // 12: the background music, unless the user switched it off.
    {
        const QSignalBlocker quiet(mbgm);
        mbgm->setChecked(musicSwitchedOn(general));
    }
    if (mbgm->isChecked())
        startMusic();
    // 13: the learned judgement.
    {
        const QSignalBlocker quiet(mlearn);
        mlearn->setChecked(learningSwitchedOn(general));
    }

    Timer4->start();
    Timer5->start();
}

void MainForm::intervalOn(const QString& text) {
    Check1->setChecked(true);
    Text7->setText(text);
    Timer3->setInterval(1000);
    if (!Timer3->isActive())
        Timer3->start();
}

void MainForm::intervalOff(const QString& text) {
    Check1->setChecked(false);
    Text7->setText(text);
    Timer3->stop();
}

void MainForm::tick() {
    if (m_working.seconds >= 60) {
        m_working.seconds = 0;
        ++m_working.minutes;
    } else {
        ++m_working.seconds;
    }
}

void MainForm::trigger() {
    if (m_exitRequested)
        return;
    const double interval = leadingNumber(m_windows.setForm()->Text2->text());
    if (interval <= 0)
        return;
    // A check already under way (started by hand, or this one letting events run) is not doubled;
    // the counter stays and the check starts once the running one has ended. Counting past the
    // interval (the interval lowered below the minutes already counted) also starts a check.
    if (m_checking || m_host->runningCheck())
        return;
    if (m_working.minutes >= interval) {
        startCheck(false);
        m_working.minutes = 0;
    }
}

void MainForm::refreshIndicator() {
    const int state = Check1->isChecked() ? 1 : 0;
    Check1->setText(state ? QStringLiteral("インターバルメールチェック ON")
                          : QStringLiteral("インターバルメールチェック OFF"));
    if (state == m_indicatorState)
        return;
    const QPixmap pm(dataFilePath(state ? QStringLiteral("\\画像データ\\Red.gif")
                                        : QStringLiteral("\\画像データ\\Green.gif")));
    if (!pm.isNull()) {
        Image1->setPixmap(pm);
        m_indicatorState = state;
    }
}

void MainForm::startMusic() {
    // The user's own piece in the music folder, or the one that comes with the program; without
    // either, or with a file that cannot be played, the program is silent.
    const QString piece = musicIn(applicationFolder(), installedDataFolder());
    if (!piece.isEmpty())
        m_music->play(piece);
}

void MainForm::applySlidePeriod() {
    const int ms = Slideshow::intervalMs(Text15->text());
    if (ms == 0)
        Timer7->stop();
    else
        Timer7->start(ms);
}

void MainForm::slideTick() {
    const QPixmap pm(Slideshow::picturePath(m_slideshow.advance()));
    // A missing or unreadable picture leaves the one shown.
    if (!pm.isNull())
        picMain->setPicture(pm);
}

void MainForm::clockTick() {
    const QTime now = QTime::currentTime();
    picMain->setHands(clockHands(now.hour(), now.minute(), now.second()));
}

void MainForm::runCheck() {
    startCheck(true);
}

void MainForm::runTrialCheck() {
    startCheck(true, true);
}

void MainForm::startCheck(bool byHand, bool dryRun) {
    if (m_exitRequested || m_checking)
        return;
    m_checking = true;
    // What the check reads stays as it was at its start: the controls that change it wait.
    m_windows.lockCheckInputs(true);
    CheckInputs inputs = readCheckInputs(m_windows.values());
    inputs.learning = learningInputs();
    m_run = std::make_unique<MailCheckRun>(*m_host, m_library, std::move(inputs));
    m_run->setStartKind(byHand ? MailCheckRun::StartKind::ByHand : MailCheckRun::StartKind::Interval);
    m_run->setDryRun(dryRun);
    // The check goes on from the event loop; the window carries on when it has ended.
    m_run->start([this, dryRun](const CheckOutcome& outcome) { checkEnded(outcome, dryRun); });
}

void MainForm::checkEnded(const CheckOutcome& outcome, bool dryRun) {
    const std::unique_ptr<MailCheckRun> ended = std::move(m_run);
    keepOutcome(outcome);
    m_checking = false;
    m_windows.lockCheckInputs(false);
    if (m_exitRequested) {
        finishExit();
        return;
    }
    tellLearningProblem(outcome, m_windows.boxes());
    // Every message was judged (a connection lost at the end loses no judgement): list them.
    if (dryRun && (outcome.status == CheckOutcome::Status::Done ||
                   outcome.status == CheckOutcome::Status::DeletionsLost))
        m_windows.openTrialResult(outcome.caught);
}

void MainForm::openPreview() {
    m_windows.openPreview([this](CheckInputs inputs, std::function<void(const CheckOutcome&)> done) {
        runForPreview(std::move(inputs), std::move(done));
    });
}

void MainForm::runForPreview(CheckInputs inputs, std::function<void(const CheckOutcome&)> done) {
    // One pass at a time: a check under way refuses it, and it holds off the checks meanwhile.
    if (m_exitRequested || m_checking) {
        done(CheckOutcome{});
        return;
    }
    m_checking = true;
    m_windows.lockCheckInputs(true);
    // A preview deletes nothing, whatever else it is given.
    const bool preview = inputs.previewLines >= 0;
    m_run = std::make_unique<MailCheckRun>(*m_host, m_library, std::move(inputs));
    m_run->setDryRun(preview);
    m_run->start([this, done = std::move(done)](const CheckOutcome& outcome) {
        const std::unique_ptr<MailCheckRun> ended = std::move(m_run);
        keepOutcome(outcome);
        m_checking = false;
        m_windows.lockCheckInputs(false);
        if (m_exitRequested)
            finishExit();
        done(outcome);
    });
}

void MainForm::keepOutcome(const CheckOutcome& outcome) {
    ProgramValues& values = m_windows.values();
    rememberOutcome(values, outcome);
    // The account a check logged in with stays this run's account, shown in the account window,
    // until the user confirms one there.
    if (outcome.account && !values.accountConfirmed) {
        values.accountId = outcome.account->id;
        values.accountPassword = outcome.account->password;
    }
}

bool MainForm::saveSettings() {
    const GeneralSettingsFile general;
    bool ok = general.writeMailerPath(m_working.mailerCommand);
    // No rule selected stores an empty value.
    const DeletionRule rule = selectedRule();
    ok = general.write(QStringLiteral("NUMBER6"), rule == DeletionRule::None
                                                      ? QString()
                                                      : QString::number(number6FromDeletionRule(rule))) &&
         ok;
    ok = general.write(QStringLiteral("NAME2"), Text10->text()) && ok;
    ok = general.write(QStringLiteral("NUMBER7"), Text15->text()) && ok;
    // The settings window's choices are saved too, so that ending the program never loses them.
    if (m_windows.isSetFormLoaded())
        ok = m_windows.setForm()->saveSettings() && ok;
    return ok;
}

void MainForm::requestExit() {
    if (m_exitRequested)
        return;
    m_exitRequested = true;
    Timer1->stop();
    Timer3->stop();
    Timer4->stop();
    Timer5->stop();
    Timer6->stop();
    Timer7->stop();
    if (!saveSettings()) {
        m_windows.boxes().show(QStringLiteral("設定を保存できませんでした。\n%1")
                                   .arg(QDir::toNativeSeparators(generalSettingsPath())),
                               MsgButtons::Ok, MsgIcon::Exclamation, QString());
    }
    hide();
    if (m_tray)
        m_tray->hide();
    m_windows.discardAll();
    if (m_checking) {
        // The check ends by itself: no further message is fetched or deleted, and the connection is
        // closed so that the deletions already announced take effect. The run then ends.
        if (MailCheckRun* run = m_host->runningCheck())
            run->requestStop();
        m_windows.boxes().dismissAll();
        return;
    }
    m_windows.boxes().dismissAll();
    finishExit();
}

void MainForm::finishExit() {
    if (m_ended)
        return;
    m_ended = true;
    m_library.NMailEndWinSock();
    services().endRun();
}

void MainForm::closeEvent(QCloseEvent* e) {
    if (m_ended) {
        e->accept();
        return;
    }
    e->ignore();
    requestExit();
}

bool MainForm::eventFilter(QObject* watched, QEvent* event) {
    if (!m_firstPaintSeen && event->type() == QEvent::Paint && watched == centralWidget()) {
        m_firstPaintSeen = true;
        reportFirstPaint();
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainForm::goToTray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // Without a notification area, hiding would leave no way back to the window.
        showMinimized();
        return;
    }
    if (!m_tray) {
        m_tray = new QSystemTrayIcon(this);
        m_tray->setContextMenu(mnuPopup);
        connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
            if (r == QSystemTrayIcon::Trigger)
                trayEvent(1);
            else if (r == QSystemTrayIcon::MiddleClick)
                trayEvent(0); // not the double click: its first click already opened the menu
        });
    }
    m_tray->setIcon(windowIcon());
    m_tray->setToolTip(generalDateText(QDateTime::currentDateTime()));
    m_tray->show();
    // Placed where it is now, the window comes back from the tray there; a window never placed by
    // the program would be placed anew by the window manager.
    if (isVisible() && windowHandle())
        windowHandle()->setPosition(windowHandle()->position());
    hide();
}

void MainForm::trayEvent(int value) {
    if (value == 1)
        mnuPopup->popup(QCursor::pos());
    else if (value == 0)
        m_windows.boxes().show(QStringLiteral("Clicked!"), MsgButtons::Ok, MsgIcon::Exclamation, QString());
}

void MainForm::popupCommand(int index) {
    if (index == 0) {
        // Also out of the minimized state that stands in for the tray where there is none.
        setWindowState(windowState() & ~Qt::WindowMinimized);
        showNormal();
        raise();
        activateWindow();
    } else if (index == 2) {
        close();
    }
}

void MainForm::chooseMailer() {
    const QString previousPath = m_working.mailerCommand;
    const QString previousTitle = Text11->text();
    const QString chosen =
        services().chooseFile(this, previousPath == QStringView(kNotSetText) ? QString() : previousPath);
    // A cancelled dialog keeps the mail program chosen before.
    if (chosen.isEmpty())
        return;
    m_working.mailerCommand = QDir::toNativeSeparators(chosen);
    Text11->setText(fileTitle(m_working.mailerCommand));
    const MsgResult answer = m_windows.boxes().show(
        QStringLiteral("『 %1』 が起動するメーラーとして設定されました。これで良いですか？")
            .arg(Text11->text()),
        MsgButtons::YesNo, MsgIcon::Question, QStringLiteral("確認"));
    if (answer == MsgResult::No) {
        m_working.mailerCommand = previousPath;
        Text11->setText(previousTitle);
    }
}

bool MainForm::event(QEvent* e) {
    const bool result = QMainWindow::event(e);
    // The window system tells its frame only once the window is shown: the outer size is fitted to
    // the real frame as soon as it is known, and again should it change.
    if ((e->type() == QEvent::Move || e->type() == QEvent::Show || e->type() == QEvent::Resize) &&
        isVisible() && !isMinimized()) {
        const QSize frame = frameGeometry().size() - geometry().size();
        if ((frame.width() > 0 || frame.height() > 0) && frame != m_frameUsed) {
            m_frameUsed = frame;
            if (m_smallToggle.clicks % 2 == 1)
                setFixedSize(mainFormClientSize(WindowSize::Small, windowFrameSize(this)));
            else if (m_mediumToggle.clicks % 2 == 1)
                setFixedSize(mainFormClientSize(WindowSize::Medium, windowFrameSize(this)));
            else {
                m_normalSize = QSize();
                setNormalSize();
            }
        }
    }
    return result;
}

void MainForm::setNormalSize() {
    // The way back from the small and medium sizes returns to exactly the size of the start.
    if (m_normalSize.isValid()) {
        setFixedSize(m_normalSize);
        return;
    }
    const QSize normal = mainFormOuterSize(WindowSize::Normal);
    setOuterSize(this, normal.width(), normal.height());
    // Where the window system's frame is taller than usual, the normal size still shows every
    // visible control.
    const QSize need(Frame1->geometry().right() + 4,
                     menuBar()->sizeHint().height() + Frame1->geometry().bottom() + 4);
    if (width() < need.width() || height() < need.height())
        setFixedSize(qMax(width(), need.width()), qMax(height(), need.height()));
    m_normalSize = size();
}

void MainForm::setZOrder(bool topmost) {
    setTopmost(this, topmost);
}

void MainForm::toggleTopmost() {
    if (m_topmostClicks % 2 == 0) {
        Command10->setText(QStringLiteral("前面表示解除"));
        setZOrder(true);
    } else {
        Command10->setText(QStringLiteral("常に前面表示"));
        setZOrder(false);
    }
    m_topmostClicks = (m_topmostClicks + 1) % 2; // only the parity decides
}

void MainForm::toggleSize(SizeToggle& toggle) {
    if (toggle.clicks % 2 == 0) {
        setFixedSize(mainFormClientSize(toggle.size, windowFrameSize(this)));
        toggle.button->setText(QStringLiteral("サイズ復帰"));
        setZOrder(true);
    } else {
        setNormalSize();
        toggle.button->setText(toggle.caption);
        setZOrder(false);
    }
    toggle.clicks = std::int16_t((toggle.clicks + 1) % 2); // only the parity decides
}

QRadioButton* MainForm::ruleButton(DeletionRule rule) const {
    const RulePlace* p = placeOf(rule);
    return p ? findChild<QRadioButton*>(QLatin1String(p->option)) : nullptr;
}

DeletionRule MainForm::selectedRule() const {
    for (const RulePlace& p : kRulePlaces) {
        if (ruleButton(p.deletionRule)->isChecked())
            return p.deletionRule;
    }
    return DeletionRule::None;
}

} // namespace brindle
