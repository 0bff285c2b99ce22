#pragma once

// Chooses how the updater dialog is shown: a GTK window when a display can be
// opened, the terminal otherwise. Main thread only, once per process (GTK is
// initialized here).

#include <memory>

#include "app/DialogView.h"

namespace tvl {

std::unique_ptr<DialogView> OpenDialogView();

}  // namespace tvl
