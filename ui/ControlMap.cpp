#include "ui/ControlMap.h"

namespace brindle {

const FieldPlace* placeOf(CheckHost::Field field) {
    for (const FieldPlace& p : kFieldPlaces) {
        if (p.field == field)
            return &p;
    }
    return nullptr;
}

const RulePlace* placeOf(CheckHost::RuleSwitch rule) {
    for (const RulePlace& p : kRulePlaces) {
        if (p.rule == rule)
            return &p;
    }
    return nullptr;
}

const RulePlace* placeOf(DeletionRule rule) {
    for (const RulePlace& p : kRulePlaces) {
        if (p.deletionRule == rule)
            return &p;
    }
    return nullptr;
}

} // namespace brindle
