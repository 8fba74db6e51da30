#include <gtest/gtest.h>

#ifdef VARO_GUI_TESTS

#include <gtk/gtk.h>

#include <cstdlib>

#include "platform/linux/gtk/SkinTheme.h"
#include "support/GtkEnvironment.h"

namespace varo::platform {
namespace {

using gui_test::GtkEnvironment;

const auto* const kGtk = ::testing::AddGlobalTestEnvironment(new GtkEnvironment);

// The left padding that the theme in use gives a node of the given name
// in a plain window.
int PaddingOf(const char* node) {
  GtkWidgetPath* path = gtk_widget_path_new();
  gtk_widget_path_append_type(path, GTK_TYPE_WINDOW);
  gtk_widget_path_append_type(path, GTK_TYPE_BUTTON);
  gtk_widget_path_iter_set_object_name(path, -1, node);
  GtkStyleContext* style = gtk_style_context_new();
  gtk_style_context_set_screen(style, gdk_screen_get_default());
  gtk_style_context_set_path(style, path);
  GtkBorder padding{};
  gtk_style_context_get_padding(style, GTK_STATE_FLAG_NORMAL, &padding);
  g_object_unref(style);
  gtk_widget_path_unref(path);
  return padding.left;
}

class SkinThemeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(GtkEnvironment::Ready()) << "no virtual display";
    ASSERT_EQ(std::getenv("GTK_THEME"), nullptr);
  }
  void TearDown() override { UseDesktopTheme(); }
};

TEST_F(SkinThemeTest, TheProgramsThemeDrawsOnlyTooltipsUntilTheDesktopsIsTakenBack) {
  const int desktopButton = PaddingOf("button");
  ASSERT_GT(desktopButton, 0) << "GTK's default theme pads buttons";

  UseSkinTheme();
  EXPECT_TRUE(SkinThemeInUse());
  EXPECT_STREQ(std::getenv("GTK_THEME"), "VaroSkin");
  EXPECT_EQ(PaddingOf("button"), 0);
  EXPECT_EQ(PaddingOf("tooltip"), 4);

  // As before an error box: the desktop's look comes back, and the
  // variable goes.
  UseDesktopTheme();
  EXPECT_FALSE(SkinThemeInUse());
  EXPECT_EQ(std::getenv("GTK_THEME"), nullptr);
  EXPECT_EQ(PaddingOf("button"), desktopButton);
}

TEST_F(SkinThemeTest, AThemeTheUserNamesIsKept) {
  ::setenv("GTK_THEME", "HighContrast", 1);
  UseSkinTheme();
  EXPECT_FALSE(SkinThemeInUse());
  EXPECT_STREQ(std::getenv("GTK_THEME"), "HighContrast");
  UseDesktopTheme();
  EXPECT_STREQ(std::getenv("GTK_THEME"), "HighContrast");
  ::unsetenv("GTK_THEME");
}

}  // namespace
}  // namespace varo::platform

#else

TEST(SkinThemeTest, NeedsTheDesktopFrontEnd) {
  GTEST_SKIP() << "built without the GTK front-end";
}

#endif
