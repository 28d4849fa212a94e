#pragma once

#include <QString>

// The keys of everything the program keeps in its settings store, all at top level.
namespace SettingsKeys {

// Size of the main window (QSize).
constexpr QLatin1StringView WindowSize("window_size");
// Recently used image files, most recent first (QStringList).
constexpr QLatin1StringView RecentFiles("mrf");
// Named block range lists, most recent first: a list of BlockRangeList variants.
constexpr QLatin1StringView Blocks("blocks");
// Whether the window hides the buttons that write to the chip (bool).
constexpr QLatin1StringView ReadOnly("read_only");
// Whether closing the window asks for confirmation (bool).
constexpr QLatin1StringView AskOnExit("AskOnExit");
// Whether writes go on over chips whose ID says another geometry (bool).
constexpr QLatin1StringView ForceGeometry("force_geometry");
// The most bad blocks a chip may have to be written; -1 for its datasheet's limit (int).
constexpr QLatin1StringView BadBlockLimit("bad_block_limit");

} // namespace SettingsKeys
