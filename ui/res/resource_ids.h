#pragma once
// Identifiers of the updater's own resources (shared by the .rc files and the code).
#define TALLYX_RES_GLYPH0 200  // glyphs 0-3: 200-203, PNG
#define TALLYX_RES_EMBLEM 210  // PNG, 256 x 256
