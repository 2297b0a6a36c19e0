#pragma once
#include <QString>

// The text of a machine's error status from "errors.ini" (section Errors,
// key "e" + code); "\n" pairs become line breaks; "Okänt fel." when missing.
QString Code2Error(const QString& code);
