#include <gtest/gtest.h>

#ifdef VARO_GUI_TESTS

#include <dirent.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <gtk/gtk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "platform/linux/gtk/GtkShell.h"
#include "platform/linux/gtk/ProgramStarter.h"
#include "platform/linux/gtk/SkinTheme.h"
#include "support/GtkEnvironment.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/XTools.h"

namespace varo::platform {
namespace {

using namespace std::chrono_literals;
using gui_test::GtkEnvironment;
using gui_test::IterateUntil;
using Action = ProgramStarter::Plan::Action;

// GLib reads XDG_DATA_HOME and XDG_CONFIG_HOME once in a process: they name
// folders of this program's own before anything asks for them, whichever
// test runs first, and tests put their desktop files there.
const test::TempDir& DesktopFolders() {
  static const test::TempDir folders;
  return folders;
}

class DesktopFoldersEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ::setenv("XDG_DATA_HOME", (DesktopFolders() / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (DesktopFolders() / "config").c_str(), 1);
  }
};

// Registered in this order, so set up in it.
const auto* const kDesktopFolders =
    ::testing::AddGlobalTestEnvironment(new DesktopFoldersEnvironment);
const auto* const kGtk = ::testing::AddGlobalTestEnvironment(new GtkEnvironment);
const std::filesystem::path kSkin(VARO_SKIN_SOURCE_DIR);

void WriteScript(const std::filesystem::path& file, const std::string& body) {
  test::WriteFile(file, "#!/bin/sh\n" + body);
  ::chmod(file.c_str(), 0755);
}

// Children of this process that have ended and not been reaped.
int Zombies() {
  int count = 0;
  DIR* proc = ::opendir("/proc");
  while (dirent* entry = ::readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
      continue;
    }
    // pid (comm) state ppid ...
    const auto close = line.rfind(')');
    char state = 0;
    int parent = 0;
    if (close != std::string::npos &&
        std::sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2 &&
        parent == ::getpid() && state == 'Z') {
      ++count;
    }
  }
  ::closedir(proc);
  return count;
}

class GtkShellTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(GtkEnvironment::Ready()) << "no virtual display"; }
  test::TempDir Dir;
};

TEST_F(GtkShellTest, PlansAStartByNameParametersAndKind) {
  // The same bare name in the current folder and on the search path: the
  // current folder wins, as on Windows.
  const auto cwd = Dir / "cwd";
  const auto bin = Dir / "bin";
  WriteScript(cwd / "Tandrel.exe", "exit 0\n");
  WriteScript(bin / "Tandrel.exe", "exit 0\n");
  WriteScript(bin / "regsvr32", "exit 0\n");
  test::WriteFile(cwd / "notes.txt", "text");
  WriteScript(cwd / "setup.sh", "exit 0\n");
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", (bin.string() + ":" + path).c_str(), 1);

  const struct {
    const char* What;
    StartRequest Request;
    Action Expected;
    std::filesystem::path File;
    std::vector<std::string> Arguments;
    bool Problem;
  } cases[] = {
      {"bare name in the current folder",
       {"Tandrel.exe", "", "open"},
       Action::Run,
       cwd / "Tandrel.exe",
       {},
       false},
      {"bare name on the path only",
       {"regsvr32", "/s \"/opt/game/a b.dll\"", ""},
       Action::Run,
       bin / "regsvr32",
       {"/s", "/opt/game/a b.dll"},
       false},
      {"bare name nowhere", {"absent-program", "", ""}, Action::Nothing, {}, {}, false},
      {"parameters split like a shell, nothing expanded",
       {(cwd / "setup.sh").string(), R"(-a 'two words' "C:\Program Files" $HOME * ~ `id`)", ""},
       Action::Run,
       cwd / "setup.sh",
       {"-a", "two words", R"(C:\Program Files)", "$HOME", "*", "~", "`id`"},
       false},
      {"blank parameters are none",
       {(cwd / "setup.sh").string(), "  \t", ""},
       Action::Run,
       cwd / "setup.sh",
       {},
       false},
      {"unbalanced quote",
       {(cwd / "setup.sh").string(), "\"open", ""},
       Action::Nothing,
       {},
       {},
       true},
      {"a document opens, its parameters ignored",
       {"notes.txt", "-x", "open"},
       Action::Open,
       cwd / "notes.txt",
       {},
       false},
      {"a path that is no file",
       {(cwd / "gone.exe").string(), "", ""},
       Action::Nothing,
       {},
       {},
       true},
      {"a relative path", {"./setup.sh", "", ""}, Action::Run, cwd / "setup.sh", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    const auto plan = ProgramStarter::PlanStart(c.Request, cwd);
    EXPECT_EQ(plan.What, c.Expected);
    if (c.Expected != Action::Nothing) {
      EXPECT_EQ(plan.File, c.File);
      EXPECT_EQ(plan.Arguments, c.Arguments);
    }
    EXPECT_EQ(!plan.Problem.empty(), c.Problem) << plan.Problem;
  }
  ::setenv("PATH", path.c_str(), 1);
}

// A system program comes from the absolute folders of the search path and
// nowhere else: not from the current folder, not from an empty or relative
// entry of PATH (which the process would resolve against its current
// folder), not from a file there that cannot run.
TEST_F(GtkShellTest, PlansASystemProgramFromAbsoluteSearchFoldersOnly) {
  const auto cwd = Dir / "cwd";
  const auto bin = Dir / "bin";
  const auto noexec = Dir / "noexec";
  WriteScript(cwd / "regsvr32", "exit 0\n");
  WriteScript(cwd / "sub" / "regsvr32", "exit 0\n");
  WriteScript(bin / "regsvr32", "exit 0\n");
  test::WriteFile(noexec / "regsvr32", "no program");
  const std::filesystem::path sh = std::filesystem::exists("/bin/sh") ? "/bin/sh" : "/usr/bin/sh";
  // The environment is read and changed on this thread alone while the
  // test runs.
  const auto setPath = [](const std::optional<std::string>& value) {
    if (value) {
      ::setenv("PATH", value->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    } else {
      ::unsetenv("PATH");  // NOLINT(concurrency-mt-unsafe)
    }
  };
  const char* const saved = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
  const std::optional<std::string> path =
      saved != nullptr ? std::optional<std::string>(saved) : std::nullopt;
  // Relative entries of PATH would be taken from here.
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(cwd);

  const StartRequest regsvr32{"regsvr32", "/s x.dll", "", true};
  const struct {
    const char* What;
    std::optional<std::string> Path;  // PATH; unset when absent
    StartRequest Request;
    std::filesystem::path File;
    Action Expected;
    bool Problem;
  } cases[] = {
      {"an absolute folder, not the current one", bin.string(), regsvr32, bin / "regsvr32",
       Action::Run, false},
      {"where any other start takes the current one",
       bin.string(),
       {"regsvr32", "/s x.dll", ""},
       cwd / "regsvr32",
       Action::Run,
       false},
      {"empty and relative entries only", ":.:sub:", regsvr32, {}, Action::Nothing, false},
      {"empty and relative entries passed over", "::.:sub:" + bin.string(), regsvr32,
       bin / "regsvr32", Action::Run, false},
      {"a file that cannot run passed over", noexec.string() + ":" + bin.string(), regsvr32,
       bin / "regsvr32", Action::Run, false},
      {"without PATH, not the current folder", std::nullopt, regsvr32, {}, Action::Nothing, false},
      {"without PATH, the system's folders",
       std::nullopt,
       {"sh", "/s x.dll", "", true},
       sh,
       Action::Run,
       false},
      {"a relative name", bin.string(), {"./regsvr32", "", "", true}, {}, Action::Nothing, true},
      {"an absolute name",
       bin.string(),
       {(bin / "regsvr32").string(), "", "", true},
       {},
       Action::Nothing,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    setPath(c.Path);
    const auto plan = ProgramStarter::PlanStart(c.Request, cwd);
    EXPECT_EQ(plan.What, c.Expected);
    if (c.Expected != Action::Nothing) {
      EXPECT_EQ(plan.File, c.File);
      EXPECT_EQ(plan.Arguments, (std::vector<std::string>{"/s", "x.dll"}));
    }
    EXPECT_EQ(!plan.Problem.empty(), c.Problem) << plan.Problem;
  }
  std::filesystem::current_path(previous);
  setPath(path);
}

// A started program runs on its own: Start does not wait for it, it keeps
// no descriptor of ours but the standard ones, and when it ends the main
// loop reaps it.
TEST_F(GtkShellTest, StartsWithoutWaitingInheritingOrLeavingZombies) {
  const auto fifo = Dir / "go";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto out = Dir / "out";
  WriteScript(Dir / "client",
              "exec >>\"" + out.string() +
                  "\"\n"
                  "echo \"args:$#:$1:$2\"\n"
                  "if [ -e /proc/$$/fd/77 ]; then echo fd77:leaked; else echo fd77:closed; fi\n"
                  "echo \"stdin:$(readlink /proc/$$/fd/0)\"\n"
                  "echo \"theme:${GTK_THEME-none}\"\n"
                  "read line <\"" +
                  fifo.string() +
                  "\"\n"
                  "echo done\n");
  // A descriptor of the window's kind: open and inheritable.
  const int open = ::open("/dev/null", O_RDONLY);
  ASSERT_EQ(::dup2(open, 77), 77);
  ::close(open);
  // Our standard input, here a file, is not the client's.
  test::WriteFile(Dir / "input", "");
  const int savedInput = ::dup(STDIN_FILENO);
  const int input = ::open((Dir / "input").c_str(), O_RDONLY);
  ASSERT_EQ(::dup2(input, STDIN_FILENO), STDIN_FILENO);
  ::close(input);

  // The window's own theme is named in its environment, not the client's.
  UseSkinTheme();
  ASSERT_TRUE(SkinThemeInUse());
  GtkShell shell;
  shell.Start({(Dir / "client").string(), "one \"two three\"", "open"});
  UseDesktopTheme();
  ::close(77);
  ::dup2(savedInput, STDIN_FILENO);
  ::close(savedInput);
  // Start is back while the client waits for the go: it did not wait.
  ASSERT_TRUE(
      IterateUntil([&] { return gui_test::ReadFile(out).find("fd77") != std::string::npos; }));
  EXPECT_EQ(gui_test::ReadFile(out).find("done"), std::string::npos);
  std::ofstream(fifo) << "go\n";
  ASSERT_TRUE(
      IterateUntil([&] { return gui_test::ReadFile(out).find("done") != std::string::npos; }));
  EXPECT_EQ(gui_test::ReadFile(out),
            "args:2:one:two three\nfd77:closed\nstdin:/dev/null\ntheme:none\ndone\n");
  EXPECT_TRUE(IterateUntil([] { return Zombies() == 0; })) << "the ended client was not reaped";
}

// A file that is no program opens with the desktop's default application
// for its type.
TEST_F(GtkShellTest, OpensADocumentWithTheDefaultApplication) {
  const auto out = Dir / "opened";
  WriteScript(Dir / "viewer", "echo \"$1 ${GTK_THEME-none}\" >>\"" + out.string() + "\"\n");
  test::WriteFile(DesktopFolders() / "data/applications/varo-test-viewer.desktop",
                  "[Desktop Entry]\nType=Application\nName=Viewer\nExec=" +
                      (Dir / "viewer").string() + " %f\nMimeType=text/plain;\n");
  test::WriteFile(DesktopFolders() / "config/mimeapps.list",
                  "[Default Applications]\ntext/plain=varo-test-viewer.desktop\n");
  test::WriteFile(Dir / "read me.txt", "hello");

  UseSkinTheme();
  GtkShell shell;
  shell.Start({(Dir / "read me.txt").string(), "", "open"});
  UseDesktopTheme();
  ASSERT_TRUE(IterateUntil([&] { return std::filesystem::exists(out); }));
  EXPECT_EQ(gui_test::ReadFile(out), (Dir / "read me.txt").string() + " none\n");
}

// A program the system cannot run (here: its interpreter is missing) is
// named in one line, and nothing is left behind.
TEST_F(GtkShellTest, AProgramThatCannotBeRunIsNamed) {
  test::WriteFile(Dir / "broken", "#!/nonexistent/interpreter\n");
  ::chmod((Dir / "broken").c_str(), 0755);
  GtkShell shell;
  ::testing::internal::CaptureStderr();
  shell.Start({(Dir / "broken").string(), "", "open"});
  EXPECT_EQ(
      ::testing::internal::GetCapturedStderr(),
      "varo-update: cannot start " + (Dir / "broken").string() + ": No such file or directory\n");
  gui_test::IterateFor(100ms);
  EXPECT_EQ(Zombies(), 0);
}

TEST_F(GtkShellTest, AnAbsentRegsvr32PassesWithoutAWord) {
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", Dir.Path().c_str(), 1);
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(Dir.Path());
  GtkShell shell;
  ::testing::internal::CaptureStderr();
  shell.Start({"regsvr32", "/s \"/opt/game/x.dll\"", ""});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  std::filesystem::current_path(cwd);
  ::setenv("PATH", path.c_str(), 1);
}

TEST_F(GtkShellTest, ClockCountsMillisecondsOfThisProcess) {
  GtkShell shell;
  const auto before = std::chrono::steady_clock::now();
  const std::int32_t first = shell.ClockMs();
  while (std::chrono::steady_clock::now() - before < 30ms) {
  }
  const std::int32_t second = shell.ClockMs();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - before);
  EXPECT_GE(first, 0);
  EXPECT_GE(second - first, 29);
  EXPECT_LE(second - first, elapsed.count() + 1);
  // Counted from the process's start (the kernel's record of it), not from
  // the shell's making.
  std::ifstream stat("/proc/self/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22; ++i) {
    fields >> field;  // field 22: start time in clock ticks after boot
  }
  double uptime = 0;
  std::ifstream("/proc/uptime") >> uptime;
  const double sinceStart = uptime * 1000 - std::stod(field) * 1000 / ::sysconf(_SC_CLK_TCK);
  EXPECT_NEAR(shell.ClockMs(), sinceStart, 250);
}

TEST_F(GtkShellTest, LoadsIconFilesAsPicturesAHostCanRead) {
  test::WriteFile(Dir / "broken.ico", "not an icon");
  std::filesystem::path png;
  {
    GtkShell shell;
    const IconHandle icon = shell.LoadIcon(kSkin / "icon2.ico");
    ASSERT_NE(icon, 0u);
    EXPECT_EQ(shell.LoadIcon(Dir / "missing.ico"), 0u);
    EXPECT_EQ(shell.LoadIcon(Dir / "broken.ico"), 0u);
    const IconHandle again = shell.LoadIcon(kSkin / "icon2.ico");
    EXPECT_NE(again, icon);
    shell.DestroyIcon(again);
    // The tray shows the PNG copy of the biggest picture in the icon.
    png = shell.GetIcons().PngOf(icon);
    ASSERT_FALSE(png.empty());
    const auto picture = gui_test::Picture::Load(png);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->Width(), 64);
    EXPECT_FALSE(std::filesystem::exists(png.parent_path() /
                                         ("varo-update-" + std::to_string(again) + ".png")));
  }
  EXPECT_FALSE(std::filesystem::exists(png.parent_path())) << "the shell leaves its icons behind";
}

TEST_F(GtkShellTest, WithoutASessionBusThereIsNoTrayIconAndOneLineSaysSo) {
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::setenv("XDG_RUNTIME_DIR", Dir.Path().c_str(), 1);  // no bus socket there
  GtkShell shell;
  const IconHandle icon = shell.LoadIcon(kSkin / "icon1.ico");
  TrayData data{NIF_MESSAGE | NIF_ICON | NIF_TIP, 1126, icon, "正在自动更新"};
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(shell.NotifyIcon(TrayAction::Add, data));
  data.Flags = NIF_ICON;
  EXPECT_FALSE(shell.NotifyIcon(TrayAction::Modify, data));
  data.Flags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  EXPECT_FALSE(shell.NotifyIcon(TrayAction::Add, data));
  EXPECT_FALSE(shell.NotifyIcon(TrayAction::Delete, data));
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  shell.DestroyIcon(icon);
}

// A StatusNotifierWatcher of the test's own, on a private session bus:
// the indicator registers with it, and its properties say what it shows.
class FakeWatcher {
 public:
  explicit FakeWatcher(const std::string& address) {
    Bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (Bus == nullptr) {
      return;
    }
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
        "<node><interface name='org.kde.StatusNotifierWatcher'>"
        "<method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>"
        "<method name='RegisterStatusNotifierHost'><arg type='s' direction='in'/></method>"
        "<property name='RegisteredStatusNotifierItems' type='as' access='read'/>"
        "<property name='IsStatusNotifierHostRegistered' type='b' access='read'/>"
        "<property name='ProtocolVersion' type='i' access='read'/>"
        "<signal name='StatusNotifierItemRegistered'><arg type='s'/></signal>"
        "<signal name='StatusNotifierHostRegistered'/>"
        "</interface></node>",
        nullptr);
    static const GDBusInterfaceVTable vtable = {
        &FakeWatcher::OnCall, &FakeWatcher::OnGet, nullptr, {}};
    g_dbus_connection_register_object(Bus, "/StatusNotifierWatcher", node->interfaces[0], &vtable,
                                      this, nullptr, nullptr);
    g_dbus_node_info_unref(node);
    Name = g_bus_own_name_on_connection(Bus, "org.kde.StatusNotifierWatcher",
                                        G_BUS_NAME_OWNER_FLAGS_NONE, &FakeWatcher::OnNameAcquired,
                                        nullptr, this, nullptr);
  }
  ~FakeWatcher() {
    if (Name != 0) {
      g_bus_unown_name(Name);
    }
    if (Bus != nullptr) {
      g_object_unref(Bus);
    }
  }

  bool Owned = false;
  std::string ItemService;  // the registering connection
  std::string ItemPath;

  // The item's properties, through the bus.
  std::map<std::string, std::string> ItemProperties() {
    std::map<std::string, std::string> properties;
    bool done = false;
    struct Call {
      std::map<std::string, std::string>* Out;
      bool* Done;
    } call{&properties, &done};
    g_dbus_connection_call(
        Bus, ItemService.c_str(), ItemPath.c_str(), "org.freedesktop.DBus.Properties", "GetAll",
        g_variant_new("(s)", "org.kde.StatusNotifierItem"), G_VARIANT_TYPE("(a{sv})"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto* c = static_cast<Call*>(data);
          if (GVariant* reply =
                  g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr)) {
            GVariantIter* iter = nullptr;
            g_variant_get(reply, "(a{sv})", &iter);
            const gchar* key = nullptr;
            GVariant* value = nullptr;
            while (g_variant_iter_next(iter, "{&sv}", &key, &value)) {
              if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) ||
                  g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH)) {
                (*c->Out)[key] = g_variant_get_string(value, nullptr);
              }
              g_variant_unref(value);
            }
            g_variant_iter_free(iter);
            g_variant_unref(reply);
          }
          *c->Done = true;
        },
        &call);
    IterateUntil([&] { return done; });
    return properties;
  }

 private:
  static void OnNameAcquired(GDBusConnection*, const gchar*, gpointer self) {
    static_cast<FakeWatcher*>(self)->Owned = true;
  }
  static void OnCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                     const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                     gpointer data) {
    auto* self = static_cast<FakeWatcher*>(data);
    if (g_str_equal(method, "RegisterStatusNotifierItem")) {
      const gchar* item = nullptr;
      g_variant_get(parameters, "(&s)", &item);
      // An item names itself by its object path or by its bus name.
      self->ItemService = item[0] == '/' ? sender : item;
      self->ItemPath = item[0] == '/' ? item : "/StatusNotifierItem";
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }
  static GVariant* OnGet(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                         const gchar* property, GError**, gpointer data) {
    auto* self = static_cast<FakeWatcher*>(data);
    if (g_str_equal(property, "IsStatusNotifierHostRegistered")) {
      return g_variant_new_boolean(TRUE);
    }
    if (g_str_equal(property, "ProtocolVersion")) {
      return g_variant_new_int32(0);
    }
    const gchar* none[] = {nullptr};
    const gchar* one[] = {self->ItemService.c_str(), nullptr};
    return g_variant_new_strv(self->ItemService.empty() ? none : one, -1);
  }

  GDBusConnection* Bus = nullptr;
  guint Name = 0;
};

TEST_F(GtkShellTest, TrayIconShowsItsFramesAndTipThroughTheSessionBus) {
  const auto addressFile = Dir / "bus";
  gui_test::Subprocess::Options options;
  options.Output = addressFile;
  options.Errors = Dir / "bus.log";
  options.Unset = {"XDG_RUNTIME_DIR"};
  gui_test::Subprocess bus({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, options);
  ASSERT_TRUE(IterateUntil(
      [&] { return gui_test::ReadFile(addressFile).find('\n') != std::string::npos; }));
  std::string address = gui_test::ReadFile(addressFile);
  address.pop_back();
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);

  FakeWatcher watcher(address);
  ASSERT_TRUE(IterateUntil([&] { return watcher.Owned; }));
  {
    GtkShell shell;
    IconHandle frames[3];
    for (int i = 0; i < 3; ++i) {
      frames[i] = shell.LoadIcon(kSkin / ("icon" + std::to_string(i + 1) + ".ico"));
      ASSERT_NE(frames[i], 0u);
    }
    TrayData data{NIF_MESSAGE | NIF_ICON | NIF_TIP, 1126, frames[0], "正在自动更新"};
    ASSERT_TRUE(shell.NotifyIcon(TrayAction::Add, data));
    ASSERT_TRUE(IterateUntil([&] { return !watcher.ItemPath.empty(); }))
        << "the indicator did not register";
    auto shown = watcher.ItemProperties();
    EXPECT_EQ(shown["IconName"], "varo-update-" + std::to_string(frames[0]));
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(shown["IconThemePath"]) /
                                        (shown["IconName"] + ".png")));
    EXPECT_EQ(shown["Title"], "正在自动更新");
    EXPECT_EQ(shown["Status"], "Active");

    // A burst of changes, as a fast download brings them: the bus sees a
    // few, and the last one wins.
    const int changesBefore = shell.GetTray().Changes();
    for (int n = 1; n <= 300; ++n) {
      data.Flags = NIF_ICON;
      data.Icon = frames[n % 3];
      EXPECT_TRUE(shell.NotifyIcon(TrayAction::Modify, data));
      if (n == 1) {
        data.Flags = NIF_TIP;
        data.Tip = "Varo正在更新程序,请勿退出";
        EXPECT_TRUE(shell.NotifyIcon(TrayAction::Modify, data));
      }
    }
    EXPECT_LE(shell.GetTray().Changes() - changesBefore, 1);
    gui_test::IterateFor(300ms);
    EXPECT_LE(shell.GetTray().Changes() - changesBefore, 2);
    shown = watcher.ItemProperties();
    EXPECT_EQ(shown["IconName"], "varo-update-" + std::to_string(frames[300 % 3]));
    EXPECT_EQ(shown["Title"], "Varo正在更新程序,请勿退出");

    EXPECT_TRUE(shell.NotifyIcon(TrayAction::Delete, data));
    EXPECT_FALSE(shell.NotifyIcon(TrayAction::Modify, data)) << "a late change re-created it";
    for (IconHandle frame : frames) {
      shell.DestroyIcon(frame);
    }
  }
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
}  // namespace varo::platform

#else

TEST(GtkShellTest, NeedsTheDesktopFrontEnd) {
  GTEST_SKIP() << "built without the GTK front-end";
}

#endif
