// A reference for the updater's resident memory on Linux: what a bare GTK
// window costs that shows the same texts in the same font (the bold title
// included) with two bars, in a process that has loaded and set up libcurl
// and libxml2 as the updater has. The font is the skin's, from the folder
// given as the only argument (the updater's ADImage/Update); the theme is
// GTK's default, which the updater's own window does without, so the
// updater can need less than this. It changes its texts on a 200 ms tick
// for a second and a half, then ends. bench/big-file.sh measures its peak
// resident size beside the updater's.
#include <curl/curl.h>
#include <fontconfig/fontconfig.h>
#include <gtk/gtk.h>
#include <libxml/parser.h>

#include <array>
#include <string>

namespace {

constexpr const char* kFont = "Varo Sans";

GtkWidget* Label(const char* text, int points, bool bold) {
  GtkWidget* label = gtk_label_new(nullptr);
  char* markup =
      g_markup_printf_escaped(R"(<span font_family="%s" size="%d" weight="%s">%s</span>)", kFont,
                              points * PANGO_SCALE, bold ? "bold" : "normal", text);
  gtk_label_set_markup(GTK_LABEL(label), markup);
  g_free(markup);
  return label;
}

struct Floor {
  GtkWidget* Status = nullptr;
  std::array<GtkWidget*, 2> Bars{};
  int Ticks = 0;
};

gboolean Tick(gpointer data) {
  auto& floor = *static_cast<Floor*>(data);
  ++floor.Ticks;
  const std::string text = "正在下载(" + std::to_string(floor.Ticks) + "/8) " +
                           std::to_string(floor.Ticks * 1024) + "KB/秒 总大小1048576KB";
  gtk_label_set_text(GTK_LABEL(floor.Status), text.c_str());
  for (GtkWidget* bar : floor.Bars) {
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar), floor.Ticks / 8.0);
  }
  if (floor.Ticks == 8) {
    gtk_main_quit();
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    return 2;
  }
  const std::string skin = argv[1];
  for (const char* face : {"/VaroSans-Regular.otf", "/VaroSans-Bold.otf"}) {
    if (FcConfigAppFontAddFile(nullptr, reinterpret_cast<const FcChar8*>((skin + face).c_str())) ==
        FcFalse) {
      return 2;
    }
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  xmlInitParser();
  // As the updater does: no GL driver for a window that draws none.
  g_setenv("GDK_GL", "disable", TRUE);
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  gtk_window_set_default_size(GTK_WINDOW(window), 520, 280);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  Floor floor;
  gtk_container_add(GTK_CONTAINER(box), Label("Varo 游戏中心 · 自动更新", 14, true));
  gtk_container_add(GTK_CONTAINER(box), Label("正在下载文件：big.bin", 13, false));
  for (GtkWidget*& bar : floor.Bars) {
    gtk_container_add(GTK_CONTAINER(box), Label("当前文件 总体进度", 11, false));
    bar = gtk_progress_bar_new();
    gtk_container_add(GTK_CONTAINER(box), bar);
  }
  floor.Status = Label("正在连接获取服务器列表", 12, false);
  gtk_container_add(GTK_CONTAINER(box), floor.Status);
  gtk_container_add(GTK_CONTAINER(window), box);
  gtk_widget_show_all(window);
  g_timeout_add(200, &Tick, &floor);
  gtk_main();
  xmlCleanupParser();
  curl_global_cleanup();
  return floor.Ticks == 8 ? 0 : 1;
}
