// The properties dialog's window in GTK 3, built as the plugin
// libsonvale_dialog.so (see properties_dialog_view.h): the controls, captions
// and choices of the dialog template of the UI language, laid out at the
// template's positions (one dialog unit is two pixels). What the controls
// show when the dialog opens and what OK stores is decided by the caller;
// this file only shows the request and reads the user's choices back.
//
// GTK is initialised on first use without touching the process's locale (we
// are a guest in someone else's process); without a display the dialog is
// simply not shown.
#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include <cmath>
#include <string>

#include "ui/properties_dialog_view.h"

namespace sonvale::ui {

namespace {

constexpr int kPixelsPerUnit = 2;  // dialog units to pixels, both ways

// Template size, in dialog units.
constexpr int kDialogWidth = 330;
constexpr int kDialogHeight = 163;

constexpr char kDialogName[] = "sonvale-properties";

int px(int dialogUnits) { return dialogUnits * kPixelsPerUnit; }

// Places `widget` at (x, y) dialog units; a size of 0 keeps the natural size.
GtkWidget* place(GtkWidget* fixed, GtkWidget* widget, int x, int y, int width = 0, int height = 0) {
  gtk_widget_set_size_request(widget, width > 0 ? px(width) : -1, height > 0 ? px(height) : -1);
  gtk_fixed_put(GTK_FIXED(fixed), widget, px(x), px(y));
  return widget;
}

GtkWidget* label(const char* text) {
  GtkWidget* widget = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(widget), 0.0f);
  return widget;
}

GtkWidget* choiceList(std::span<const char* const> choices, int selected) {
  GtkWidget* combo = gtk_combo_box_text_new();
  for (const char* choice : choices) gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), choice);
  gtk_combo_box_set_active(GTK_COMBO_BOX(combo), selected);
  return combo;
}

gboolean openLink(GtkWidget*, GdkEventButton* event, gpointer url) {
  if (event->type != GDK_BUTTON_PRESS || event->button != 1) return FALSE;
  gchar* argv[] = {const_cast<gchar*>("xdg-open"), static_cast<gchar*>(url), nullptr};
  // A missing xdg-open is not worth a message: the address is on screen.
  g_spawn_async(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, nullptr);
  return TRUE;
}

void showHandCursor(GtkWidget* widget, gpointer) {
  GdkWindow* window = gtk_widget_get_window(widget);
  if (window == nullptr) return;
  GdkCursor* hand = gdk_cursor_new_from_name(gtk_widget_get_display(widget), "pointer");
  gdk_window_set_cursor(window, hand);
  if (hand != nullptr) g_object_unref(hand);
}

// A centred blue label that opens `url` when clicked.
GtkWidget* linkLabel(const char* url) {
  GtkWidget* box = gtk_event_box_new();
  gtk_event_box_set_visible_window(GTK_EVENT_BOX(box), TRUE);
  GtkWidget* text = gtk_label_new(url);
  gtk_label_set_xalign(GTK_LABEL(text), 0.5f);
  gtk_widget_set_name(text, "link");
  gtk_container_add(GTK_CONTAINER(box), text);
  g_signal_connect(box, "button-press-event", G_CALLBACK(openLink), const_cast<char*>(url));
  g_signal_connect(box, "realize", G_CALLBACK(showHandCursor), nullptr);
  return box;
}

// The dialog's picture: a voice's waveform on a tile with the voice's name.
gboolean drawPicture(GtkWidget* widget, cairo_t* cr, gpointer) {
  const double width = gtk_widget_get_allocated_width(widget);
  const double height = gtk_widget_get_allocated_height(widget);
  const double radius = 12;
  cairo_new_sub_path(cr);
  cairo_arc(cr, width - radius, radius, radius, -M_PI / 2, 0);
  cairo_arc(cr, width - radius, height - radius, radius, 0, M_PI / 2);
  cairo_arc(cr, radius, height - radius, radius, M_PI / 2, M_PI);
  cairo_arc(cr, radius, radius, radius, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
  cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, 0, height);
  cairo_pattern_add_color_stop_rgb(gradient, 0, 0.12, 0.45, 0.55);
  cairo_pattern_add_color_stop_rgb(gradient, 1, 0.05, 0.22, 0.33);
  cairo_set_source(cr, gradient);
  cairo_fill(cr);
  cairo_pattern_destroy(gradient);

  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_set_line_width(cr, 3);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  const int bars = 13;
  for (int i = 0; i < bars; ++i) {
    const double x = width * (i + 1.5) / (bars + 2);
    const double envelope = std::sin(M_PI * (i + 0.5) / bars);
    const double half = height * 0.22 * envelope * (0.55 + 0.45 * std::fabs(std::sin(i * 1.7)));
    cairo_move_to(cr, x, height * 0.42 - half);
    cairo_line_to(cr, x, height * 0.42 + half);
  }
  cairo_stroke(cr);

  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, height * 0.12);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, "Sonvale", &extents);
  cairo_move_to(cr, (width - extents.width) / 2 - extents.x_bearing, height * 0.85);
  cairo_show_text(cr, "Sonvale");
  return FALSE;
}

struct Controls {
  GtkWidget* pauseShort;
  GtkWidget* pauseLong;
  GtkWidget* pitch;
  GtkWidget* readPunctuation;
  GtkWidget* digitRead;
  GtkWidget* numberRead;
  GtkWidget* fastSpeech;
  GtkWidget* smoothCuts;
};

ui::DialogControls readControls(const Controls& c) {
  ui::DialogControls state;
  state.pauseShortIndex = gtk_combo_box_get_active(GTK_COMBO_BOX(c.pauseShort));
  state.pauseLongIndex = gtk_combo_box_get_active(GTK_COMBO_BOX(c.pauseLong));
  state.pitchIndex = gtk_combo_box_get_active(GTK_COMBO_BOX(c.pitch));
  state.readPunctuation = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(c.readPunctuation)) != FALSE;
  state.digitRead = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(c.digitRead)) != FALSE;
  state.numberRead = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(c.numberRead)) != FALSE;
  state.fastSpeech = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(c.fastSpeech)) != FALSE;
  state.smoothCuts = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(c.smoothCuts)) != FALSE;
  return state;
}

std::string styleSheet(const char* font) {
  return std::string("#") + kDialogName + ", #" + kDialogName + " * { font-family: \"" + font +
         "\", sans-serif; font-size: 9pt; }\n"
         "#" +
         kDialogName +
         " #link { color: #0000ff; }\n"
         "#" +
         kDialogName +
         " combobox button { padding-top: 1px; padding-bottom: 1px; min-height: 0; }\n"
         "#" +
         kDialogName + " button { padding-top: 2px; padding-bottom: 2px; min-height: 0; }\n";
}

// The dialog's run: the nested main loop and the button that ended it.
struct Run {
  GMainLoop* loop = nullptr;
  bool ok = false;
};

void finish(Run* run, bool ok) {
  run->ok = ok;
  if (g_main_loop_is_running(run->loop)) g_main_loop_quit(run->loop);
}

void onOk(GtkWidget*, gpointer run) { finish(static_cast<Run*>(run), true); }
void onCancel(GtkWidget*, gpointer run) { finish(static_cast<Run*>(run), false); }

gboolean onClose(GtkWidget*, GdkEvent*, gpointer run) {
  finish(static_cast<Run*>(run), false);
  return TRUE;  // the window is destroyed after the loop
}

gboolean onKey(GtkWidget*, GdkEventKey* event, gpointer run) {
  if (event->keyval != GDK_KEY_Escape) return FALSE;
  finish(static_cast<Run*>(run), false);
  return TRUE;
}

void setOwner(GtkWidget* window, HWND parent) {
#ifdef GDK_WINDOWING_X11
  // On X11 an owner is an X window id.
  GdkDisplay* display = gtk_widget_get_display(window);
  if (parent == nullptr || !GDK_IS_X11_DISPLAY(display)) return;
  GdkWindow* owner = gdk_x11_window_foreign_new_for_display(display, reinterpret_cast<std::uintptr_t>(parent));
  if (owner == nullptr) return;
  gdk_window_set_transient_for(gtk_widget_get_window(window), owner);
  g_object_unref(owner);
#else
  (void)window;
  (void)parent;
#endif
}

int runDialog(DialogViewRequest& request) {
  if (request.texts == nullptr || request.start == nullptr) return kDialogViewNotShown;
  gtk_disable_setlocale();
  if (!gtk_init_check(nullptr, nullptr)) return kDialogViewNotShown;  // no display

  const UiLanguage language = request.language;
  const UiTexts& texts = *request.texts;
  const ui::DialogControls start = request.start();

  // A plain window rather than a GtkDialog: the template's layout covers the
  // whole client area, buttons included, at the template's positions.
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_widget_set_name(window, kDialogName);
  gtk_window_set_title(GTK_WINDOW(window), texts.dialogCaption);
  gtk_window_set_modal(GTK_WINDOW(window), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);

  GtkCssProvider* css = gtk_css_provider_new();
  const std::string sheet = styleSheet(texts.uiFont);
  gtk_css_provider_load_from_data(css, sheet.c_str(), -1, nullptr);
  GdkScreen* screen = gtk_widget_get_screen(window);
  gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(css), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);

  GtkWidget* fixed = gtk_fixed_new();
  gtk_widget_set_size_request(fixed, px(kDialogWidth), px(kDialogHeight));
  gtk_container_add(GTK_CONTAINER(window), fixed);

  const bool simplified = language == UiLanguage::SimplifiedChinese;
  const bool chinese = language != UiLanguage::English;

  GtkWidget* picture = gtk_drawing_area_new();
  g_signal_connect(picture, "draw", G_CALLBACK(drawPicture), nullptr);
  place(fixed, picture, simplified ? 17 : 15, simplified ? 3 : 9, 96, 112);

  // Group boxes first, so that the controls inside are drawn over them.
  place(fixed, gtk_frame_new(texts.punctuationGroup), 121, 5, 187, 31);
  place(fixed, gtk_frame_new(texts.pitchGroup), 121, 40, 187, 30);
  place(fixed, gtk_frame_new(texts.numberGroup), 121, 72, 187, 26);

  Controls controls{};
  place(fixed, label(texts.pausePunLabel), 125, 19);
  controls.pauseShort = place(fixed, choiceList(request.pauseShortChoices, start.pauseShortIndex), 163, 16, 50);
  place(fixed, label(texts.stopPuncLabel), 219, 19);
  controls.pauseLong = place(fixed, choiceList(request.pauseLongChoices, start.pauseLongIndex), 255, 16, 50);

  place(fixed, label(texts.pitchSelectLabel), 128, 52);
  const int pitchX = language == UiLanguage::SimplifiedChinese    ? 173
                     : language == UiLanguage::TraditionalChinese ? 167
                                                                  : 191;
  controls.pitch = place(fixed, choiceList(request.pitchChoices, start.pitchIndex), pitchX, 49, 71);

  // GTK always keeps one button of a radio group on; a third button, never
  // shown, holds the group when ReadNumber is neither 0 nor 1.
  GtkWidget* neither = gtk_radio_button_new(nullptr);
  g_object_ref_sink(neither);
  controls.digitRead = gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(neither), texts.digitRead);
  controls.numberRead = gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(neither), texts.numberRead);
  place(fixed, controls.digitRead, 123, 80, 48);
  place(fixed, controls.numberRead, 177, 80);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(start.digitRead    ? controls.digitRead
                                                 : start.numberRead ? controls.numberRead
                                                                    : neither),
                               TRUE);

  controls.readPunctuation = gtk_check_button_new_with_label(texts.readPunctuation);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(controls.readPunctuation), start.readPunctuation);
  place(fixed, controls.readPunctuation, chinese ? 240 : 245, 80, 72);

  place(fixed, label(texts.visitWebsite), 120, 101);
  if (request.homePageUrl != nullptr) place(fixed, linkLabel(request.homePageUrl), 200, 111, 103);
  if (request.issuesUrl != nullptr) place(fixed, linkLabel(request.issuesUrl), 200, 120, 99);
  place(fixed, gtk_separator_new(GTK_ORIENTATION_HORIZONTAL), 10, 133, 306, 1);

  controls.fastSpeech = gtk_check_button_new_with_label(texts.fastSpeech);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(controls.fastSpeech), start.fastSpeech);
  place(fixed, controls.fastSpeech, 15, 136, 160);
  // Check boxes 224 and 230, one above the other left of the buttons.
  controls.smoothCuts = gtk_check_button_new_with_label(texts.smoothCuts);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(controls.smoothCuts), start.smoothCuts);
  place(fixed, controls.smoothCuts, 15, 148, 160);

  Run run;
  run.loop = g_main_loop_new(nullptr, FALSE);
  GtkWidget* ok = place(fixed, gtk_button_new_with_label(texts.ok), 184, 140, 57, 16);
  GtkWidget* cancel = place(fixed, gtk_button_new_with_label(texts.cancel), 260, 140, 57, 16);
  g_signal_connect(ok, "clicked", G_CALLBACK(onOk), &run);
  g_signal_connect(cancel, "clicked", G_CALLBACK(onCancel), &run);
  g_signal_connect(window, "delete-event", G_CALLBACK(onClose), &run);
  g_signal_connect(window, "key-press-event", G_CALLBACK(onKey), &run);
  gtk_widget_set_can_default(ok, TRUE);
  gtk_window_set_default(GTK_WINDOW(window), ok);

  gtk_widget_show_all(window);
  setOwner(window, request.parent);
  g_main_loop_run(run.loop);

  if (run.ok) request.controls = readControls(controls);
  gtk_widget_destroy(window);
  g_object_unref(neither);
  g_main_loop_unref(run.loop);
  gtk_style_context_remove_provider_for_screen(screen, GTK_STYLE_PROVIDER(css));
  g_object_unref(css);
  while (gtk_events_pending()) gtk_main_iteration();
  return run.ok ? kDialogViewOk : kDialogViewCancelled;
}

}  // namespace

}  // namespace sonvale::ui

// The plugin's one exported function.
extern "C" __attribute__((visibility("default"))) int sonvale_run_dialog_view(sonvale::ui::DialogViewRequest* request) {
  if (request == nullptr) return sonvale::ui::kDialogViewNotShown;
  try {
    return sonvale::ui::runDialog(*request);
  } catch (...) {
    return sonvale::ui::kDialogViewNotShown;  // out of memory before the window was shown
  }
}
