#pragma once
// The central error report's dialog: title "Fel", critical icon, OK and
// Avbryt. OK lets the program go on; Avbryt ends it at once.
class QWidget;

void InstallErrorDialog(QWidget* parent = nullptr);
// Routes the helpers' own messages (a failed INI write) to message boxes.
void InstallMessageSink(QWidget* parent = nullptr);
