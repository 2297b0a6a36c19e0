#pragma once
// Text-to-value conversions with the rules of the original platform: blanks
// around the text are ignored, decimals and exponents are accepted and rounded
// half to even, "&H"/"&O" prefixes are hex/octal. Text that is not a number
// raises error 13, a number out of range error 6.
#include <QString>
#include <cstdint>

qint16 ToInt16(const QString& text);
quint8 ToByte(const QString& text);
qint32 ToInt32(const QString& text);
// "True"/"False" in any case, or any number (0 false, anything else true).
bool ToBool(const QString& text);
// True when text converts to a number by the rules above ("1e3", "&HFF").
bool IsNumeric(const QString& text);
// Booleans are written as words.
QString BoolText(bool value);

// Whole number nearest to value, ties to the even neighbour.
qint64 RoundHalfEven(double value);
