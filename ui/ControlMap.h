#pragma once
#include "mailcheck/CheckHost.h"
#include "settings/SettingsStore.h"
#include "ui/MainForm.h"

namespace brindle {

// The one place where the check's names for what it reads and writes meet the main window: each
// field is shown in a box, found by the object name the window gives it, or kept in the window's
// working state; each rule is one option of the frame "撃退方法".
struct FieldPlace {
    CheckHost::Field field;
    const char* box = nullptr;                    // the box's object name; nullptr: kept
    QString MainForm::Working::*member = nullptr; // where it is kept; nullptr: shown in the box
};
inline constexpr FieldPlace kFieldPlaces[] = {
    {CheckHost::Field::MailerCommand, nullptr, &MainForm::Working::mailerCommand},
    {CheckHost::Field::Keyword, nullptr, &MainForm::Working::keyword},
    {CheckHost::Field::Subject, nullptr, &MainForm::Working::subject},
    {CheckHost::Field::Sender, nullptr, &MainForm::Working::sender},
    {CheckHost::Field::Body, nullptr, &MainForm::Working::body},
    {CheckHost::Field::SizeLimit, "Text10", nullptr},
    {CheckHost::Field::SizeProbePath, nullptr, &MainForm::Working::sizeProbePath},
    {CheckHost::Field::MeasuredSize, nullptr, &MainForm::Working::measuredSize},
    {CheckHost::Field::DeletionCount, nullptr, &MainForm::Working::deletionCount},
};

struct RulePlace {
    CheckHost::RuleSwitch rule;
    DeletionRule deletionRule;
    const char* option; // the option's object name
};
// In the order a check tries them: the first one selected decides.
inline constexpr RulePlace kRulePlaces[] = {
    {CheckHost::RuleSwitch::Keyword, DeletionRule::Keyword, "Option1"},
    {CheckHost::RuleSwitch::Html, DeletionRule::Html, "Option6"},
    {CheckHost::RuleSwitch::Size, DeletionRule::Size, "Option4"},
    {CheckHost::RuleSwitch::NoHiragana, DeletionRule::NoHiragana, "Option5"},
};

// The entries of a field and of a rule; nullptr for a name the table lacks.
const FieldPlace* placeOf(CheckHost::Field field);
const RulePlace* placeOf(CheckHost::RuleSwitch rule);
const RulePlace* placeOf(DeletionRule rule);

} // namespace brindle
