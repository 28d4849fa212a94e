#pragma once

#include <QString>

class QTranslator;

// Sets the organization and application names (and the organization's domain) under which the
// settings are stored and the window is titled.
void setApplicationIdentity();

// Loads the program's translation for `localeName` ("de_DE"): from the working directory when it
// is there, otherwise from `applicationDir`, otherwise from the installed data folder
// `applicationDir`/../share/npx4-prog/translations. Each place is searched with the toolkit's usual
// fallbacks (npx4-prog_de_DE, then npx4-prog_de, then npx4-prog). Returns whether a file was
// found.
bool loadProgramTranslation(QTranslator &translator, const QString &localeName,
                            const QString &applicationDir);
