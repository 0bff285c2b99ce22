#include "app/OpenDialogView.h"

#include <gtk/gtk.h>

#include "app/ConsoleDialogView.h"
#include "app/GtkDialogView.h"

namespace tvl {

std::unique_ptr<DialogView> OpenDialogView() {
    if (gtk_init_check(nullptr, nullptr)) {
        return std::make_unique<GtkDialogView>();
    }
    return ConsoleDialogView::ForStandardStreams();
}

}  // namespace tvl
