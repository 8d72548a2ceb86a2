// Message boxes as GTK dialogs: a box without an owner window, the caption as its title, the
// text and one OK button. GTK is used by one thread of a process only: the main thread of the
// program (which also owns the window), or a dialog helper process.
#include <gtk/gtk.h>

#include "platform/posix/dialogs.h"

namespace platform::dialogs {

namespace {

gboolean confirmOnDelete(GtkWidget*, GdkEvent*, gpointer confirmed) {
    // Closing a box that has only an OK button counts as OK.
    *static_cast<bool*>(confirmed) = true;
    return TRUE;
}

void confirmOnClick(GtkButton*, gpointer confirmed) { *static_cast<bool*>(confirmed) = true; }

// A box without an owner window: the caption as its title, the text, one OK button. The box
// sets *confirmed when OK is pressed.
GtkWidget* buildBox(const char* text, const char* caption, bool* confirmed) {
    GtkWidget* box = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(box), caption);
    gtk_window_set_type_hint(GTK_WINDOW(box), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
    gtk_window_set_resizable(GTK_WINDOW(box), FALSE);
    gtk_window_set_deletable(GTK_WINDOW(box), FALSE);
    g_signal_connect(box, "delete-event", G_CALLBACK(confirmOnDelete), confirmed);

    GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    gtk_container_set_border_width(GTK_CONTAINER(column), 12);
    GtkWidget* label = gtk_label_new(text);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 50);
    gtk_box_pack_start(GTK_BOX(column), label, TRUE, TRUE, 0);

    GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_CENTER);
    GtkWidget* ok = gtk_button_new_with_label("OK");
    gtk_widget_set_size_request(ok, 80, -1);
    g_signal_connect(ok, "clicked", G_CALLBACK(confirmOnClick), confirmed);
    gtk_container_add(GTK_CONTAINER(buttons), ok);
    gtk_box_pack_start(GTK_BOX(column), buttons, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(box), column);

    gtk_widget_set_can_default(ok, TRUE);
    gtk_window_set_default(GTK_WINDOW(box), ok);
    gtk_window_set_focus(GTK_WINDOW(box), ok);
    return box;
}

}  // namespace

bool available() { return true; }

bool displayOpen() { return gdk_display_get_default() != nullptr; }

void showBox(const char* text, const char* caption, const std::atomic<bool>& ending) {
    bool confirmed = false;
    GtkWidget* box = buildBox(text, caption, &confirmed);
    gtk_widget_show_all(box);
    while (!confirmed && !ending.load()) gtk_main_iteration();
    gtk_widget_destroy(box);
    gdk_display_flush(gdk_display_get_default());
}

// GLib's contexts may be woken from any thread.
void wakeBox() { g_main_context_wakeup(g_main_context_default()); }

int helperBox(const char* text, const char* caption, const std::atomic<bool>& ending) {
    gdk_set_allowed_backends("x11");
    if (!gtk_init_check(nullptr, nullptr)) return kHelperNoDisplay;
    showBox(text, caption, ending);
    return kHelperConfirmed;
}

}  // namespace platform::dialogs
