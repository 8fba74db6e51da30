#include <gtest/gtest.h>

#ifdef VARO_GUI_TESTS

#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/gtk/SkinFonts.h"
#include "support/GtkEnvironment.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

using gui_test::GtkEnvironment;

const auto* const kGtk = ::testing::AddGlobalTestEnvironment(new GtkEnvironment);
const std::filesystem::path kSources = std::filesystem::path(VARO_SKIN_SOURCE_DIR).parent_path();
const std::filesystem::path kShippedSkin =
    std::filesystem::path(VARO_PROGRAM_DIR) / "ADImage/Update";

// The family of the font that the font map picks for the first character
// of text asked for in family.
std::string FamilyDrawing(const char* family, const char* text) {
  PangoContext* context = pango_font_map_create_context(pango_cairo_font_map_get_default());
  PangoLayout* layout = pango_layout_new(context);
  PangoFontDescription* description = pango_font_description_new();
  pango_font_description_set_family(description, family);
  pango_font_description_set_absolute_size(description, 12 * PANGO_SCALE);
  pango_layout_set_font_description(layout, description);
  pango_layout_set_text(layout, text, -1);
  std::string found;
  PangoLayoutLine* line = pango_layout_get_line_readonly(layout, 0);
  if (line != nullptr && line->runs != nullptr) {
    const auto* run = static_cast<const PangoGlyphItem*>(line->runs->data);
    PangoFontDescription* used = pango_font_describe(run->item->analysis.font);
    found = pango_font_description_get_family(used);
    pango_font_description_free(used);
  }
  pango_font_description_free(description);
  g_object_unref(layout);
  g_object_unref(context);
  return found;
}

// Every CJK character (ideographs, their punctuation and the full-width
// forms) in the program's sources and skin: all the texts its window shows.
std::set<char32_t> ChineseOfTheSources() {
  std::set<char32_t> found;
  const auto take = [&](const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto lead = static_cast<unsigned char>(text[i]);
      if ((lead & 0xF0) != 0xE0 || i + 2 >= text.size()) {
        continue;  // the ranges below are all three-byte sequences
      }
      const char32_t c = ((lead & 0x0F) << 12) |
                         ((static_cast<unsigned char>(text[i + 1]) & 0x3F) << 6) |
                         (static_cast<unsigned char>(text[i + 2]) & 0x3F);
      if ((c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
          (c >= 0xFF00 && c <= 0xFFEF)) {
        found.insert(c);
      }
      i += 2;
    }
  };
  for (const char* folder : {"app", "update", "catalogue", "transfer", "platform", "common"}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(kSources / folder)) {
      const auto extension = entry.path().extension();
      if (entry.is_regular_file() && (extension == ".cpp" || extension == ".h")) {
        take(entry.path());
      }
    }
  }
  take(kSources / "skin/Varo.xml");
  return found;
}

class SkinFontsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(GtkEnvironment::Ready()) << "no virtual display"; }
  test::TempDir Dir;
};

TEST_F(SkinFontsTest, TheFontFilesOfASkinsFolderDrawTheTextsAskedForInTheirFamily) {
  std::filesystem::copy_file(kShippedSkin / "VaroSans-Regular.otf", Dir / "Face.OTF");
  test::WriteFile(Dir / "broken.ttf", "no font at all");
  test::WriteFile(Dir / "notes.txt", "not a font's name");
  std::filesystem::create_directories(Dir / "inner");
  std::filesystem::copy_file(kShippedSkin / "VaroSans-Bold.otf", Dir / "inner/Bold.otf");
  ASSERT_NE(FamilyDrawing("Varo Sans", "正在下载"), "Varo Sans");

  EXPECT_EQ(AddSkinFonts(Dir.Path()), std::vector<std::filesystem::path>{Dir / "broken.ttf"});
  EXPECT_EQ(FamilyDrawing("Varo Sans", "正在下载"), "Varo Sans");
  // A character the cut left out still comes from the desktop's fonts.
  EXPECT_NE(FamilyDrawing("Varo Sans", "龘"), "Varo Sans");

  // Added once, whatever the calls; the folder's folders are not searched.
  EXPECT_EQ(AddSkinFonts(Dir.Path()), std::vector<std::filesystem::path>{Dir / "broken.ttf"});
  PangoFontFamily** families = nullptr;
  int count = 0;
  pango_font_map_list_families(pango_cairo_font_map_get_default(), &families, &count);
  int faces = 0;
  for (int i = 0; i < count; ++i) {
    if (std::string(pango_font_family_get_name(families[i])) == "Varo Sans") {
      PangoFontFace** list = nullptr;
      int listed = 0;
      pango_font_family_list_faces(families[i], &list, &listed);
      for (int j = 0; j < listed; ++j) {
        faces += pango_font_face_is_synthesized(list[j]) ? 0 : 1;
      }
      g_free(list);
    }
  }
  g_free(families);
  EXPECT_EQ(faces, 1) << "only the regular face, once";
}

// The window's font is cut to the characters of the program's texts; a
// text in a folder the cut does not read would be drawn by the desktop's
// fonts, at the cost of loading them.
TEST_F(SkinFontsTest, TheShippedFontsHoldEveryChineseCharacterOfTheProgram) {
  const std::set<char32_t> wanted = ChineseOfTheSources();
  ASSERT_GT(wanted.size(), 50u);
  for (const char* file : {"VaroSans-Regular.otf", "VaroSans-Bold.otf"}) {
    int faces = 0;
    FcPattern* pattern = FcFreeTypeQuery(
        reinterpret_cast<const FcChar8*>((kShippedSkin / file).c_str()), 0, nullptr, &faces);
    ASSERT_NE(pattern, nullptr) << file;
    FcCharSet* characters = nullptr;
    ASSERT_EQ(FcPatternGetCharSet(pattern, FC_CHARSET, 0, &characters), FcResultMatch);
    std::string missing;
    for (const char32_t c : wanted) {
      if (FcCharSetHasChar(characters, c) == FcFalse) {
        missing += " U+" + std::to_string(static_cast<unsigned>(c));
      }
    }
    EXPECT_EQ(missing, "") << file;
    FcChar8* family = nullptr;
    ASSERT_EQ(FcPatternGetString(pattern, FC_FAMILY, 0, &family), FcResultMatch);
    EXPECT_STREQ(reinterpret_cast<const char*>(family), "Varo Sans");
    FcPatternDestroy(pattern);
  }
}

}  // namespace
}  // namespace varo::platform

#else

TEST(SkinFontsTest, NeedsTheDesktopFrontEnd) {
  GTEST_SKIP() << "built without the GTK front-end";
}

#endif
