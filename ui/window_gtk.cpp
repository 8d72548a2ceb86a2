// The program's window on GTK 3 (X11), and the start without a display.
//
// The main thread creates the window at start-up and runs GTK's loop only until the window has
// been painted; it never runs an event loop otherwise. The window's events (painting, the menu
// commands) are handled later only while the main thread shows a message box of its own: the
// box's loop serves this window too (platform/posix/messages_posix.cpp). So the File menu's
// Start, Follow, STOP and Exit reach the menu mode only then.
//
// A second start finds the first instance's window on the display by its class "WENDLOCK" and
// title, brings it to the front and ends with exit code 0. Without a display (no DISPLAY, or
// HALVORAN_HEADLESS=1) there is no window and a lock file in the runtime directory plays that
// part.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "menu/menu_mode.h"
#include "resources/resources.h"
#include "ui/about_dialog.h"
#include "ui/instance_lock.h"
#include "ui/instance_x11.h"
#include "ui/window.h"

namespace {

using namespace resources;

// The handheld's screen: the window fills it.
constexpr int kDefaultWidth = 240;
constexpr int kDefaultHeight = 320;
// Start-up waits at most this long for the window's first painting.
constexpr gint64 kFirstPaintUs = 5 * G_USEC_PER_SEC;

struct MainWindow {
    GtkWidget* window = nullptr;
    GtkWidget* menuBar = nullptr;
    GtkWidget* canvas = nullptr;
    bool painted = false;
};
MainWindow mainWindow;

bool headlessRequested() {
    const char* forced = std::getenv("HALVORAN_HEADLESS");
    if (forced != nullptr && std::strcmp(forced, "1") == 0) return true;
    const char* display = std::getenv("DISPLAY");
    return display == nullptr || display[0] == '\0';
}

// Without a window, the lock file stands for it: the second instance ends at once.
bool initHeadless() { return takeInstanceLock(instanceLockPath()) != InstanceLock::HeldByAnother; }

GdkPixbuf* iconImage(const IconResource& icon, const IconImage& image) {
    std::vector<uint8_t> pixels(static_cast<size_t>(image.size) * image.size * 4);
    iconPixels(icon, image, pixels.data());
    GBytes* bytes = g_bytes_new(pixels.data(), pixels.size());
    GdkPixbuf* pixbuf =
        gdk_pixbuf_new_from_bytes(bytes, GDK_COLORSPACE_RGB, TRUE, 8, image.size, image.size, image.size * 4);
    g_bytes_unref(bytes);
    return pixbuf;
}

// The window class: its name becomes the class of WM_CLASS, and icon 101 the windows' icon.
void registerWindowClass(const char* className) {
    gdk_set_program_class(className);
    const IconResource* icon = findIcon(IDI_PROGRAM);
    if (icon == nullptr) return;
    GList* images = nullptr;
    for (int i = 0; i < icon->count; ++i) images = g_list_append(images, iconImage(*icon, icon->images[i]));
    gtk_window_set_default_icon_list(images);
    g_list_free_full(images, g_object_unref);
}

// Dialog units of the dialog's font in pixels: a quarter of the average character width, an
// eighth of the character height.
void dialogUnits(GtkWidget* widget, const DialogResource& dialog, double& x, double& y) {
    PangoContext* context = gtk_widget_get_pango_context(widget);
    PangoFontDescription* font = pango_font_description_new();
    pango_font_description_set_family(font, "Sans");
    pango_font_description_set_size(font, dialog.fontPoints * PANGO_SCALE);
    PangoFontMetrics* metrics = pango_context_get_metrics(context, font, nullptr);
    x = pango_font_metrics_get_approximate_char_width(metrics) / double(PANGO_SCALE) / 4.0;
    y = (pango_font_metrics_get_ascent(metrics) + pango_font_metrics_get_descent(metrics)) / double(PANGO_SCALE) / 8.0;
    pango_font_metrics_unref(metrics);
    pango_font_description_free(font);
}

// Dialog 103 (About), modal for the window; returns the dialog's result.
int showAboutDialog() {
    const DialogResource* resource = findDialog(IDD_ABOUTBOX);
    if (resource == nullptr || mainWindow.window == nullptr) return 0;
    GtkWidget* dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), resource->caption);
    gtk_window_set_transient_for(GTK_WINDOW(dialog), GTK_WINDOW(mainWindow.window));
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_deletable(GTK_WINDOW(dialog), FALSE);

    AboutDialogState state;
    aboutDialogProc(state, DialogMessage::InitDialog, 0);
    double unitX = 1.5, unitY = 1.5;
    dialogUnits(dialog, *resource, unitX, unitY);
    if (state.fullScreen) {
        // The window fills the handheld's screen, and the dialog covers it.
        int width = 0, height = 0, left = 0, top = 0;
        gtk_window_get_size(GTK_WINDOW(mainWindow.window), &width, &height);
        gtk_window_get_position(GTK_WINDOW(mainWindow.window), &left, &top);
        gtk_window_set_default_size(GTK_WINDOW(dialog), width, height);
        gtk_window_move(GTK_WINDOW(dialog), left, top);
    } else {
        gtk_window_set_default_size(GTK_WINDOW(dialog), int(resource->width * unitX), int(resource->height * unitY));
    }
    if (state.doneButton) {
        gtk_dialog_add_button(GTK_DIALOG(dialog), "Done", IDOK);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), IDOK);
    }

    GtkWidget* layout = gtk_fixed_new();
    const IconResource* icon = findIcon(IDI_PROGRAM);
    for (int i = 0; i < resource->count; ++i) {
        const DialogControl& control = resource->controls[i];
        GtkWidget* widget = nullptr;
        if (control.kind == DialogControl::Icon && icon != nullptr) {
            GdkPixbuf* image = iconImage(*icon, icon->images[0]);
            widget = gtk_image_new_from_pixbuf(image);
            g_object_unref(image);
        } else if (control.kind == DialogControl::Text) {
            widget = gtk_label_new(control.text);
            gtk_label_set_xalign(GTK_LABEL(widget), 0.0f);
        }
        if (widget == nullptr) continue;
        gtk_widget_set_size_request(widget, int(control.width * unitX), int(control.height * unitY));
        gtk_fixed_put(GTK_FIXED(layout), widget, int(control.x * unitX), int(control.y * unitY));
    }
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), layout, TRUE, TRUE, 0);
    gtk_widget_show_all(dialog);

    // The dialog stays until its procedure ends it (Done); it is gone when the program ends.
    while (!state.ended) {
        int response = gtk_dialog_run(GTK_DIALOG(dialog));
        if (response == GTK_RESPONSE_NONE) break;  // destroyed under the dialog
        aboutDialogProc(state, DialogMessage::Command, response);
    }
    if (state.ended) gtk_widget_destroy(dialog);
    return state.result;
}

// The window's commands: the menu items, and the OK command (the window's close button).
void mainWindowProc(int command) {
    switch (command) {
        case IDOK:
            if (mainWindow.window != nullptr) gtk_widget_destroy(mainWindow.window);
            break;
        case IDM_HELP_ABOUT: showAboutDialog(); break;
        case IDM_FILE_EXIT:
            stopMenuMode();
            if (mainWindow.window != nullptr) gtk_widget_destroy(mainWindow.window);
            break;
        case IDM_FILE_START: startMenuMode(); break;
        case IDM_FILE_FOLLOW: startFollowLine(); break;
        case IDM_FILE_STOP: stopFollowLine(); break;
        default: break;
    }
}

void onMenuItem(GtkMenuItem*, gpointer command) { mainWindowProc(GPOINTER_TO_INT(command)); }

gboolean onClose(GtkWidget*, GdkEvent*, gpointer) {
    mainWindowProc(IDOK);
    return TRUE;
}

void onDestroy(GtkWidget*, gpointer) {
    // The menu bar goes with the window; nobody retrieves a quit message, so the program runs on.
    mainWindow.window = nullptr;
    mainWindow.menuBar = nullptr;
    mainWindow.canvas = nullptr;
}

// The text of string 2, centred on one line over the whole client area, on white.
gboolean onPaint(GtkWidget* widget, cairo_t* cr, gpointer) {
    int width = gtk_widget_get_allocated_width(widget);
    int height = gtk_widget_get_allocated_height(widget);
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    char text[STRING_BUFFER];
    loadString(IDS_HELLO, text, sizeof text);
    PangoLayout* layout = gtk_widget_create_pango_layout(widget, text);
    pango_layout_set_single_paragraph_mode(layout, TRUE);
    int textWidth = 0, textHeight = 0;
    pango_layout_get_pixel_size(layout, &textWidth, &textHeight);
    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
    cairo_move_to(cr, (width - textWidth) / 2, (height - textHeight) / 2);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
    mainWindow.painted = true;
    return TRUE;
}

// Menu 102 as described by menu bar 102: one drop-down button per pop-up, each item sending its
// command to the window.
GtkWidget* createMenuBar(GtkWidget*) {
    const MenuBarResource* bar = findMenuBar(IDM_MENU);
    const MenuResource* menu = findMenu(IDM_MENU);
    if (bar == nullptr || menu == nullptr) return nullptr;
    GtkWidget* menuBar = gtk_menu_bar_new();
    for (int b = 0; b < bar->count; ++b) {
        const MenuBarButton& button = bar->buttons[b];
        if (button.subMenu < 0 || button.subMenu >= menu->count) continue;
        char label[STRING_BUFFER];
        loadString(button.stringId, label, sizeof label);
        GtkWidget* top = gtk_menu_item_new_with_label(label);
        GtkWidget* popup = gtk_menu_new();
        const MenuPopup& items = menu->popups[button.subMenu];
        for (int i = 0; i < items.count; ++i) {
            GtkWidget* item = gtk_menu_item_new_with_label(items.items[i].label);
            g_signal_connect(item, "activate", G_CALLBACK(onMenuItem), GINT_TO_POINTER(items.items[i].command));
            gtk_menu_shell_append(GTK_MENU_SHELL(popup), item);
        }
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(top), popup);
        gtk_menu_shell_append(GTK_MENU_SHELL(menuBar), top);
    }
    return menuBar;
}

gboolean wakeUp(gpointer) { return G_SOURCE_CONTINUE; }

// Runs GTK's loop until the window has been painted and the painting has reached the display
// (what UpdateWindow does at once on the handheld), at most kFirstPaintUs.
void paintNow() {
    guint tick = g_timeout_add(20, wakeUp, nullptr);
    gint64 deadline = g_get_monotonic_time() + kFirstPaintUs;
    while (!mainWindow.painted && g_get_monotonic_time() < deadline) g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    gdk_display_sync(gdk_display_get_default());
}

}  // namespace

bool initInstance(int showCommand) {
    if (headlessRequested()) return initHeadless();

    char className[STRING_BUFFER];
    char title[STRING_BUFFER];
    loadString(IDS_CLASS, className, sizeof className);
    loadString(IDS_APP_TITLE, title, sizeof title);

    gdk_set_allowed_backends("x11");
    if (!gtk_init_check(nullptr, nullptr)) {
        // DISPLAY names a display that cannot be opened: the program runs as without one.
        std::fprintf(stderr, "Halvoran: cannot open the display \"%s\"; running without a window\n",
                     std::getenv("DISPLAY"));
        return initHeadless();
    }
    GdkDisplay* display = gdk_display_get_default();
    Display* x = GDK_DISPLAY_XDISPLAY(display);
    Window other = findInstanceWindow(x, className, title);
    if (other != None) {
        activateInstanceWindow(x, other);
        return false;
    }

    registerWindowClass(className);

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    if (window == nullptr) return false;
    mainWindow.window = window;
    gtk_window_set_title(GTK_WINDOW(window), title);
    gtk_window_set_default_size(GTK_WINDOW(window), kDefaultWidth, kDefaultHeight);
    g_signal_connect(window, "delete-event", G_CALLBACK(onClose), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(onDestroy), nullptr);

    GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    mainWindow.menuBar = createMenuBar(window);
    if (mainWindow.menuBar != nullptr) gtk_box_pack_start(GTK_BOX(column), mainWindow.menuBar, FALSE, FALSE, 0);
    mainWindow.canvas = gtk_drawing_area_new();
    g_signal_connect(mainWindow.canvas, "draw", G_CALLBACK(onPaint), nullptr);
    gtk_box_pack_start(GTK_BOX(column), mainWindow.canvas, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(window), column);

    // The show command 0 leaves the window hidden; any other shows it.
    gtk_widget_show_all(column);
    if (showCommand != 0) {
        gtk_widget_show(window);
        paintNow();
    } else {
        gtk_widget_realize(window);
    }
    return true;
}
