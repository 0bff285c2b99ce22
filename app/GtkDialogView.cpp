#include "app/GtkDialogView.h"

#include <gtk/gtk.h>

#include <condition_variable>
#include <exception>
#include <functional>
#include <iostream>
#include <mutex>
#include <thread>
#include <utility>

#include "resources/EmbeddedFile.h"

namespace tvl {

struct GtkDialogView::State {
    std::thread::id mainThread = std::this_thread::get_id();
    DialogViewEvents* events = nullptr;
    GMainLoop* loop = nullptr;
    GtkWindow* window = nullptr;
    GtkWidget* languagePrompt = nullptr;
    GtkWidget* languageCombo = nullptr;
    GtkWidget* okButton = nullptr;
    GtkWidget* progressBar = nullptr;
    GtkWidget* activityBar = nullptr;
    GtkWidget* statusText = nullptr;
    guint pulseSource = 0;

    // Guards the flags and the error requests; waiting error boxes watch them.
    std::mutex mutex;
    std::condition_variable changed;
    bool endRequested = false;
    // Set once the view is destroyed: no main thread serves boxes any more.
    bool gone = false;
};

namespace {

using State = GtkDialogView::State;

struct ErrorRequest {
    std::string caption;
    std::string text;
    bool done = false;
    bool abandoned = false;
};

gboolean RunTask(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

void DeleteTask(gpointer data) {
    delete static_cast<std::function<void()>*>(data);
}

// Runs the task on the main thread: at once when called there, else from the
// main loop.
void OnMainThread(const std::shared_ptr<State>& state, std::function<void()> task) {
    if (std::this_thread::get_id() == state->mainThread) {
        task();
        return;
    }
    g_idle_add_full(G_PRIORITY_DEFAULT, RunTask, new std::function<void()>(std::move(task)), DeleteTask);
}

void SetShown(GtkWidget* widget, bool shown) {
    if (widget != nullptr) {
        gtk_widget_set_visible(widget, shown);
        gtk_widget_set_sensitive(widget, shown);
    }
}

void RunMessageBox(GtkWindow* owner, const std::string& caption, const std::string& text) {
    GtkWidget* box = gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s",
                                            text.c_str());
    gtk_window_set_title(GTK_WINDOW(box), caption.c_str());
    if (owner == nullptr) {
        gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
    }
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

gboolean Pulse(gpointer data) {
    auto* state = static_cast<State*>(data);
    if (state->activityBar != nullptr) {
        gtk_progress_bar_pulse(GTK_PROGRESS_BAR(state->activityBar));
    }
    return G_SOURCE_CONTINUE;
}

void QuitLoop(State& state) {
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.endRequested = true;
    }
    if (state.loop != nullptr) {
        g_main_loop_quit(state.loop);
    }
}

void OnOkClicked(GtkButton*, gpointer data) {
    auto* state = static_cast<State*>(data);
    if (state->events != nullptr && state->languageCombo != nullptr) {
        state->events->OnLanguageChosen(gtk_combo_box_get_active(GTK_COMBO_BOX(state->languageCombo)));
    }
}

gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer data) {
    QuitLoop(*static_cast<State*>(data));
    return TRUE;  // the window is destroyed when the modal loop has ended
}

gboolean OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer data) {
    if (event->keyval == GDK_KEY_Escape) {
        QuitLoop(*static_cast<State*>(data));
        return TRUE;
    }
    return FALSE;
}

GdkPixbuf* LoadIcon() {
    const EmbeddedFile icon = UpdaterDialogIcon();
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    gdk_pixbuf_loader_set_size(loader, 32, 32);
    GdkPixbuf* pixbuf = nullptr;
    const bool written = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(icon.data),
                                                 icon.size, nullptr) != FALSE;
    if (gdk_pixbuf_loader_close(loader, nullptr) && written) {
        pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pixbuf != nullptr) {
            g_object_ref(pixbuf);
        }
    }
    g_object_unref(loader);
    return pixbuf;
}

GtkWidget* Widget(GtkBuilder* builder, const char* id) {
    return GTK_WIDGET(gtk_builder_get_object(builder, id));
}

}  // namespace

GtkDialogView::GtkDialogView() : state_(std::make_shared<State>()) {}

GtkDialogView::~GtkDialogView() {
    // Work still queued for the window finds it gone and does nothing; error
    // boxes still queued are shown.
    if (std::this_thread::get_id() == state_->mainThread) {
        while (g_main_context_pending(nullptr)) {
            g_main_context_iteration(nullptr, FALSE);
        }
    }
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->gone = true;
    }
    state_->changed.notify_all();
}

void GtkDialogView::RunModal(DialogViewEvents& events) {
    State& state = *state_;
    const EmbeddedFile description = UpdaterDialogDescription();
    GtkBuilder* builder = gtk_builder_new();
    GError* error = nullptr;
    if (!gtk_builder_add_from_string(builder, description.data, description.size, &error)) {
        std::cerr << "talvane-updater: the dialog cannot be built: " << (error ? error->message : "?")
                  << "\n";
        g_clear_error(&error);
        g_object_unref(builder);
        return;
    }
    state.window = GTK_WINDOW(gtk_builder_get_object(builder, "dialog"));
    state.languagePrompt = Widget(builder, "language_prompt");
    state.languageCombo = Widget(builder, "language_combo");
    state.okButton = Widget(builder, "ok_button");
    state.progressBar = Widget(builder, "progress_bar");
    state.activityBar = Widget(builder, "activity_bar");
    state.statusText = Widget(builder, "status_text");
    // The builder's reference to the toplevel is dropped with the builder; the
    // window then lives until it is destroyed.
    g_object_ref(state.window);
    g_object_unref(builder);

    if (GdkPixbuf* icon = LoadIcon()) {
        gtk_window_set_icon(state.window, icon);
        g_object_unref(icon);
    }
    gtk_widget_grab_default(state.okButton);
    g_signal_connect(state.okButton, "clicked", G_CALLBACK(OnOkClicked), &state);
    g_signal_connect(state.window, "delete-event", G_CALLBACK(OnDeleteEvent), &state);
    g_signal_connect(state.window, "key-press-event", G_CALLBACK(OnKeyPress), &state);

    state.loop = g_main_loop_new(nullptr, FALSE);
    state.events = &events;
    events.OnViewCreated();

    bool ended;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        ended = state.endRequested;
    }
    // An end requested while the window was being set up (an error box during
    // OnViewCreated) would be lost on a loop that is not running yet, and the
    // window has nothing left to show.
    if (!ended) {
        gtk_window_set_position(state.window, GTK_WIN_POS_CENTER);
        gtk_widget_show(GTK_WIDGET(state.window));
        g_main_loop_run(state.loop);
    }

    state.events = nullptr;
    if (state.pulseSource != 0) {
        g_source_remove(state.pulseSource);
        state.pulseSource = 0;
    }
    GtkWindow* window = state.window;
    state.window = nullptr;
    state.languagePrompt = state.languageCombo = state.okButton = nullptr;
    state.progressBar = state.activityBar = state.statusText = nullptr;
    gtk_widget_destroy(GTK_WIDGET(window));
    g_object_unref(window);
    g_main_loop_unref(state.loop);
    state.loop = nullptr;
    while (g_main_context_pending(nullptr)) {
        g_main_context_iteration(nullptr, FALSE);
    }
}

void GtkDialogView::EndModal() {
    auto state = state_;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->endRequested = true;
    }
    OnMainThread(state, [state] {
        if (state->loop != nullptr) {
            g_main_loop_quit(state->loop);
        }
    });
}

void GtkDialogView::SetTitle(const std::string& title) {
    auto state = state_;
    OnMainThread(state, [state, title] {
        if (state->window != nullptr) {
            gtk_window_set_title(state->window, title.c_str());
        }
    });
}

void GtkDialogView::SetStatusText(const std::string& text) {
    auto state = state_;
    OnMainThread(state, [state, text] {
        if (state->statusText != nullptr) {
            gtk_label_set_text(GTK_LABEL(state->statusText), text.c_str());
        }
    });
}

void GtkDialogView::SetProgress(int percent) {
    auto state = state_;
    OnMainThread(state, [state, percent] {
        if (state->progressBar != nullptr) {
            const int clamped = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
            gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(state->progressBar), clamped / 100.0);
        }
    });
}

void GtkDialogView::ShowLanguageChoice(const std::vector<std::string>& names) {
    auto state = state_;
    OnMainThread(state, [state, names] {
        if (state->window == nullptr) {
            return;
        }
        GtkComboBoxText* combo = GTK_COMBO_BOX_TEXT(state->languageCombo);
        gtk_combo_box_text_remove_all(combo);
        for (const std::string& name : names) {
            gtk_combo_box_text_append_text(combo, name.c_str());
        }
        gtk_combo_box_set_active(GTK_COMBO_BOX(combo), names.empty() ? -1 : 0);
        gtk_widget_set_visible(gtk_widget_get_parent(state->languageCombo), TRUE);
        SetShown(state->languageCombo, true);
        SetShown(state->okButton, true);
        SetShown(state->languagePrompt, true);
        SetShown(state->progressBar, false);
        SetShown(state->statusText, false);
        gtk_widget_grab_focus(state->okButton);
    });
}

void GtkDialogView::ShowProgress() {
    auto state = state_;
    OnMainThread(state, [state] {
        if (state->window == nullptr) {
            return;
        }
        SetShown(state->progressBar, true);
        SetShown(state->statusText, true);
        SetShown(state->languageCombo, false);
        SetShown(state->okButton, false);
        SetShown(state->languagePrompt, false);
        // The language row keeps its height otherwise.
        gtk_widget_set_visible(gtk_widget_get_parent(state->languageCombo), FALSE);
    });
}

void GtkDialogView::ShowActivity() {
    auto state = state_;
    OnMainThread(state, [state] {
        if (state->window == nullptr) {
            return;
        }
        SetShown(state->progressBar, false);
        SetShown(state->activityBar, true);
        if (state->pulseSource == 0) {
            state->pulseSource = g_timeout_add(100, Pulse, state.get());
        }
    });
}

void GtkDialogView::ShowError(const std::string& caption, const std::string& text) {
    auto state = state_;
    if (std::this_thread::get_id() == state->mainThread) {
        RunMessageBox(state->window, caption, text);
        return;
    }
    auto request = std::make_shared<ErrorRequest>();
    request->caption = caption;
    request->text = text;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->gone) {
            std::cerr << caption << ": " << text << "\n";
            return;
        }
    }
    OnMainThread(state, [state, request] {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (request->abandoned) {
                return;
            }
        }
        // Over the window while it is open, on its own once it has gone.
        RunMessageBox(state->window, request->caption, request->text);
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            request->done = true;
        }
        state->changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(state->mutex);
    state->changed.wait(lock, [&] { return request->done || state->gone; });
    if (!request->done) {
        request->abandoned = true;
        std::cerr << caption << ": " << text << "\n";
    }
}

namespace {

gboolean QuitServeLoop(gpointer data) {
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_REMOVE;
}

void UnrefLoop(gpointer data) {
    g_main_loop_unref(static_cast<GMainLoop*>(data));
}

}  // namespace

void GtkDialogView::ServeWhile(const std::function<void()>& work) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    std::exception_ptr failure;
    std::thread worker([&work, &failure, loop] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        // Through the loop itself: a quit before the loop runs would be lost.
        g_idle_add_full(G_PRIORITY_DEFAULT, QuitServeLoop, g_main_loop_ref(loop), UnrefLoop);
    });
    g_main_loop_run(loop);
    worker.join();
    g_main_loop_unref(loop);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace tvl
