#include "platform/SkinFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "support/TempDir.h"

namespace varo::platform {
namespace {

using ::testing::HasSubstr;

const std::filesystem::path kShipped = std::filesystem::path(VARO_SOURCE_DIR) / "skin" / "Varo.xml";

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += line + "\n";
  }
  return text;
}

// The required controls, in a skin of the given window part.
std::string SkinWith(const std::string& window, const std::string& extra = {}) {
  return "<?xml version=\"1.0\"?><Skin><Window>" + window +
         "</Window>"
         "<Control><Name>infolable</Name><Class>TextUI</Class><Pos>0,40,300,60</Pos></Control>"
         "<Control><Name>progresslable</Name><Class>LabelUI</Class><Pos>0,60,300,80</Pos></Control>"
         "<Control><Name>eachprogress</Name><Class>ProgressUI</Class><Pos>0,80,300,90</Pos></"
         "Control>"
         "<Control><Name>totalprogress</Name><Class>ProgressUI</Class><Pos>0,90,300,99</Pos>"
         "</Control>"
         "<Control><Name>closebtn</Name><Class>ButtonUI</Class><Pos>270,5,295,30</Pos></Control>" +
         extra + "</Skin>";
}

class SkinFileTest : public ::testing::Test {
 protected:
  std::optional<Skin> Read(const std::string& content) {
    test::WriteFile(Dir / "skin.xml", content);
    Problems.clear();
    return ReadSkinFile(Dir / "skin.xml", Problems);
  }
  test::TempDir Dir;
  std::vector<std::string> Problems;
};

TEST_F(SkinFileTest, TheShippedSkinHasEverythingTheUpdaterNeeds) {
  const auto skin = ReadSkinFile(kShipped, Problems);
  ASSERT_TRUE(skin) << Joined(Problems);
  EXPECT_TRUE(Problems.empty()) << Joined(Problems);
  EXPECT_GT(skin->Caption.Bottom, skin->Caption.Top);
  for (const char* bar : {"eachprogress", "totalprogress"}) {
    const SkinControl* control = skin->Find(bar);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->Min, 0);
    EXPECT_EQ(control->Max, 100);
    EXPECT_EQ(control->ForeImage, "jd_m.jpg");
  }
  EXPECT_EQ(skin->Find("closebtn")->Class, "ButtonUI");
  // Every image it names is in its folder.
  std::vector<std::string> images = {skin->Background, skin->Icon};
  for (const SkinControl& control : skin->Controls) {
    images.insert(images.end(), {control.BackImage, control.ForeImage, control.NormalImage,
                                 control.HotImage, control.PushedImage});
  }
  for (const std::string& image : images) {
    if (!image.empty()) {
      EXPECT_TRUE(std::filesystem::is_regular_file(kShipped.parent_path() / image)) << image;
    }
  }
  // Controls lie inside the window.
  for (const SkinControl& control : skin->Controls) {
    EXPECT_GE(control.Pos.Left, 0) << control.Name;
    EXPECT_GE(control.Pos.Top, 0) << control.Name;
    EXPECT_LE(control.Pos.Right, skin->Width) << control.Name;
    EXPECT_LE(control.Pos.Bottom, skin->Height) << control.Name;
  }
}

TEST_F(SkinFileTest, ReadsEveryValueInAnyCase) {
  const auto skin = Read(SkinWith(
      "<SIZE> 320, 200 </SIZE><caption>2,0,3,30</caption><Background>bg.png</Background>"
      "<BackColor>#102030</BackColor><Font>Noto Sans CJK SC</Font><FontSize>13</FontSize>"
      "<TextColor>#80FFEEDD</TextColor><Icon>a.ico</Icon>",
      "<Control><!-- a comment --><Name>title</Name><Class>LabelUI</Class><Pos>1,2,3,4</Pos>"
      "<Text>Varo更新程序 &amp; more</Text><TextColor>#FFFFFF</TextColor><BackColor>#00000000"
      "</BackColor><ForeColor>#123456</ForeColor><FontSize>14</FontSize><Bold>true</Bold>"
      "<Align>Center</Align><Radius>4</Radius><BackImage>b.png</BackImage>"
      "<ToolTip>tip</ToolTip><Min>-5</Min><Max>5</Max></Control>"));
  ASSERT_TRUE(skin) << Joined(Problems);
  EXPECT_TRUE(Problems.empty()) << Joined(Problems);
  EXPECT_EQ(skin->Width, 320);
  EXPECT_EQ(skin->Height, 200);
  EXPECT_EQ(skin->Caption.Left, 2);
  EXPECT_EQ(skin->Caption.Right, 3);
  EXPECT_EQ(skin->Caption.Bottom, 30);
  EXPECT_EQ(skin->BackColor, 0xFF102030u);
  EXPECT_EQ(skin->TextColor, 0x80FFEEDDu);
  EXPECT_EQ(skin->FontSize, 13);
  EXPECT_EQ(skin->Icon, "a.ico");
  const SkinControl* title = skin->Find("title");
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->Text, "Varo更新程序 & more");
  EXPECT_EQ(title->BackColor, 0x00000000u);
  EXPECT_EQ(title->ForeColor, 0xFF123456u);
  EXPECT_TRUE(title->Bold);
  EXPECT_EQ(title->Align, SkinAlign::Center);
  EXPECT_EQ(title->Radius, 4);
  EXPECT_EQ(title->Min, -5);
  EXPECT_EQ(title->Max, 5);
  // Document order is the order from bottom to top.
  EXPECT_EQ(skin->Controls.back().Name, "title");
  EXPECT_EQ(skin->Find("closebtn")->Max, 100);
}

TEST_F(SkinFileTest, UnknownElementsAreReportedAndIgnored) {
  const auto skin =
      Read(SkinWith("<Size>300,100</Size><Caption>0,0,0,30</Caption><Shadow>9</Shadow>"));
  ASSERT_TRUE(skin);
  EXPECT_THAT(Joined(Problems), HasSubstr("unknown element <Shadow>"));
}

TEST_F(SkinFileTest, UnusableSkinsSayWhy) {
  const std::string window = "<Size>300,100</Size><Caption>0,0,0,30</Caption>";
  const struct {
    const char* What;
    std::string Content;
    const char* Said;
  } cases[] = {
      {"not XML", "<Skin><Window>", "cannot be read"},
      {"a DTD from elsewhere",
       "<!DOCTYPE Skin SYSTEM \"http://example.invalid/skin.dtd\">" + SkinWith(window),
       "cannot be read"},
      {"a document type declaration", "<!DOCTYPE Skin>" + SkinWith(window), "cannot be read"},
      {"no window", "<Skin><Control/></Skin>", "no <Window>"},
      {"no size", SkinWith("<Caption>0,0,0,30</Caption>"), "no <Size>"},
      {"no caption", SkinWith("<Size>300,100</Size>"), "no <Caption>"},
      {"a zero size", SkinWith("<Size>0,100</Size><Caption>0,0,0,30</Caption>"), "<Size>"},
      {"a bad colour", SkinWith(window + "<BackColor>blue</BackColor>"), "<BackColor>"},
      {"a control without class",
       SkinWith(window, "<Control><Name>x</Name><Pos>0,0,1,1</Pos></Control>"), "needs <Name>"},
      {"an empty place",
       SkinWith(window,
                "<Control><Name>x</Name><Class>LabelUI</Class><Pos>5,5,5,9</Pos></Control>"),
       "<Pos> has a bad value"},
      {"a place of three numbers",
       SkinWith(window, "<Control><Name>x</Name><Class>LabelUI</Class><Pos>1,2,3</Pos></Control>"),
       "<Pos> has a bad value"},
      {"two controls of one name",
       SkinWith(
           window,
           "<Control><Name>closebtn</Name><Class>ButtonUI</Class><Pos>0,0,1,1</Pos></Control>"),
       "two controls are named \"closebtn\""},
      {"a range upside down",
       SkinWith(window,
                "<Control><Name>x</Name><Class>ProgressUI</Class><Pos>0,0,9,9</Pos>"
                "<Min>100</Min><Max>0</Max></Control>"),
       "<Min> must be below <Max>"},
      {"a missing control",
       "<Skin><Window>" + window +
           "</Window><Control><Name>closebtn</Name><Class>ButtonUI</Class><Pos>0,0,9,9</Pos>"
           "</Control></Skin>",
       "\"infolable\" is missing"},
      {"a button that is a label",
       "<Skin><Window>" + window +
           "</Window><Control><Name>closebtn</Name><Class>LabelUI</Class><Pos>0,0,9,9</Pos>"
           "</Control></Skin>",
       "\"closebtn\" must be a ButtonUI"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    EXPECT_FALSE(Read(c.Content));
    EXPECT_THAT(Joined(Problems), HasSubstr(c.Said));
    EXPECT_THAT(Joined(Problems), HasSubstr("skin.xml"));
  }
  Problems.clear();
  EXPECT_FALSE(ReadSkinFile(Dir / "absent.xml", Problems));
  EXPECT_THAT(Joined(Problems), HasSubstr("cannot be read"));
}

// A skin is read only from a regular file of at most 4 MiB; anything else
// is refused, without blocking on a FIFO, and problems says why.
TEST_F(SkinFileTest, OversizedOrSpecialFilesAreRefusedWithTheReason) {
  const std::string good = SkinWith("<Size>300,100</Size><Caption>0,0,0,30</Caption>");
  const std::size_t limit = 4u << 20;
  const std::string filler = "<!--" + std::string(limit - good.size() - 7, 'x') + "-->";
  ASSERT_EQ((good + filler).size(), limit);
  EXPECT_TRUE(Read(good + filler)) << Joined(Problems);
  EXPECT_FALSE(Read(good + " " + filler));
  EXPECT_THAT(Joined(Problems), HasSubstr("larger than 4 MiB"));

  ASSERT_EQ(::mkfifo((Dir / "fifo.xml").c_str(), 0600), 0);
  Problems.clear();
  EXPECT_FALSE(ReadSkinFile(Dir / "fifo.xml", Problems));
  EXPECT_THAT(Joined(Problems), HasSubstr("fifo.xml: cannot be read: it is not a regular file"));
}

TEST_F(SkinFileTest, TheBuiltInLayoutHasEveryRequiredControl) {
  const Skin skin = BuiltInSkin();
  EXPECT_GT(skin.Caption.Bottom, 0);
  for (const RequiredControl& required : RequiredSkinControls()) {
    const SkinControl* control = skin.Find(required.Name);
    ASSERT_NE(control, nullptr) << required.Name;
    if (!required.Class.empty()) {
      EXPECT_EQ(control->Class, required.Class);
    }
    EXPECT_LE(control->Pos.Right, skin.Width);
    EXPECT_LE(control->Pos.Bottom, skin.Height);
  }
}

TEST(SkinValues, ParseRectanglesAndColours) {
  EXPECT_EQ(ParseSkinRect(" 1, -2 ,3,4 ").value().Top, -2);
  for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "1,2,x,4", "1,,3,4", "1.5,2,3,4"}) {
    EXPECT_FALSE(ParseSkinRect(bad)) << bad;
  }
  EXPECT_EQ(ParseSkinColor("#0a0B0c"), 0xFF0A0B0Cu);
  EXPECT_EQ(ParseSkinColor("#800a0B0c"), 0x800A0B0Cu);
  for (const char* bad : {"", "0A0B0C", "#0A0B0", "#0A0B0C0", "#GG0000", "#-10000", "#+10000"}) {
    EXPECT_FALSE(ParseSkinColor(bad)) << bad;
  }
}

}  // namespace
}  // namespace varo::platform
