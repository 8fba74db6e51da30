#include "platform/SkinFile.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <system_error>
#include <tuple>
#include <utility>

#include "platform/XmlReader.h"

namespace varo::platform {
namespace {

// The largest skin file that is read.
constexpr std::size_t kMaxSkinBytes = 4u << 20;

// Why a skin file gave no document, for problems. Asked after the read
// failed, it names the likeliest cause.
std::string WhyUnreadable(const std::filesystem::path& file) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(file, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    return "cannot be read: it is not a regular file";
  }
  if (std::filesystem::is_regular_file(status)) {
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (!error && size > kMaxSkinBytes) {
      return "cannot be read: it is larger than " + std::to_string(kMaxSkinBytes >> 20) + " MiB";
    }
  }
  return "cannot be read as an XML document";
}

std::string Lower(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  });
  return result;
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::optional<int> ParseInt(std::string_view text) {
  text = Trim(text);
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// Comma-separated integers, exactly count of them.
std::optional<std::vector<int>> ParseInts(std::string_view text, std::size_t count) {
  std::vector<int> values;
  while (true) {
    const auto comma = text.find(',');
    const auto value = ParseInt(text.substr(0, comma));
    if (!value) {
      return std::nullopt;
    }
    values.push_back(*value);
    if (comma == std::string_view::npos) {
      break;
    }
    text.remove_prefix(comma + 1);
  }
  if (values.size() != count) {
    return std::nullopt;
  }
  return values;
}

std::optional<bool> ParseBool(std::string_view text) {
  const std::string lower = Lower(Trim(text));
  if (lower == "true" || lower == "yes") {
    return true;
  }
  if (lower == "false" || lower == "no") {
    return false;
  }
  return std::nullopt;
}

std::optional<SkinAlign> ParseAlign(std::string_view text) {
  const std::string lower = Lower(Trim(text));
  if (lower == "left") {
    return SkinAlign::Left;
  }
  if (lower == "center" || lower == "centre") {
    return SkinAlign::Center;
  }
  if (lower == "right") {
    return SkinAlign::Right;
  }
  return std::nullopt;
}

// Reads the values of one element of the skin: each known child name (any
// case) has a setter that answers false for a value it cannot take.
class ValueReader {
 public:
  using Setter = std::function<bool(const std::string&)>;

  ValueReader(std::string where, std::vector<std::string>& problems, bool& usable)
      : Where(std::move(where)), Problems(problems), Usable(usable) {}

  void On(const std::string& name, Setter setter) {
    Setters.emplace(Lower(name), std::move(setter));
  }

  void Read(const XmlEntry& entry) {
    for (const XmlChild& child : entry) {
      if (child.Name.empty() || child.Name.front() == '#') {
        continue;  // text between the elements, comments
      }
      const auto setter = Setters.find(Lower(child.Name));
      if (setter == Setters.end()) {
        Problems.push_back(Where + ": unknown element <" + child.Name + "> ignored");
      } else if (!setter->second(child.Text)) {
        Problems.push_back(Where + ": <" + child.Name + "> has a bad value \"" + child.Text + "\"");
        Usable = false;
      }
    }
  }

 private:
  const std::string Where;
  std::vector<std::string>& Problems;
  bool& Usable;
  std::map<std::string, Setter> Setters;
};

ValueReader::Setter Text(std::string& target) {
  return [&target](const std::string& value) {
    target = value;
    return true;
  };
}

ValueReader::Setter Number(int& target, int least, int most) {
  return [&target, least, most](const std::string& value) {
    const auto number = ParseInt(value);
    if (!number || *number < least || *number > most) {
      return false;
    }
    target = *number;
    return true;
  };
}

template <typename T>
ValueReader::Setter Parsed(T& target, std::optional<T> (*parse)(std::string_view)) {
  return [&target, parse](const std::string& value) {
    const auto parsed = parse(value);
    if (parsed) {
      target = *parsed;
    }
    return parsed.has_value();
  };
}

template <typename T>
ValueReader::Setter Optional(std::optional<T>& target,
                             std::optional<T> (*parse)(std::string_view)) {
  return [&target, parse](const std::string& value) {
    target = parse(value);
    return target.has_value();
  };
}

std::optional<Rect> ParseSize(std::string_view text) {
  const auto values = ParseInts(text, 2);
  if (!values || (*values)[0] <= 0 || (*values)[1] <= 0 || (*values)[0] > 8192 ||
      (*values)[1] > 8192) {
    return std::nullopt;
  }
  return Rect{0, 0, (*values)[0], (*values)[1]};
}

bool ReadWindow(const XmlEntry& entry, Skin& skin, const std::string& where,
                std::vector<std::string>& problems) {
  bool usable = true;
  std::optional<Rect> size;
  std::optional<Rect> caption;
  ValueReader reader(where + ": <Window>", problems, usable);
  reader.On("Size", Optional(size, &ParseSize));
  reader.On("Caption", Optional(caption, &ParseSkinRect));
  reader.On("Background", Text(skin.Background));
  reader.On("BackColor", Parsed(skin.BackColor, &ParseSkinColor));
  reader.On("Icon", Text(skin.Icon));
  reader.On("Font", Text(skin.Font));
  reader.On("FontSize", Number(skin.FontSize, 1, 200));
  reader.On("TextColor", Parsed(skin.TextColor, &ParseSkinColor));
  reader.Read(entry);
  if (!size) {
    problems.push_back(where + ": <Window> has no <Size>");
    return false;
  }
  if (!caption) {
    problems.push_back(where + ": <Window> has no <Caption>");
    return false;
  }
  skin.Width = size->Right;
  skin.Height = size->Bottom;
  skin.Caption = *caption;
  return usable;
}

bool ReadControl(const XmlEntry& entry, SkinControl& control, const std::string& where,
                 std::vector<std::string>& problems) {
  bool usable = true;
  bool hasPos = false;
  ValueReader reader(where, problems, usable);
  reader.On("Name", Text(control.Name));
  reader.On("Class", Text(control.Class));
  reader.On("Pos", [&](const std::string& value) {
    const auto rect = ParseSkinRect(value);
    if (!rect || rect->Left >= rect->Right || rect->Top >= rect->Bottom) {
      return false;
    }
    control.Pos = *rect;
    hasPos = true;
    return true;
  });
  reader.On("Text", Text(control.Text));
  reader.On("ToolTip", Text(control.ToolTip));
  reader.On("TextColor", Optional(control.TextColor, &ParseSkinColor));
  reader.On("BackColor", Optional(control.BackColor, &ParseSkinColor));
  reader.On("ForeColor", Optional(control.ForeColor, &ParseSkinColor));
  reader.On("FontSize", Number(control.FontSize, 1, 200));
  reader.On("Bold", Parsed(control.Bold, &ParseBool));
  reader.On("Align", Parsed(control.Align, &ParseAlign));
  reader.On("Radius", Number(control.Radius, 0, 1000));
  reader.On("BackImage", Text(control.BackImage));
  reader.On("ForeImage", Text(control.ForeImage));
  reader.On("NormalImage", Text(control.NormalImage));
  reader.On("HotImage", Text(control.HotImage));
  reader.On("PushedImage", Text(control.PushedImage));
  reader.On("Min", Number(control.Min, -1'000'000, 1'000'000));
  reader.On("Max", Number(control.Max, -1'000'000, 1'000'000));
  reader.Read(entry);
  if (control.Name.empty() || control.Class.empty() || !hasPos) {
    problems.push_back(where + " needs <Name>, <Class> and <Pos>");
    return false;
  }
  if (control.Min >= control.Max) {
    problems.push_back(where + ": <Min> must be below <Max>");
    return false;
  }
  return usable;
}

}  // namespace

const SkinControl* Skin::Find(std::string_view name) const {
  const auto it = std::find_if(Controls.begin(), Controls.end(),
                               [&](const SkinControl& c) { return c.Name == name; });
  return it == Controls.end() ? nullptr : &*it;
}

const std::vector<RequiredControl>& RequiredSkinControls() {
  static const std::vector<RequiredControl> required = {
      {"infolable", ""},     {"eachprogress", "ProgressUI"}, {"totalprogress", "ProgressUI"},
      {"progresslable", ""}, {"closebtn", "ButtonUI"},
  };
  return required;
}

std::optional<Rect> ParseSkinRect(std::string_view text) {
  const auto values = ParseInts(text, 4);
  if (!values) {
    return std::nullopt;
  }
  return Rect{(*values)[0], (*values)[1], (*values)[2], (*values)[3]};
}

std::optional<SkinColor> ParseSkinColor(std::string_view text) {
  text = Trim(text);
  if (text.size() != 7 && text.size() != 9) {
    return std::nullopt;
  }
  if (text.front() != '#') {
    return std::nullopt;
  }
  text.remove_prefix(1);
  SkinColor value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return text.size() == 6 ? (0xFF000000u | value) : value;
}

std::optional<Skin> ReadSkinFile(const std::filesystem::path& file,
                                 std::vector<std::string>& problems) {
  const std::string where = file.string();
  const auto windows = ReadXmlEntries(file, "Window", kMaxSkinBytes);
  const auto controls = ReadXmlEntries(file, "Control", kMaxSkinBytes);
  if (!windows || !controls) {
    problems.push_back(where + ": " + WhyUnreadable(file));
    return std::nullopt;
  }
  if (windows->empty()) {
    problems.push_back(where + ": has no <Window> element");
    return std::nullopt;
  }
  if (windows->size() > 1) {
    problems.push_back(where + ": more than one <Window> element; the first one counts");
  }

  Skin skin;
  bool usable = ReadWindow(windows->front(), skin, where, problems);
  std::set<std::string> names;
  for (std::size_t i = 0; i < controls->size(); ++i) {
    SkinControl control;
    const std::string place = where + ": <Control> number " + std::to_string(i + 1);
    if (!ReadControl((*controls)[i], control, place, problems)) {
      usable = false;
      continue;
    }
    if (!names.insert(control.Name).second) {
      problems.push_back(where + ": two controls are named \"" + control.Name + "\"");
      usable = false;
      continue;
    }
    skin.Controls.push_back(std::move(control));
  }
  for (const RequiredControl& required : RequiredSkinControls()) {
    const SkinControl* control = skin.Find(required.Name);
    if (control == nullptr) {
      problems.push_back(where + ": the control \"" + std::string(required.Name) + "\" is missing");
      usable = false;
    } else if (!required.Class.empty() && control->Class != required.Class) {
      problems.push_back(where + ": the control \"" + std::string(required.Name) + "\" must be a " +
                         std::string(required.Class));
      usable = false;
    }
  }
  if (!usable) {
    return std::nullopt;
  }
  return skin;
}

Skin BuiltInSkin() {
  Skin skin;
  skin.Width = 520;
  skin.Height = 280;
  skin.Caption = {0, 0, 0, 44};
  skin.BackColor = 0xFF0E1A2B;
  skin.Font = "Noto Sans CJK SC";
  skin.FontSize = 12;
  skin.TextColor = 0xFFD8E3F0;

  auto add = [&](std::string name, std::string className, Rect pos) -> SkinControl& {
    SkinControl control;
    control.Name = std::move(name);
    control.Class = std::move(className);
    control.Pos = pos;
    return skin.Controls.emplace_back(std::move(control));
  };
  add("caption", "ControlUI", {0, 0, 520, 44}).BackColor = 0xFF14283F;
  SkinControl& title = add("title", "LabelUI", {20, 0, 400, 44});
  title.Text = "Varo更新程序";
  title.FontSize = 14;
  title.Bold = true;
  title.TextColor = 0xFFFFFFFF;
  SkinControl& close = add("closebtn", "ButtonUI", {476, 8, 508, 36});
  close.Text = "×";
  close.FontSize = 18;
  close.Align = SkinAlign::Center;
  close.ToolTip = "关闭";
  add("infolable", "TextUI", {28, 60, 492, 86}).FontSize = 13;
  for (const auto& [label, text, top] :
       {std::tuple{"filecaption", "当前文件", 92}, std::tuple{"totalcaption", "总体进度", 142}}) {
    SkinControl& caption = add(label, "LabelUI", {28, top, 240, top + 22});
    caption.Text = text;
    caption.TextColor = 0xFF8FA6C1;
  }
  for (const auto& [bar, top] : {std::pair{"eachprogress", 116}, std::pair{"totalprogress", 166}}) {
    SkinControl& control = add(bar, "ProgressUI", {28, top, 492, top + 18});
    control.BackColor = 0xFF0A1424;
    control.ForeColor = 0xFF2F8BEA;
    control.Align = SkinAlign::Center;
    control.FontSize = 11;
    control.Radius = 9;
  }
  add("progresslable", "TextUI", {28, 200, 492, 224}).TextColor = 0xFFA9BCD3;
  return skin;
}

}  // namespace varo::platform
