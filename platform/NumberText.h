#pragma once
#include <cstdint>
#include <QString>

namespace brindle {

// The leading-number reading of text boxes: blanks (space, tab, CR, LF) are ignored wherever they
// stand, then the longest prefix that forms a number (sign, digits, decimal point, digits, exponent)
// is taken; 0 when there is none.
double leadingNumber(QStringView text);

// A number as its shortest decimal text: 3, not 3.0; 1.5; -2.
QString shortestDecimal(double value);

// Rounds to the nearest whole number, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
double roundHalfEven(double value);

} // namespace brindle
