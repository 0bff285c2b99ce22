#pragma once

// Files compiled into the updater at build time: the dialog's GtkBuilder
// description and its icon. Immutable; safe from any thread.

#include <cstddef>

namespace tvl {

struct EmbeddedFile {
    const char* data;
    std::size_t size;
};

// The GtkBuilder description of the updater dialog (dialog 101).
EmbeddedFile UpdaterDialogDescription();
// The window icon (icon 111), an SVG image drawn on a 32 x 32 grid.
EmbeddedFile UpdaterDialogIcon();

}  // namespace tvl
