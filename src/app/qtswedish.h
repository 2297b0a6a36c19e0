#pragma once
// Qt's own texts (standard buttons, context menus, file and print dialogs)
// in Swedish, like everything else the operator sees.
class QCoreApplication;

// Installs Qt's Swedish catalogue from the system (qt6-translations-l10n)
// and, over it, the texts that catalogue lacks for Qt 6: it predates the
// contexts Qt 6 takes its standard buttons and text menus from. Returns
// false when the system catalogue could not be loaded (the buttons are
// Swedish all the same).
bool InstallQtSwedish(QCoreApplication& app);
