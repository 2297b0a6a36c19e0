#pragma once
// The program's version, as the splash, the caption and the about box show it.
#include <QString>

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 2;
constexpr int kVersionRevision = 2;
// The version's comment text; empty in this release.
inline QString VersionComments() { return QString(); }

// "1.2.2"
inline QString VersionNumber() {
    return QString::number(kVersionMajor) + QLatin1Char('.') + QString::number(kVersionMinor) + QLatin1Char('.') +
           QString::number(kVersionRevision);
}
// The splash's label: "1.2.2-" and the comment text.
inline QString SplashVersionText() { return VersionNumber() + QLatin1Char('-') + VersionComments(); }
// "Fenmo32 - v1.2.2"
inline QString MainCaption() { return QStringLiteral("Fenmo32 - v") + VersionNumber(); }
