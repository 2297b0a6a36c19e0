#pragma once
// The log's newest lines for the web page. A local user's command line
// there names no folder: the page is open to the shop's network, and a
// path can tell another user's home and files.
#include <QJsonArray>
#include <QString>

// The last lines (at most lines), newest first.
QJsonArray LogTail(int lines);
// A log line as the page shows it: a command line's absolute paths cut to their last name.
QString WithoutFolders(const QString& line);
