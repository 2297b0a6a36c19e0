#pragma once
// The few messages that helpers below the station show themselves (an INI
// write that failed) reach the operator through one replaceable sink.
#include <QString>
#include <functional>

enum class MsgIcon { None, Information, Exclamation, Critical, Question };

using MessageSink = std::function<void(const QString& text, const QString& title, MsgIcon icon)>;

// Empty sink: standard error. Returns the sink it replaces.
MessageSink SetMessageSink(MessageSink sink);
void ShowMessage(const QString& text, const QString& title, MsgIcon icon);
void Beep();

// The program's name, the title of boxes that have no title of their own.
inline QString AppTitle() { return QStringLiteral("Fenmo32"); }
