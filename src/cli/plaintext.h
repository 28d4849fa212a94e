#pragma once

#include <QString>

// The engine's log lines carry rich-text markup for the window (<b>, <br/>, links, entities).
// This is the line as a terminal shows it: line breaks for <br>, every other tag removed (a
// link keeps its text), then the entities decoded, so that an escaped "&lt;" stays a "<".
QString plainText(const QString &html);
