#pragma once
// How the terminal updater writes an update: a live line (or a tray's block of rows) redrawn in place on a
// terminal, plain lines elsewhere, one JSON object per event, or quietly: only the errors and the result.

enum class OutputStyle { LiveLine, PlainLines, Json, Quiet };
