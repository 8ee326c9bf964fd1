#pragma once
#include <cstdint>
#include <QString>

namespace brindle {

// Section of every INI file of the program.
inline constexpr char16_t kIniSection[] = u"EXEINI";

// Paths (resolved under the application folder).
QString generalSettingsPath(); // "\\★MailData\\ini.ini"
QString accountSettingsPath(); // "\\★MailData\\iniIdPass.ini"
QString serverSettingsPath();  // "\\kestro.ini"

struct ServerSettings {
    QString pop3Server;
    QString smtpServer;
    QString mailAddress;
    std::int16_t useApop = 0;
};

// The values the windows keep for the program's run: the server, and the account confirmed in the
// account window (one instance per run, Windows::values() in ui/Form.h). A check reads them through
// its inputs (readCheckInputs).
struct ProgramValues {
    ServerSettings server;
    QString accountId;
    QString accountPassword;
    // True once the user confirmed the account window in this run; a check then uses accountId and
    // accountPassword instead of the stored account.
    bool accountConfirmed = false;
};

// The deletion rule as ini.ini stores it under NUMBER6: 1 keyword, 6 HTML, 4 size, 5 no hiragana;
// anything else (empty included) selects no rule.
enum class DeletionRule { None, Keyword, Html, Size, NoHiragana };
DeletionRule deletionRuleFromNumber6(int number6);
// The stored number of a rule; 0 for DeletionRule::None (which is stored as an empty value).
int number6FromDeletionRule(DeletionRule rule);
// The first-run texts of the mail program (NAME) and of the size limit (NAME2).
inline constexpr char16_t kNotSetText[] = u"未設定";
inline constexpr char16_t kSizeUnsetText[] = u"GetPPSErr";

// Characters of a server-file value a load gives back (characters 6 to 105 of the line).
inline constexpr qsizetype kServerValueChars = 100;

// ServerSettingsFile: reads into `into` (values not in the file keep their previous value).
// Returns false when the file does not exist.
bool loadServerSettings(ServerSettings& into, const QString& path = serverSettingsPath());
// Writes exactly four CR LF lines, atomically. False when the file could not be written, or when a
// value has a character code page 932 lacks (then nothing is written).
bool saveServerSettings(const ServerSettings& s, const QString& path = serverSettingsPath());

// GeneralSettingsFile and AccountFile: thin, named wrappers over the profile functions.
class GeneralSettingsFile {
public:
    explicit GeneralSettingsFile(QString path = generalSettingsPath());
    QString readText(const QString& key, const QString& defaultValue) const; // default when count is 0
    int readInt(const QString& key) const;                                   // default 0
    bool write(const QString& key, const QString& value) const;
    // The mail program (NAME); kNotSetText when none is set. Any path reads back as it was written,
    // also one code page 932 cannot hold (see the .cpp for how older versions see it).
    QString readMailerPath() const;
    bool writeMailerPath(const QString& path) const;
    const QString& path() const { return m_path; }

private:
    QString m_path;
};

// The background music switch, BGM in ini.ini: "0" is off; "1", and no key at all, on.
bool musicSwitchedOn(const GeneralSettingsFile& file = GeneralSettingsFile());
bool switchMusic(bool on, const GeneralSettingsFile& file = GeneralSettingsFile());

// The learned judgement's switch, LEARNING in ini.ini: "1" is on; "0", and no key at all, off.
inline constexpr char16_t kLearningKey[] = u"LEARNING";
bool learningSwitchedOn(const GeneralSettingsFile& file = GeneralSettingsFile());
bool switchLearning(bool on, const GeneralSettingsFile& file = GeneralSettingsFile());

struct StoredAccount {
    QString id;
    QString password;
};

class AccountFile {
public:
    explicit AccountFile(QString path = accountSettingsPath());
    StoredAccount read() const;
    // NAME, NAME2 and NAME3="1"; the file is readable by its owner only.
    bool saveAccount(const QString& id, const QString& password) const;
    // NAME3="0" only.
    bool markNotSaved() const;
    const QString& path() const { return m_path; }

private:
    QString m_path;
};

// Why a value typed for `field` cannot be stored so that it reads back the same: a message naming the
// field and the first character code page 932 lacks, or the length the file gives back; empty when it
// can. Values of the profile files (ini.ini, iniIdPass.ini) are limited in bytes, those of kestro.ini
// in characters.
QString profileValueRefusal(const QString& field, const QString& value);
QString serverValueRefusal(const QString& field, const QString& value);

} // namespace brindle
