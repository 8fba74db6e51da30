#include "platform/linux/gtk/GtkSkinWindow.h"

#include <gdk/gdkx.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <iostream>

#include "platform/linux/gtk/SkinFonts.h"
#include "platform/linux/gtk/SkinStyleSheet.h"
#include "platform/linux/gtk/SkinTheme.h"

namespace varo::platform {

struct GtkSkinWindow::TimerEntry {
  TimerEntry(GtkSkinWindow& owner, std::uint32_t id, std::uint32_t periodMs)
      : Owner(owner), Id(id), Source(g_timeout_source_new(periodMs)) {
    g_source_set_priority(Source, G_PRIORITY_DEFAULT);
    g_source_set_can_recurse(Source, TRUE);  // ticks go on inside an error box
    g_source_set_callback(Source, &GtkSkinWindow::OnTimer, this, nullptr);
    g_source_set_name(Source, "varo window timer");
    g_source_attach(Source, nullptr);
  }
  ~TimerEntry() {
    g_source_destroy(Source);
    g_source_unref(Source);
  }
  TimerEntry(const TimerEntry&) = delete;
  TimerEntry& operator=(const TimerEntry&) = delete;

  GtkSkinWindow& Owner;
  const std::uint32_t Id;
  GSource* const Source;
};

GtkSkinWindow::GtkSkinWindow()
    : Pump([this](const Message& message) {
        Deliver(message.Id, message.WParam, message.LParam);
      }) {}

GtkSkinWindow::~GtkSkinWindow() {
  StopTimers();
  if (Toplevel != nullptr) {
    Destroyed = true;
    GtkWidget* toplevel = Toplevel;
    Toplevel = nullptr;
    gtk_widget_destroy(toplevel);
  }
  Controls.clear();
  if (Css != nullptr) {
    gtk_style_context_remove_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(Css));
    g_object_unref(Css);
  }
}

bool GtkSkinWindow::Create(WindowHandler& handler, const std::string& title) {
  assert(Handler == nullptr && "one window per object");
  if (gdk_screen_get_default() == nullptr) {
    return false;  // no display
  }
  Toplevel = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_widget_set_name(Toplevel, WindowCssName().c_str());
  gtk_window_set_title(GTK_WINDOW(Toplevel), title.c_str());
  gtk_window_set_decorated(GTK_WINDOW(Toplevel), FALSE);
  gtk_window_set_resizable(GTK_WINDOW(Toplevel), FALSE);
  gtk_widget_add_events(Toplevel,
                        GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_BUTTON1_MOTION_MASK);
  Fixed = gtk_fixed_new();
  gtk_container_add(GTK_CONTAINER(Toplevel), Fixed);
  gtk_widget_show(Fixed);
  g_signal_connect(Toplevel, "button-press-event", G_CALLBACK(&GtkSkinWindow::OnButtonPress), this);
  g_signal_connect(Toplevel, "motion-notify-event", G_CALLBACK(&GtkSkinWindow::OnMotion), this);
  g_signal_connect(Toplevel, "button-release-event", G_CALLBACK(&GtkSkinWindow::OnButtonRelease),
                   this);
  g_signal_connect(Toplevel, "grab-broken-event", G_CALLBACK(&GtkSkinWindow::OnGrabBroken), this);
  g_signal_connect(Toplevel, "delete-event", G_CALLBACK(&GtkSkinWindow::OnDeleteEvent), this);
  g_signal_connect(Toplevel, "destroy", G_CALLBACK(&GtkSkinWindow::OnDestroy), this);

  Css = gtk_css_provider_new();
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(Css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  Handler = &handler;
  Deliver(WM_CREATE, 0, 0);
  return true;
}

bool GtkSkinWindow::LoadSkin(const std::filesystem::path& skinFile) {
  assert(Toplevel != nullptr && "LoadSkin needs a window");
  std::vector<std::string> problems;
  std::optional<Skin> skin = ReadSkinFile(skinFile, problems);
  for (const std::string& problem : problems) {
    std::cerr << "varo-update: skin " << problem << '\n';
  }
  BuiltIn = !skin.has_value();
  if (BuiltIn) {
    std::cerr << "varo-update: the skin cannot be used; the window takes its built-in layout\n";
    skin = BuiltInSkin();
  }
  Layout = std::move(*skin);
  SkinFolder = skinFile.parent_path();
  for (const std::filesystem::path& font : AddSkinFonts(SkinFolder)) {
    std::cerr << "varo-update: skin font " << font.string() << " cannot be used\n";
  }
  for (const std::string* image : {&Layout.Background, &Layout.Icon}) {
    if (!image->empty() && !std::filesystem::is_regular_file(SkinFolder / *image)) {
      std::cerr << "varo-update: skin image " << (SkinFolder / *image).string() << " is missing\n";
    }
  }
  BuildControls();
  Restyle();
  gtk_widget_set_size_request(Fixed, Layout.Width, Layout.Height);
  gtk_window_resize(GTK_WINDOW(Toplevel), Layout.Width, Layout.Height);
  // The window keeps the skin's size through equal least and greatest
  // sizes rather than by not being resizable: GTK lays a window that is not
  // resizable out anew after every change of a text, asking the X server
  // for its monitor and work area each time, six round trips a frame.
  gtk_window_set_resizable(GTK_WINDOW(Toplevel), TRUE);
  GdkGeometry size{};
  size.min_width = size.max_width = Layout.Width;
  size.min_height = size.max_height = Layout.Height;
  gtk_window_set_geometry_hints(GTK_WINDOW(Toplevel), nullptr, &size,
                                static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE));
  if (!Layout.Icon.empty()) {
    gtk_window_set_icon_from_file(GTK_WINDOW(Toplevel), (SkinFolder / Layout.Icon).c_str(),
                                  nullptr);
  }
  return true;
}

void GtkSkinWindow::BuildControls() {
  Controls.clear();
  GtkSkinControl::Events events;
  events.Clicked = [this](GtkSkinControl& control) {
    if (Handler != nullptr && !Destroyed) {
      Handler->Notify("click", control);
    }
  };
  events.ImageChanged = [this](GtkSkinControl&) { Restyle(); };
  for (std::size_t i = 0; i < Layout.Controls.size(); ++i) {
    Controls.push_back(
        std::make_unique<GtkSkinControl>(Layout.Controls[i], i, GTK_FIXED(Fixed), events));
  }
}

void GtkSkinWindow::Restyle() {
  Skin current = Layout;
  for (std::size_t i = 0; i < Controls.size(); ++i) {
    current.Controls[i] = Controls[i]->GetSpec();
  }
  std::string css = MakeSkinStyleSheet(current, SkinFolder);
  GError* error = nullptr;
  if (!gtk_css_provider_load_from_data(Css, css.c_str(), static_cast<gssize>(css.size()), &error)) {
    std::cerr << "varo-update: skin style: " << error->message << '\n';
    g_error_free(error);
  }
}

Control* GtkSkinWindow::FindControl(std::string_view name) {
  const auto it = std::find_if(Controls.begin(), Controls.end(),
                               [&](const auto& control) { return control->GetName() == name; });
  return it == Controls.end() ? nullptr : it->get();
}

Control* GtkSkinWindow::FindControlAt(Point client) {
  for (auto it = Controls.rbegin(); it != Controls.rend(); ++it) {
    if ((*it)->Contains(client)) {
      return it->get();
    }
  }
  return nullptr;
}

Rect GtkSkinWindow::GetCaptionInsets() {
  return Layout.Caption;
}

Rect GtkSkinWindow::GetClientRect() {
  return {0, 0, Layout.Width, Layout.Height};
}

Point GtkSkinWindow::ScreenToClient(Point screen) {
  int x = 0;
  int y = 0;
  if (Toplevel != nullptr) {
    if (GdkWindow* window = gtk_widget_get_window(Toplevel); window != nullptr) {
      gdk_window_get_origin(window, &x, &y);
    } else {
      gtk_window_get_position(GTK_WINDOW(Toplevel), &x, &y);
    }
  }
  return {screen.X - x, screen.Y - y};
}

void GtkSkinWindow::SetTimer(std::uint32_t id, std::uint32_t periodMs) {
  assert(periodMs > 0);
  Timers[id] = std::make_unique<TimerEntry>(*this, id, periodMs);
}

void GtkSkinWindow::StopTimers() {
  Timers.clear();
}

namespace {
// A diagnostic for the benchmarks: with VARO_TICK_LOG naming a file, every
// timer tick appends the monotonic time it began (microseconds, one line
// each), so that the pace of the ticks can be read from outside.
void LogTick() {
  static FILE* const log = [] {
    const char* name = g_getenv("VARO_TICK_LOG");
    return name != nullptr && *name != '\0' ? std::fopen(name, "ae") : nullptr;
  }();
  if (log != nullptr) {
    std::fprintf(log, "%lld\n", static_cast<long long>(g_get_monotonic_time()));
    std::fflush(log);
  }
}
}  // namespace

gboolean GtkSkinWindow::OnTimer(gpointer data) {
  auto* entry = static_cast<TimerEntry*>(data);
  LogTick();
  // The handler may stop this timer (closing the window); entry is not
  // touched after the call.
  entry->Owner.Deliver(WM_TIMER, entry->Id, 0);
  return G_SOURCE_CONTINUE;
}

void GtkSkinWindow::CenterWindow() {
  if (Toplevel == nullptr) {
    return;
  }
  GdkDisplay* display = gtk_widget_get_display(Toplevel);
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (monitor == nullptr) {
    monitor = gdk_display_get_monitor(display, 0);
  }
  if (monitor == nullptr) {
    gtk_window_set_position(GTK_WINDOW(Toplevel), GTK_WIN_POS_CENTER);
    return;
  }
  GdkRectangle area{};
  gdk_monitor_get_workarea(monitor, &area);
  gtk_window_move(GTK_WINDOW(Toplevel), area.x + (area.width - Layout.Width) / 2,
                  area.y + (area.height - Layout.Height) / 2);
}

void GtkSkinWindow::ShowWindow(bool show) {
  if (Toplevel == nullptr) {
    return;
  }
  if (show) {
    gtk_widget_show(Toplevel);
  } else {
    gtk_widget_hide(Toplevel);
  }
}

void GtkSkinWindow::ShowModal() {
  if (Destroyed || Toplevel == nullptr) {
    return;
  }
  ShowWindow(true);
  gtk_window_present(GTK_WINDOW(Toplevel));
  Loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(Loop);
  g_main_loop_unref(Loop);
  Loop = nullptr;
}

std::intptr_t GtkSkinWindow::DefaultHandle(std::uint32_t message, std::uintptr_t, std::intptr_t) {
  if (message == WM_NCHITTEST) {
    return HTCLIENT;
  }
  if (message == WM_CLOSE && !Destroyed && Toplevel != nullptr) {
    Deliver(WM_DESTROY, 0, 0);
    Destroyed = true;
    StopTimers();
    GtkWidget* toplevel = Toplevel;
    Toplevel = nullptr;
    gtk_widget_destroy(toplevel);
    if (Loop != nullptr) {
      g_main_loop_quit(Loop);
    }
  }
  return 0;
}

void GtkSkinWindow::ShowErrorBox(const std::string& text, const std::string& caption) {
  // The box is GTK's own dialog, drawn by the desktop's theme.
  UseDesktopTheme();
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                             GTK_BUTTONS_OK, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
  // Kept above the window, but in a window group of its own: the box has no
  // owner, so its modality does not lock the window (the close button still
  // works while it is open).
  if (Toplevel != nullptr && gtk_widget_get_visible(Toplevel)) {
    gtk_window_set_transient_for(GTK_WINDOW(dialog), GTK_WINDOW(Toplevel));
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER_ON_PARENT);
  } else {
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  }
  GtkWindowGroup* group = gtk_window_group_new();
  gtk_window_group_add_window(group, GTK_WINDOW(dialog));
  g_object_unref(group);
  gtk_dialog_run(GTK_DIALOG(dialog));  // a nested loop: timers and posts go on
  gtk_widget_destroy(dialog);
}

void GtkSkinWindow::Post(const Message& message) {
  Pump.Post(message);
}

void GtkSkinWindow::PostPaced(const Message& message, const std::atomic<bool>& stop) {
  Pump.PostPaced(message, stop);
}

std::intptr_t GtkSkinWindow::Deliver(std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam) {
  // Messages for a window that is gone are dropped, as a desktop does.
  if (Handler == nullptr || Destroyed) {
    return 0;
  }
  return Handler->HandleMessage(message, wParam, lParam);
}

gboolean GtkSkinWindow::OnButtonPress(GtkWidget*, GdkEventButton* event, gpointer data) {
  auto* self = static_cast<GtkSkinWindow*>(data);
  if (event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_PRIMARY ||
      self->Toplevel == nullptr) {
    return FALSE;
  }
  const Point screen{static_cast<int>(event->x_root), static_cast<int>(event->y_root)};
  // GTK hands a press that no one took to the window a second time; the
  // handler is asked once per press.
  if (event->time != self->LastPress.Time || screen.X != self->LastPress.At.X ||
      screen.Y != self->LastPress.At.Y) {
    self->LastPress = {event->time, screen, self->Deliver(WM_NCHITTEST, 0, PackPoint(screen))};
  }
  if (self->LastPress.HitTest != HTCAPTION || self->Toplevel == nullptr) {
    return FALSE;
  }
  GdkScreen* gdkScreen = gtk_widget_get_screen(self->Toplevel);
  if (!GDK_IS_X11_SCREEN(gdkScreen) ||
      gdk_x11_screen_supports_net_wm_hint(gdkScreen,
                                          gdk_atom_intern_static_string("_NET_WM_MOVERESIZE"))) {
    // The window manager (or the compositor) moves the window.
    gtk_window_begin_move_drag(GTK_WINDOW(self->Toplevel), static_cast<gint>(event->button),
                               screen.X, screen.Y, event->time);
    return TRUE;
  }
  // No window manager that moves windows for their clients: the window
  // follows the pointer itself until the button is released.
  self->Drag.Active = true;
  self->Drag.Pointer = screen;
  gtk_window_get_position(GTK_WINDOW(self->Toplevel), &self->Drag.Window.X, &self->Drag.Window.Y);
  return TRUE;
}

gboolean GtkSkinWindow::OnMotion(GtkWidget*, GdkEventMotion* event, gpointer data) {
  auto* self = static_cast<GtkSkinWindow*>(data);
  if (!self->Drag.Active || self->Toplevel == nullptr) {
    return FALSE;
  }
  gtk_window_move(GTK_WINDOW(self->Toplevel),
                  self->Drag.Window.X + static_cast<int>(event->x_root) - self->Drag.Pointer.X,
                  self->Drag.Window.Y + static_cast<int>(event->y_root) - self->Drag.Pointer.Y);
  return TRUE;
}

gboolean GtkSkinWindow::OnButtonRelease(GtkWidget*, GdkEventButton* event, gpointer data) {
  auto* self = static_cast<GtkSkinWindow*>(data);
  if (!self->Drag.Active || event->button != GDK_BUTTON_PRIMARY) {
    return FALSE;
  }
  self->Drag.Active = false;
  return TRUE;
}

gboolean GtkSkinWindow::OnGrabBroken(GtkWidget*, GdkEvent*, gpointer data) {
  static_cast<GtkSkinWindow*>(data)->Drag.Active = false;
  return FALSE;
}

gboolean GtkSkinWindow::OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer data) {
  // The desktop asks the window to close: it is the window's own WM_CLOSE,
  // whose default processing destroys it.
  static_cast<GtkSkinWindow*>(data)->Deliver(WM_CLOSE, 0, 0);
  return TRUE;
}

void GtkSkinWindow::OnDestroy(GtkWidget*, gpointer data) {
  auto* self = static_cast<GtkSkinWindow*>(data);
  self->Toplevel = nullptr;
  self->Fixed = nullptr;
  if (!self->Destroyed) {
    self->Destroyed = true;
    self->StopTimers();
    if (self->Loop != nullptr) {
      g_main_loop_quit(self->Loop);
    }
  }
}

}  // namespace varo::platform
